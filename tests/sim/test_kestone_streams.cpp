// The virtual KestOne's streams through the whole host stack: SLAM clouds land
// on the room, pictures show it, the "full" preset's rates arrive, and a
// lagging host makes the device drop instead of grow.
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

// How far, on average, the points of an unmoved cloud may lie from the room:
// the device moves and turns a little between the start of streaming and its
// first clouds, and its IMU and LiDAR are a few centimetres and degrees apart.
// In the room's frame such a cloud would be metres off.
constexpr double NEAR_METRES = 0.5;

// The first clouds come before any wiwc and are passed on unmoved: the
// engine's world starts at the device's pose, so they are near the room.
TEST_F(Streams, SlamCloudsLandOnTheRoomWithinAMillimetre) {
    kest_sim::stream_settings settings = demo_with_only({true, false, false});
    settings.cloud_points = 2000;
    bring_up_streaming(settings);
    const uint32_t unmoved = settings.slam.clouds_before_wiwc;
    ASSERT_GT(unmoved, 0u) << "the demo preset's engine sends its first clouds without a wiwc";
    ASSERT_TRUE(wait_count(LIDAR_STREAM_SLAM_CLOUD, unmoved + 3));
    size_t moved = 0;
    for (const seen_record &record : records()) {
        if (record.type != LIDAR_STREAM_SLAM_CLOUD)
            continue;
        const uint64_t frame = record.fields[0].value1;
        const scan_offset off = offset_from_scan(record);
        ASSERT_GE(off.mean, 0) << "cloud " << frame << " has the points scanned";
        if (frame < unmoved) {
            EXPECT_LT(off.mean, NEAR_METRES) << "unmoved cloud " << frame;
        } else {
            EXPECT_LT(off.worst_axis, 0.001) << "cloud " << frame;
            ++moved;
        }
    }
    EXPECT_GE(moved, 3u);
}

TEST_F(Streams, DepthFramesComeInBothForms) {
    for (bool four : {false, true}) {
        SCOPED_TRACE(four ? "four entries" : "three entries");
        kest_sim::stream_settings settings = demo_with_only({false, true, false});
        settings.dtof_cols = 64;
        settings.dtof_rows = 48;
        settings.dtof_four_entries = four;
        stream_with(settings);
        size_t seen_before = count_records(LIDAR_STREAM_DTOF);
        ASSERT_TRUE(wait_count(LIDAR_STREAM_DTOF, seen_before + 3));
        seen_record frame;
        for (const seen_record &record : records())
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
    }
}

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

