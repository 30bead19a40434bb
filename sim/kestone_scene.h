// What the virtual KestOne scans: a furnished room and the wiwc transforms,
// in metres.
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
