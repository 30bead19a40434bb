// The virtual KestOne's SLAM engine as the host meets it: odometry at its own
// rate, cloud stamps a few milliseconds off their odometry's, wiwc late, absent
// or missing for the first clouds, B drifting and jumping at loop closures, and
// still every delivered cloud on the room.
#include "tests/sim/streams_test.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>

using namespace kest_test;

namespace {

double le_f64(const std::vector<uint8_t> &bytes, size_t at) {
    double value;
    memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

uint64_t le_u64(const std::vector<uint8_t> &bytes, size_t at) {
    uint64_t value;
    memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

constexpr size_t wiwc_b_tx = 400 + 3 * 8; // B's x translation in the wiwc record

} // namespace

TEST_F(Streams, SlamSetsComeAsAnEngineMakesThemAndStillLandOnTheRoom) {
    kest_sim::stream_settings settings = demo_with_only({true, false, false});
    settings.cloud_points = 300;
    settings.cloud_hz = 10;
    settings.slam.wiwc_late = 0.25;
    settings.slam.wiwc_absent = 0.25;
    settings.slam.loop_closure_every = 8;
    bring_up_streaming(settings);
    ASSERT_TRUE(wait_count(LIDAR_STREAM_SLAM_CLOUD, 30));
    const std::vector<seen_record> seen = records();

    std::set<uint64_t> odometry_stamps;
    std::vector<double> b_shift;
    size_t odometry = 0, wiwc = 0, clouds = 0;
    for (const seen_record &record : seen) {
        if (record.type == LIDAR_STREAM_ODOMETRY) {
            odometry_stamps.insert(le_u64(record.entries[0], 0));
            ++odometry;
        } else if (record.type == LIDAR_STREAM_WIWC) {
            b_shift.push_back(le_f64(record.entries[0], wiwc_b_tx));
            ++wiwc;
        }
    }
    size_t offset = 0, highest = 0;
    double worst = 0;
    for (const seen_record &record : seen) {
        if (record.type != LIDAR_STREAM_SLAM_CLOUD)
            continue;
        ++clouds;
        const uint64_t frame = record.fields[0].value1;
        highest = std::max<size_t>(highest, frame);
        const scan_offset off = offset_from_scan(record);
        ASSERT_GE(off.mean, 0) << "cloud " << frame << " has the points scanned";
        if (frame >= settings.slam.clouds_before_wiwc)
            worst = std::max(worst, off.worst_axis);
        // Its odometry's stamp lies within 8 ms, and is not its own.
        const uint64_t stamp = record.fields[0].timestamp;
        auto next = odometry_stamps.lower_bound(stamp - 8000000);
        ASSERT_TRUE(next != odometry_stamps.end() && *next <= stamp + 8000000) << "cloud " << frame;
        offset += *next != stamp;
    }
    EXPECT_LT(worst, 0.001) << "metres off the room, with wiwc late, absent and moving";
    EXPECT_GT(offset, clouds / 2) << "cloud stamps differ from their odometry's";
    EXPECT_GT(odometry, clouds * 5 / 4) << "odometry at one and a half times the cloud rate";
    EXPECT_LT(wiwc, highest) << "some clouds come without a wiwc";
    const auto [low, high] = std::minmax_element(b_shift.begin(), b_shift.end());
    EXPECT_GT(*high - *low, 0.02) << "a loop closure moved B";
}
