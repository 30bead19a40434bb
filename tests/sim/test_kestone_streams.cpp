// The virtual KestOne streaming through the whole host stack: its status record, its clock and
// frame numbers, its SLAM clouds, its frames and its queues under a lagging host or faults.
#include "sim/kestone_faults.h"
#include "sim/kestone_payloads.h"
#include "sim/usb_bus.h"
#include "tests/sim/streams_test.h"
#include "tests/support/full_rates.h"

#include <map>
#include <set>
#include <thread>

using namespace kest_test;

namespace {

struct imu_seen {
    uint64_t number;
    int64_t stamp;
};

std::vector<imu_seen> imu_samples(const std::vector<seen_record> &records) {
    std::vector<imu_seen> out;
    for (const seen_record &record : records) {
        if (record.type != LIDAR_STREAM_IMU)
            continue;
        lidar_imu_record_t imu;
        memcpy(&imu, record.entries[0].data(), sizeof imu);
        out.push_back({imu.words[1], static_cast<int64_t>(imu.words[0])});
    }
    return out;
}

kest_sim::stream_settings imu_only() {
    kest_sim::stream_settings settings = demo_with_only({false, false, false, true});
    settings.hf_odometry_hz = 0;
    settings.imu_hz = 100;
    return settings;
}

} // namespace

// The status record read at the offsets of its published layout, not through the device's own
// builder; the settings made by name.
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
    for (const char *bad :
         {"image_width=15", "imu_hz=nan", "dtof_form=5", "colour=red", "image_hz"})
        EXPECT_FALSE(kest_sim::set_stream_setting(settings, bad, error)) << bad;
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
    // Five temperatures (degrees C), then eight core loads and the RAM's (%).
    for (size_t offset = 0; offset <= 52; offset += 4)
        EXPECT_TRUE(offset < 20 ? at(offset, 4) > 20 && at(offset, 4) < 90
                                : at(offset, 4) >= 0 && at(offset, 4) <= 100)
            << "offset " << offset << ": " << at(offset, 4);
    // Rates in millihertz (the depth subframes four per frame), transmitter and receiver
    // temperatures.
    const std::map<size_t, int32_t> fields = {{56, 2000}, {64, 3000}, {72, 12000},
                                              {80, 7500}, {88, 4000}, {96, 11000}};
    for (const auto [offset, value] : fields)
        EXPECT_EQ(at(offset, 4), value) << "offset " << offset;
    EXPECT_EQ(at(76, 2), 41);
    EXPECT_EQ(at(78, 2), 39);
}