TEST_F(Streams, PicturesShowTheRoomAheadAsJpegOrNv12) {
    for (bool nv12 : {false, true}) {
        SCOPED_TRACE(nv12 ? "NV12" : "JPEG");
        kest_sim::stream_settings settings = demo_with_only({false, false, true});
        settings.image_hz = 20;
        settings.camera.width = 320;
        settings.camera.height = 240;
        settings.camera.nv12 = nv12;
        stream_with(settings);
        size_t seen_before = count_records(LIDAR_STREAM_IMAGE);
        ASSERT_TRUE(wait_count(LIDAR_STREAM_IMAGE, seen_before + 3));
        size_t checked = 0;
        for (const seen_record &record : records()) {
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

TEST(CameraPictures, OneLoopLaterThePictureIsTheSame) {
    kest_sim::camera_pictures pictures;
    kest_sim::camera_settings camera;
    camera.width = 64;
    camera.height = 48;
    const double hz = 10;
    const uint64_t loop = static_cast<uint64_t>(kest_sim::trajectory_period() * hz);
    const kest_sim::motion_settings motion; // swaying, bobbing and tilting, all with the loop
    auto first = pictures.picture(camera, motion, hz, 3);
    EXPECT_EQ(*pictures.picture(camera, motion, hz, 3 + loop), *first);
    EXPECT_EQ(*first, kest_sim::camera_picture(camera, motion, 3 / hz + loop / hz))
        << "the path repeats with the loop, so a kept picture is the one the camera takes";
    EXPECT_NE(*pictures.picture(camera, motion, hz, 4), *first) << "the sensor moved";
    camera.nv12 = true;
    camera.width = 65; // NV12 frames have even sizes
    EXPECT_EQ(pictures.picture(camera, motion, hz, 3)->size(), 66u * 48 * 3 / 2);
}

// The status record read at the offsets of its published layout, not through
// the device's own builder.
TEST_F(Streams, DeviceInfoCarriesItsFieldsAtTheirOffsets) {
    // Every stream on, at distinct rates low enough that nothing is dropped.
    kest_sim::stream_settings settings = kest_sim::stream_preset("demo");
    settings.info_hz = 20;
    settings.image_hz = 2;
    settings.camera.width = 64;
    settings.camera.height = 48;
    settings.dtof_hz = 3;
    settings.dtof_cols = 32;
    settings.dtof_rows = 24;
    settings.imu_hz = 7;
    settings.cloud_hz = 4;
    settings.cloud_points = 100;
    settings.hf_odometry_hz = 11;
    stream_with(settings);
    ASSERT_TRUE(wait_count(LIDAR_STREAM_DEVICE_INFO, 1));
    seen_record info;
    for (const seen_record &record : records())
        if (record.type == LIDAR_STREAM_DEVICE_INFO)
            info = record;
    ASSERT_EQ(info.entries.size(), 1u);
    ASSERT_EQ(info.entries[0].size(), 100u);
    auto i32 = [&](size_t at) {
        int32_t value;
        memcpy(&value, info.entries[0].data() + at, sizeof value);
        return value;
    };
    auto i16 = [&](size_t at) {
        int16_t value;
        memcpy(&value, info.entries[0].data() + at, sizeof value);
        return value;
    };
    for (size_t at : {0, 4, 8, 12, 16}) { // temperatures, degrees C
        EXPECT_GT(i32(at), 20) << "offset " << at;
        EXPECT_LT(i32(at), 90) << "offset " << at;
    }
    for (size_t at = 20; at <= 52; at += 4) { // eight core loads and the RAM load, percent
        EXPECT_GE(i32(at), 0) << "offset " << at;
        EXPECT_LE(i32(at), 100) << "offset " << at;
    }
    EXPECT_EQ(i32(56), 2000) << "camera rate, millihertz";
    EXPECT_EQ(i32(64), 3000) << "depth frame rate";
    EXPECT_EQ(i16(76), 41) << "transmitter temperature";
    EXPECT_EQ(i16(78), 39) << "receiver temperature";
    EXPECT_EQ(i32(80), 7000) << "IMU rate";
    EXPECT_EQ(i32(72), 12000) << "depth subframe rate: four per depth frame";
    EXPECT_EQ(i32(88), 4000) << "SLAM cloud rate";
    EXPECT_EQ(i32(96), 11000) << "high-frequency odometry rate";
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
    kest_sim::stream_counters counters = device->counters();
    EXPECT_GE(counters.dropped[kest_sim::kestone::ep_dtof], 20u);
    EXPECT_LE(counters.queued[kest_sim::kestone::ep_dtof], 8u);
    // At most four frames ahead, or one whole depth frame (five transfers).
    EXPECT_LE(kest_sim::bus_in_backlog(device_id, kest_sim::kestone::ep_dtof), 5u);
}

TEST_F(Streams, StreamingResumesAfterUnplugAndPlug) {
    bring_up_streaming(demo_with_only({true, false, false}));
    ASSERT_TRUE(wait_count(LIDAR_STREAM_SLAM_CLOUD, 1));
    kest_sim::bus_unplug(device_id);
    ASSERT_TRUE(wait_attach_events(2));
    size_t clouds = count_records(LIDAR_STREAM_SLAM_CLOUD);
    device_id = kest_sim::bus_plug(kest_sim::kestone_desc(), device);
    ASSERT_TRUE(wait_attach_events(3));
    EXPECT_TRUE(attaches()[2].attached);
    ASSERT_TRUE(wait_count(LIDAR_STREAM_SLAM_CLOUD, clouds + 2))
        << "no clouds after the attach sequence ran again; the device "
        << (device->state().streaming ? "streams" : "does not stream") << ", sent "
        << device->counters().sent[0] << " clouds, queued "
        << device->counters().queued[kest_sim::kestone::ep_dtof] << " on dtof, dropped "
        << device->counters().dropped[kest_sim::kestone::ep_dtof] << ", backlog "
        << kest_sim::bus_in_backlog(device_id, kest_sim::kestone::ep_dtof);
}

TEST(StreamSettings, OverridesByNameAndRefusesBadOnesWithoutChange) {
    kest_sim::stream_settings settings = kest_sim::stream_preset("full");
    std::string error;
    EXPECT_TRUE(kest_sim::set_stream_setting(settings, "image_format=nv12", error));
    EXPECT_TRUE(kest_sim::set_stream_setting(settings, "dtof_form=3", error));
    EXPECT_TRUE(kest_sim::set_stream_setting(settings, "imu_hz=250.5", error));
    EXPECT_TRUE(kest_sim::set_stream_setting(settings, "scans=0", error));
    EXPECT_TRUE(settings.camera.nv12);
    EXPECT_FALSE(settings.dtof_four_entries) << "the full preset sends the four-entry form";
    EXPECT_FALSE(settings.scan.scans);
    EXPECT_DOUBLE_EQ(settings.imu_hz, 250.5);
    for (const char *bad : {"image_width=15", "image_width=640.5", "cloud_points=-1", "imu_hz=nan",
                            "imu_hz=", "dtof_form=5", "colour=red", "image_hz"}) {
        EXPECT_FALSE(kest_sim::set_stream_setting(settings, bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    EXPECT_EQ(settings.camera.width, 640u);
    EXPECT_DOUBLE_EQ(settings.imu_hz, 250.5);
}
