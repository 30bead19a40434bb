// What the virtual KestOne scans: a furnished room, the sensor's smooth path
// through it, and the fixed wiwc transforms, all in metres and seconds.
#pragma once

#include "sim/kestone_pose.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kest_sim {

struct scene_point {
    double x, y, z; // world frame, metres
    uint8_t r, g, b;
};

// Points on the surfaces of a 6 x 4 x 3 m room (coloured walls, floor, ceiling,
// two boxes), spread by area; the same seed gives the same room.
std::vector<scene_point> make_room(size_t points, unsigned seed);

// The sensor's pose at time t: a loop around the room at 1.2 m, facing along it.
// Position in micrometres and quaternion (x, y, z, w) in millionths, as the
// odometry record carries them.
struct odometry_sample {
    std::array<int64_t, 3> position_um;
    std::array<int64_t, 4> quaternion_e6;
    std::array<double, 3> velocity; // m/s, world frame
    double yaw_rate;                // rad/s
};
odometry_sample sensor_odometry(double t);
// The path repeats after this many seconds.
double trajectory_period();

// The pose the host rebuilds from an odometry sample (the quantised values).
pose odometry_pose(const odometry_sample &sample);

// Where a ray first meets the room: distance 0 when it meets nothing.
struct ray_hit {
    double distance = 0;
    std::array<double, 3> point{};  // world frame, metres
    std::array<double, 3> normal{}; // unit length, either side of the surface
    std::array<uint8_t, 3> rgb{};
};
ray_hit trace_ray(const std::array<double, 3> &origin, const std::array<double, 3> &direction);

// Casts a ray from origin along direction (world frame) into the room. Returns
// the distance to the first surface hit (metres, 0 when nothing is hit) and its colour.
double cast_ray(const std::array<double, 3> &origin, const std::array<double, 3> &direction,
                uint8_t rgb[3]);

// The wiwc record's two transforms (neither is the identity).
pose wiwc_a();
pose wiwc_b();

} // namespace kest_sim
