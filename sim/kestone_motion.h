// How the virtual KestOne moves through its room, and what its odometry and
// IMU say about that motion. The path is a loop around the room; carried by
// hand it sways, bobs and now and then tilts to look at the floor, and the
// odometry sends its quaternion as a real engine may (either sign, not quite
// of unit length). Every part of the path repeats with the loop.
#pragma once

#include "sim/kestone_pose.h"

#include <array>
#include <cstdint>

namespace kest_sim {

struct motion_settings {
    bool six_dof = true;        // false: a level loop at a fixed height that only yaws
    bool flip_sign = true;      // -q instead of q for half of every three seconds
    double length_error = 0.02; // the sent quaternion's length departs from 1 by up to this
};

// The odometry record's pose: position in micrometres, quaternion (x, y, z, w)
// in millionths.
struct odometry_sample {
    std::array<int64_t, 3> position_um;
    std::array<int64_t, 4> quaternion_e6;
};

// The sensor's exact pose at time t (sensor to world: x forward, y left, z up).
pose sensor_pose(double t, const motion_settings &motion);
// The same pose as the odometry sends it.
odometry_sample sensor_odometry(double t, const motion_settings &motion);
// The SLAM engine's world frame for a streaming session that began at device
// time start, as a pose in the room: at the sensor's position then, x along
// its heading, z up. An engine starts its map where the scan starts, levelled
// by its IMU.
pose slam_world(double start, const motion_settings &motion);
// What the engine's odometry sends at time t: the sensor's pose in world.
odometry_sample engine_odometry(double t, const pose &world, const motion_settings &motion);
// The pose the host rebuilds from an odometry sample (normalising the quaternion).
pose odometry_pose(const odometry_sample &sample);

// What an ideal IMU fixed to the sensor measures at time t, in the sensor's
// frame: specific force (gravity's reaction plus the path's acceleration,
// m/s^2) and angular velocity (rad/s).
struct imu_reading {
    std::array<double, 3> accel;
    std::array<double, 3> gyro;
};
imu_reading sensor_imu(double t, const motion_settings &motion);

// The path repeats after this many seconds.
double trajectory_period();

} // namespace kest_sim
