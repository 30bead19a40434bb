// The virtual KestOne's SLAM engine as the host meets it: odometry at its own
// rate, cloud stamps a few milliseconds off their odometry's, wiwc late, absent
// or missing for the first clouds, B drifting and jumping at loop closures, and
// still every delivered cloud on the room.
#include "tests/sim/streams_test.h"

#include <algorithm>
#include <cstring>
#include <set>

using namespace kest_test;

// The first clouds come before any wiwc and are passed on unmoved: the engine's
// world starts at the device's pose, so they are near the room (within half a
// metre: the device moves a little before them, and its IMU and LiDAR are a few
// centimetres and degrees apart), not metres off as in the room's frame.
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