// Depth frames of three entries, then four: a pixel is a point ahead within the sensor's 15 m, or
// invalid (all zero, intensity too); most are valid.
TEST_F(Streams, DepthFramesShowTheRoomInBothForms) {
    for (bool four : {false, true}) {
        SCOPED_TRACE(four ? "four entries" : "three entries");
        kest_sim::stream_settings settings = demo_with_only({false, true});
        settings.dtof_cols = 64;
        settings.dtof_rows = 48;
        settings.dtof_four_entries = four;
        stream_with(settings);
        ASSERT_TRUE(wait_count(LIDAR_STREAM_DTOF, count_records(LIDAR_STREAM_DTOF) + 3));
        seen_record frame;
        for (const seen_record &record : records())
            if (record.type == LIDAR_STREAM_DTOF && record.entries.size() == (four ? 4u : 3u))
                frame = record;
        ASSERT_EQ(frame.entries.size(), four ? 4u : 3u);
        EXPECT_EQ(frame.fields[1].param1, 64u);
        EXPECT_EQ(frame.fields[1].param2, 48u);
        EXPECT_EQ(frame.fields[1].size, four ? 589824u : 786432u);
        EXPECT_EQ(frame.fields[2].size, four ? 147968u : 147456u);
        const size_t point_bytes = four ? 12 : 16, intensity_bytes = four ? 1 : 2;
        size_t valid = 0;
        for (size_t i = 0; i < 64 * 48; ++i) {
            float xyz[3];
            memcpy(xyz, frame.entries[1].data() + i * point_bytes, sizeof xyz);
            uint16_t intensity = 0;
            memcpy(&intensity, frame.entries[2].data() + i * intensity_bytes, intensity_bytes);
            if (xyz[0] == 0 && xyz[1] == 0 && xyz[2] == 0) {
                ASSERT_EQ(intensity, 0u) << "invalid point " << i;
                continue;
            }
            ++valid;
            const double metres = std::sqrt(xyz[0] * xyz[0] + xyz[1] * xyz[1] + xyz[2] * xyz[2]);
            ASSERT_GT(metres, 100) << "millimetres, point " << i;
            ASSERT_LT(metres, 15000) << "millimetres, point " << i;
            ASSERT_GT(xyz[2], 0) << "z points forward, point " << i;
        }
        EXPECT_GT(valid, 64u * 48 * 8 / 10);
    }
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

// The device is stopped for a moment (the moment is the scenario, not a wait for anything); the
// samples after the restart are told from those before by the gap in their stamps.
TEST_F(Streams, ClockAndNumbersRunOnAcrossStopAndStart) {
    bring_up_streaming(imu_only());
    ASSERT_TRUE(wait_count(LIDAR_STREAM_IMU, 20));
    using steady = std::chrono::steady_clock;
    steady::time_point stopped, restarted;
    {
        std::lock_guard<std::mutex> lock(handle_mutex);
        ASSERT_EQ(lidar_stop_stream(handle, 0), 0);
        stopped = steady::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        uint32_t rate = 0;
        restarted = steady::now();
        ASSERT_EQ(lidar_start_stream(handle, 0, &rate), 0);
    }
    const size_t seen_at_restart = count_records(LIDAR_STREAM_IMU);
    ASSERT_TRUE(wait_count(LIDAR_STREAM_IMU, seen_at_restart + 20));
    const std::vector<imu_seen> all = imu_samples(records());
    std::vector<size_t> gaps; // where the stamps step by more than ten periods
    for (size_t i = 1; i < all.size(); ++i)
        if (all[i].stamp - all[i - 1].stamp > 100000000)
            gaps.push_back(i);
    ASSERT_EQ(gaps.size(), 1u) << "the one stop";
    const imu_seen &last = all[gaps[0] - 1], &first = all[gaps[0]];
    EXPECT_GT(first.number, last.number) << "numbers run on";
    EXPECT_LE(first.number, last.number + 5 * time_scale())
        << "only items made but not sent before the stop are skipped";
    // Item times sit on the stream's 10 ms grid, so one period is lost to rounding.
    EXPECT_GE(first.stamp - last.stamp + 10000000,
              std::chrono::duration_cast<std::chrono::nanoseconds>(restarted - stopped).count())
        << "the clock ran on while streaming was stopped";
    for (size_t i = gaps[0] + 1; i < all.size(); ++i) {
        EXPECT_EQ(all[i].number, all[i - 1].number + 1);
        EXPECT_EQ(all[i].stamp - all[i - 1].stamp, 10000000) << "100 Hz";
    }
}

TEST_F(Streams, ClockStartsAgainAtPlugInUnlessItSurvivesTheReplug) {
    for (bool survives : {false, true}) {
        SCOPED_TRACE(survives ? "survives" : "starts again");
        kest_sim::stream_settings settings = imu_only();
        settings.clock_survives_replug = survives;
        stream_with(settings);
        const size_t seen_before = count_records(LIDAR_STREAM_IMU);
        ASSERT_TRUE(wait_count(LIDAR_STREAM_IMU, seen_before + 20));
        const size_t attaches_before = attaches().size();
        kest_sim::bus_unplug(device_id);
        ASSERT_TRUE(wait_attach_events(attaches_before + 1));
        const imu_seen last = imu_samples(records()).back();
        const size_t seen_unplugged = count_records(LIDAR_STREAM_IMU);
        device_id = kest_sim::bus_plug(kest_sim::kestone_desc(), device);
        ASSERT_TRUE(wait_attach_events(attaches_before + 2));
        ASSERT_TRUE(wait_count(LIDAR_STREAM_IMU, seen_unplugged + 5));
        const imu_seen first = imu_samples(records())[seen_unplugged];
        if (survives) {
            EXPECT_GT(first.number, last.number);
            EXPECT_GT(first.stamp, last.stamp);
        } else {
            EXPECT_EQ(first.number, 0u);
            EXPECT_LT(first.stamp, last.stamp);
            EXPECT_LT(first.stamp - kest_sim::device_time(0), 2000000000LL * time_scale())
                << "near plug-in";
        }
    }
}

// Every cloud lands on the room, those after the first wiwc within a millimetre (odometry at its
// own rate, cloud stamps a few milliseconds off, wiwc late or absent, B jumping at loop closures);
// the first ones come unmoved, near the room (the engine's world starts at the device's pose).
TEST_F(Streams, SlamCloudsLandOnTheRoomWithinAMillimetre) {
    kest_sim::stream_settings settings = demo_with_only({true});
    settings.cloud_points = 300;
    settings.cloud_hz = 10;
    settings.slam.wiwc_late = 0.25;
    settings.slam.wiwc_absent = 0.25;
    settings.slam.loop_closure_every = 8;
    const uint32_t unmoved = settings.slam.clouds_before_wiwc;
    ASSERT_GT(unmoved, 0u) << "the demo preset's engine sends its first clouds without a wiwc";
    bring_up_streaming(settings);
    ASSERT_TRUE(wait_count(LIDAR_STREAM_SLAM_CLOUD, 30));
    const std::vector<seen_record> seen = records();
    auto le64 = [](const std::vector<uint8_t> &bytes, size_t at, auto value) {
        memcpy(&value, bytes.data() + at, sizeof value);
        return value;
    };
    std::set<uint64_t> odometry;
    std::vector<double> b_shift; // B's x translation in each wiwc
    size_t clouds = 0, offset = 0, highest = 0;
    for (const seen_record &record : seen) {
        if (record.type == LIDAR_STREAM_ODOMETRY)
            odometry.insert(le64(record.entries[0], 0, uint64_t{}));
        else if (record.type == LIDAR_STREAM_WIWC)
            b_shift.push_back(le64(record.entries[0], 400 + 3 * 8, 0.0));
    }
    for (const seen_record &record : seen) {
        if (record.type != LIDAR_STREAM_SLAM_CLOUD)
            continue;
        ++clouds;
        const uint64_t frame = record.fields[0].value1;
        highest = std::max<size_t>(highest, frame);
        const scan_offset off = offset_from_scan(record);
        ASSERT_GE(off.mean, 0) << "cloud " << frame << " has the points scanned";
        if (frame < unmoved)
            EXPECT_LT(off.mean, 0.5) << "unmoved cloud " << frame;
        else
            EXPECT_LT(off.worst_axis, 0.001) << "cloud " << frame << ", metres off the room";
        // Its odometry's stamp lies within 8 ms, and is not its own.
        const uint64_t stamp = record.fields[0].timestamp;
        auto next = odometry.lower_bound(stamp - 8000000);
        ASSERT_TRUE(next != odometry.end() && *next <= stamp + 8000000) << "cloud " << frame;
        offset += *next != stamp;
    }
    EXPECT_GT(offset, clouds / 2) << "cloud stamps differ from their odometry's";
    EXPECT_GT(odometry.size(), clouds * 5 / 4) << "odometry at 1.5 times the cloud rate";
    EXPECT_LT(b_shift.size(), highest) << "some clouds come without a wiwc";
    const auto [low, high] = std::minmax_element(b_shift.begin(), b_shift.end());
    EXPECT_GT(*high - *low, 0.02) << "a loop closure moved B";
}

// The calibration file (one large message), answers and every stream, all
// framed in every way a device may: the host takes all of it and drops nothing.
TEST_F(Streams, HostTakesEverythingFramedAsADeviceMay) {
    kest_sim::stream_settings settings = demo_with_only({true, true, true, true});
    settings.cloud_points = 500;
    settings.dtof_cols = 32;
    settings.dtof_rows = 24;
    settings.camera.width = 64;
    settings.camera.height = 48;
    settings.frames.reserved_noise = true;
    settings.frames.unchecked = true;
    settings.frames.group_frame_bytes = 4096;
    bring_up_streaming(settings);
    {
        std::lock_guard<std::mutex> lock(handle_mutex);
        ASSERT_NE(handle, nullptr);
        temp_dir dir;
        EXPECT_EQ(lidar_get_calib_file(handle, dir.path().string().c_str()), 0);
    }
    for (uint32_t type : {LIDAR_STREAM_SLAM_CLOUD, LIDAR_STREAM_DTOF, LIDAR_STREAM_IMAGE,
                          LIDAR_STREAM_IMU, LIDAR_STREAM_ODOMETRY})
        EXPECT_TRUE(wait_count(type, 3));
    lidar_statistics_t statistics{};
    ASSERT_EQ(lidar_get_statistics(&statistics), 0);
    EXPECT_EQ(statistics.device_dropped, 0u) << "frames, groups or messages refused";
}

// Whichever request of the attach sequence a lost answer cut short by stopping hit, it is answered.
TEST_F(Streams, ALostAnswerCutShortByStoppingIsAnsweredAgain) {
    kest_sim::fault_settings settings;
    settings.every_s = 0.002;
    settings.lost_answer_s = 600;
    settings.silence_max_s = 0.01;
    {
        kest_sim::fault_injector faults(
            device, [] {}, settings);
        ASSERT_TRUE(eventually([&] { return faults.injected()[5] >= 1; }, "a lost answer"));
    }
    bring_up();
    handle = make_device();
    uint32_t rate = 0;
    EXPECT_EQ(lidar_set_mode(handle, 0), 0);
    EXPECT_EQ(lidar_set_mode(handle, 1), 0);
    EXPECT_EQ(lidar_get_version(handle), 0);
    EXPECT_EQ(lidar_start_stream(handle, 0, &rate), 0);
}
