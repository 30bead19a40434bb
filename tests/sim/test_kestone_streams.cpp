// The virtual KestOne's streams through the whole host stack: depth frames and
// pictures show the room, and a lagging host makes the device drop, not grow.
#include "sim/kestone_payloads.h"
#include "sim/kestone_scene.h"
#include "sim/usb_bus.h"
#include "tests/sim/streams_test.h"
#include "tests/support/full_rates.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstring>
#include <map>

using namespace kest_test;

namespace {

// The colour of the surface straight ahead of the sensor at time t, scaled so
// that its largest channel is 1 (shading only scales a colour).
std::array<double, 3> colour_ahead(double t, const kest_sim::motion_settings &motion) {
    kest_sim::pose sensor = kest_sim::odometry_pose(kest_sim::sensor_odometry(t, motion));
    kest_sim::ray_hit hit = kest_sim::trace_ray(sensor.t, {sensor.r[0], sensor.r[3], sensor.r[6]});
    double top = std::max({hit.rgb[0], hit.rgb[1], hit.rgb[2]});
    return {hit.rgb[0] / top, hit.rgb[1] / top, hit.rgb[2] / top};
}

// The same for the middle of a BGR picture, averaged over a few pixels.
std::array<double, 3> colour_in_middle(const cv::Mat &bgr) {
    cv::Scalar mean = cv::mean(bgr(cv::Rect(bgr.cols / 2 - 2, bgr.rows / 2 - 2, 4, 4)));
    double top = std::max({mean[0], mean[1], mean[2]});
    return {mean[2] / top, mean[1] / top, mean[0] / top};
}

} // namespace

// Depth frames of three entries and JPEG pictures, then four entries and NV12.
TEST_F(Streams, DepthFramesAndPicturesShowTheRoomInBothForms) {
    for (bool second : {false, true}) {
        SCOPED_TRACE(second ? "four entries, NV12" : "three entries, JPEG");
        const bool four = second, nv12 = second;
        kest_sim::stream_settings settings = demo_with_only({false, true, true});
        settings.dtof_cols = 64;
        settings.dtof_rows = 48;
        settings.dtof_four_entries = four;
        settings.image_hz = 20;
        settings.camera.width = 320;
        settings.camera.height = 240;
        settings.camera.nv12 = nv12;
        stream_with(settings);
        ASSERT_TRUE(wait_count(LIDAR_STREAM_DTOF, count_records(LIDAR_STREAM_DTOF) + 3));
        ASSERT_TRUE(wait_count(LIDAR_STREAM_IMAGE, count_records(LIDAR_STREAM_IMAGE) + 3));
        const std::vector<seen_record> all = records();
        seen_record frame;
        for (const seen_record &record : all)
            if (record.type == LIDAR_STREAM_DTOF && record.entries.size() == (four ? 4u : 3u))
                frame = record;
        ASSERT_EQ(frame.entries.size(), four ? 4u : 3u);
        EXPECT_EQ(frame.fields[1].param1, 64u);
        EXPECT_EQ(frame.fields[1].param2, 48u);
        EXPECT_EQ(frame.fields[1].size, four ? 589824u : 786432u);
        EXPECT_EQ(frame.fields[2].size, four ? 147968u : 147456u);
        // A pixel is a point ahead, within the sensor's 15 m, or invalid: all
        // zero, intensity too. Most are valid.
        size_t point_bytes = four ? 12 : 16, intensity_bytes = four ? 1 : 2, valid = 0;
        for (size_t i = 0; i < 64 * 48; ++i) {
            float xyz[3];
            memcpy(xyz, frame.entries[1].data() + i * point_bytes, sizeof xyz);
            uint16_t intensity = 0;
            memcpy(&intensity, frame.entries[2].data() + i * intensity_bytes, intensity_bytes);
            double metres = std::sqrt(xyz[0] * xyz[0] + xyz[1] * xyz[1] + xyz[2] * xyz[2]) / 1000;
            if (xyz[0] == 0 && xyz[1] == 0 && xyz[2] == 0) {
                ASSERT_EQ(intensity, 0u) << "invalid point " << i;
                continue;
            }
            ++valid;
            ASSERT_GT(metres, 0.1) << "point " << i;
            ASSERT_LT(metres, 15.0) << "point " << i;
            ASSERT_GT(xyz[2], 0) << "z points forward, point " << i;
        }
        EXPECT_GT(valid, 64u * 48 * 8 / 10);

        size_t checked = 0;
        for (const seen_record &record : all) {
            if (record.type != LIDAR_STREAM_IMAGE ||
                (record.fields[0].size == 320 * 240 * 3 / 2) != nv12)
                continue;
            const lidar_stream_entry_t &entry = record.fields[0];
            ASSERT_EQ(entry.param1, 320u);
            ASSERT_EQ(entry.param2, 240u);
            ASSERT_EQ(record.entries[0].size(), entry.size);
            cv::Mat bgr;
            if (nv12) {
                cv::Mat yuv(240 * 3 / 2, 320, CV_8UC1,
                            const_cast<uint8_t *>(record.entries[0].data()));
                cv::cvtColor(yuv, bgr, cv::COLOR_YUV2BGR_NV12);
            } else {
                bgr = cv::imdecode(record.entries[0], cv::IMREAD_COLOR);
                ASSERT_FALSE(bgr.empty()) << "picture " << entry.value1 << " decodes as JPEG";
            }
            ASSERT_EQ(bgr.cols, 320);
            ASSERT_EQ(bgr.rows, 240);
            std::array<double, 3> seen = colour_in_middle(bgr);
            // Where the device was at the capture time: numbers run on across
            // the restart between the two formats, the clock runs on further.
            std::array<double, 3> ahead =
                colour_ahead((entry.timestamp - kest_sim::device_time(0)) / 1e9, settings.motion);
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(seen[c], ahead[c], 0.15)
                    << "channel " << c << " of picture " << entry.value1;
            ++checked;
        }
        EXPECT_GE(checked, 3u);
    }
}

