// The virtual KestOne's motion as the host receives it: a hand-held path that
// turns about every axis and changes height, a quaternion of either sign and
// not quite of unit length, and an IMU that agrees with the odometry.
#include "sim/kestone_motion.h"
#include "sim/kestone_payloads.h"
#include "tests/sim/streams_test.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

using namespace kest_test;

namespace {

struct seen_pose {
    double t; // seconds into the device's streaming
    kest_sim::odometry_sample sample;
};

std::map<int64_t, seen_pose> hf_poses(const std::vector<seen_record> &records) {
    std::map<int64_t, seen_pose> out;
    for (const seen_record &record : records) {
        if (record.type != LIDAR_STREAM_HF_ODOMETRY || record.entries[0].size() < 64)
            continue;
        int64_t ts;
        memcpy(&ts, record.entries[0].data(), sizeof ts);
        out[ts] = {(ts - kest_sim::device_time(0)) * 1e-9, odometry_of(record.entries[0])};
    }
    return out;
}

} // namespace

// The quaternion, whatever its sign and length, is the path's rotation; rates and
// accelerations worked out from the odometry agree with the IMU at the same instants.
TEST_F(Streams, OdometryTurnsAboutEveryAxisAndTheImuAgreesWithIt) {
    kest_sim::stream_settings settings = demo_with_only({false, false, false, true});
    settings.imu_hz = settings.hf_odometry_hz = 200;
    bring_up_streaming(settings);
    // Past the first sign flip, 1.5 s into streaming.
    ASSERT_TRUE(eventually(
        [&] {
            std::map<int64_t, seen_pose> poses = hf_poses(records());
            return !poses.empty() && poses.rbegin()->second.t > 2.0;
        },
        "two seconds of odometry"));
    const std::vector<seen_record> all = records();
    const std::map<int64_t, seen_pose> poses = hf_poses(all);
    const kest_sim::pose world = device->slam_world_now();
    double tipped = 0, shortest = 2, longest = 0, low = 10, high = 0;
    bool negative_w = false, positive_w = false;
    for (const auto &[ts, seen] : poses) {
        std::array<double, 4> q;
        for (size_t i = 0; i < 4; ++i)
            q[i] = seen.sample.quaternion_e6[i] * 1e-6;
        const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
        tipped = std::max({tipped, std::fabs(q[0]) / n, std::fabs(q[1]) / n});
        shortest = std::min(shortest, n);
        longest = std::max(longest, n);
        low = std::min(low, seen.sample.position_um[2] * 1e-6);
        high = std::max(high, seen.sample.position_um[2] * 1e-6);
        negative_w = negative_w || q[3] < 0;
        positive_w = positive_w || q[3] > 0;
        const kest_sim::pose truth =
            world.inverse().after(kest_sim::sensor_pose(seen.t, settings.motion));
        const kest_sim::pose seen_as = kest_sim::odometry_pose(seen.sample);
        for (size_t i = 0; i < 9; ++i)
            ASSERT_NEAR(seen_as.r[i], truth.r[i], 1e-5) << "t = " << seen.t << ", element " << i;
    }
    EXPECT_GT(tipped, 0.005) << "pitch and roll reach qx and qy";
    EXPECT_TRUE(negative_w && positive_w) << "q and -q both sent";
    EXPECT_LT(shortest, 0.995);
    EXPECT_GT(longest, 1.005);
    EXPECT_GT(high - low, 0.01) << "the height changes";

    const int64_t step = std::llround(1e9 / settings.imu_hz);
    size_t compared = 0;
    double worst_gyro = 0, worst_accel = 0, largest_gyro = 0;
    for (const seen_record &record : all) {
        if (record.type != LIDAR_STREAM_IMU)
            continue;
        lidar_imu_record_t imu;
        ASSERT_EQ(record.entries[0].size(), sizeof imu);
        memcpy(&imu, record.entries[0].data(), sizeof imu);
        const auto ts = static_cast<int64_t>(imu.words[0]);
        auto before = poses.find(ts - step), now = poses.find(ts), after = poses.find(ts + step);
        if (before == poses.end() || now == poses.end() || after == poses.end())
            continue;
        const kest_sim::pose r0 = kest_sim::odometry_pose(before->second.sample),
                             r1 = kest_sim::odometry_pose(now->second.sample),
                             r2 = kest_sim::odometry_pose(after->second.sample);
        const double dt = step * 1e-9;
        std::array<double, 9> rate{}; // R1^T (R2 - R0) / 2dt
        for (int row = 0; row < 3; ++row)
            for (int col = 0; col < 3; ++col)
                for (int k = 0; k < 3; ++k)
                    rate[row * 3 + col] +=
                        r1.r[k * 3 + row] * (r2.r[k * 3 + col] - r0.r[k * 3 + col]) / (2 * dt);
        const std::array<double, 3> gyro = {(rate[7] - rate[5]) / 2, (rate[2] - rate[6]) / 2,
                                            (rate[3] - rate[1]) / 2};
        std::array<double, 3> accel_world;
        for (size_t i = 0; i < 3; ++i)
            accel_world[i] = (r2.t[i] - 2 * r1.t[i] + r0.t[i]) / (dt * dt);
        accel_world[2] += 9.81;
        const std::array<double, 3> accel = r1.inverse().rotate(accel_world);
        for (size_t i = 0; i < 3; ++i) {
            worst_accel = std::max(worst_accel, std::fabs(imu.values[i] - accel[i]));
            worst_gyro = std::max(worst_gyro, std::fabs(imu.values[3 + i] - gyro[i]));
            largest_gyro = std::max(largest_gyro, std::fabs(gyro[i]));
        }
        ++compared;
    }
    EXPECT_GE(compared, 50u);
    EXPECT_LT(worst_gyro, 0.01) << "rad/s";
    EXPECT_LT(worst_accel, 0.3) << "m/s^2, with positions quantised to micrometres";
    EXPECT_GT(largest_gyro, 0.1) << "the sensor turns";
}

// Turned off, the path is a level loop at a fixed height that only yaws, sent
// with w >= 0 and unit length: what tests that need exact values get from "tidy".
TEST(Motion, TidyPathOnlyYaws) {
    const kest_sim::motion_settings tidy = kest_sim::stream_preset("tidy").motion;
    for (double t = 0; t < kest_sim::trajectory_period(); t += 0.37) {
        const kest_sim::odometry_sample sample = kest_sim::sensor_odometry(t, tidy);
        EXPECT_EQ(sample.quaternion_e6[0], 0);
        EXPECT_EQ(sample.quaternion_e6[1], 0);
        EXPECT_GE(sample.quaternion_e6[3], 0);
        EXPECT_EQ(sample.position_um[2], 1200000);
        const double n = std::hypot(sample.quaternion_e6[2], sample.quaternion_e6[3]) * 1e-6;
        EXPECT_NEAR(n, 1.0, 2e-6);
    }
}