// The status record read at the offsets of its published layout, not through
// the device's own builder; the settings made by name.
TEST_F(Streams, DeviceInfoCarriesItsFieldsAtTheirOffsetsAndSettingsAreMadeByName) {
    kest_sim::stream_settings settings = kest_sim::stream_preset("full");
    std::string error;
    // Every stream on, at distinct rates low enough that nothing is dropped.
    for (const char *set :
         {"info_hz=20", "image_hz=2", "image_width=64", "image_height=48", "image_format=nv12",
          "dtof_hz=3", "dtof_cols=32", "dtof_rows=24", "dtof_form=3", "imu_hz=7.5", "cloud_hz=4",
          "cloud_points=100", "hf_odometry_hz=11", "scans=0"})
        ASSERT_TRUE(kest_sim::set_stream_setting(settings, set, error)) << set << ": " << error;
    EXPECT_TRUE(settings.camera.nv12 && !settings.dtof_four_entries && !settings.scan.scans);
    for (const char *bad : {"image_width=15", "image_width=640.5", "cloud_points=-1", "imu_hz=nan",
                            "imu_hz=", "dtof_form=5", "colour=red", "image_hz"}) {
        EXPECT_FALSE(kest_sim::set_stream_setting(settings, bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    EXPECT_EQ(settings.camera.width, 64u) << "refused settings change nothing";
    stream_with(settings);
    ASSERT_TRUE(wait_count(LIDAR_STREAM_DEVICE_INFO, 1));
    seen_record info;
    for (const seen_record &record : records())
        if (record.type == LIDAR_STREAM_DEVICE_INFO)
            info = record;
    ASSERT_EQ(info.entries.size(), 1u);
    ASSERT_EQ(info.entries[0].size(), 100u);
    auto at = [&](size_t offset, size_t bytes) {
        int32_t value = 0;
        memcpy(&value, info.entries[0].data() + offset, bytes);
        return bytes == 2 ? static_cast<int16_t>(value) : value;
    };
    for (size_t offset : {0, 4, 8, 12, 16}) { // temperatures, degrees C
        EXPECT_GT(at(offset, 4), 20) << "offset " << offset;
        EXPECT_LT(at(offset, 4), 90) << "offset " << offset;
    }
    for (size_t offset = 20; offset <= 52; offset += 4) { // eight core loads and the RAM's, %
        EXPECT_GE(at(offset, 4), 0) << "offset " << offset;
        EXPECT_LE(at(offset, 4), 100) << "offset " << offset;
    }
    // Rates in millihertz (the depth subframes four per frame), and transmitter
    // and receiver temperatures.
    const std::map<size_t, int32_t> fields = {{56, 2000}, {64, 3000}, {72, 12000},
                                              {80, 7500}, {88, 4000}, {96, 11000}};
    for (const auto [offset, value] : fields)
        EXPECT_EQ(at(offset, 4), value) << "offset " << offset;
    EXPECT_EQ(at(76, 2), 41);
    EXPECT_EQ(at(78, 2), 39);
    EXPECT_EQ(start_rate.load(), 12u) << "the start answer's subframe rate, in hertz";
}

TEST_F(Streams, LaggingHostMakesTheDeviceDropNotGrow) {
    kest_sim::stream_settings settings = full_rates();
    settings.queue_capacity = 8;
    bring_up_streaming(settings);
    ASSERT_TRUE(wait_count(LIDAR_STREAM_ODOMETRY, 1));
    // The host's dtof channel stops taking transfers.
    kest_sim::bus_inject(device_id, kest_sim::kestone::ep_dtof, kest_sim::fault::error);
    EXPECT_TRUE(
        eventually([&] { return device->counters().dropped[kest_sim::kestone::ep_dtof] >= 20; },
                   "20 depth frames dropped by the device"));
    EXPECT_LE(device->counters().queued[kest_sim::kestone::ep_dtof], 8u);
    // At most four frames ahead, or one whole depth frame (five transfers).
    EXPECT_LE(kest_sim::bus_in_backlog(device_id, kest_sim::kestone::ep_dtof), 5u);
}
