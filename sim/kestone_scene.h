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

// The room is 6 x 4 x 3 m: coloured walls, floor, ceiling, a table, a cupboard
// and a black screen, with a window in the north wall onto a facade 10 m
// away (and sky, which returns nothing, above it).
//
// Points on the room's own surfaces (not through the window), spread by area;
// the same seed gives the same room.
std::vector<scene_point> make_room(size_t points, unsigned seed);

// Where a ray first meets the room: distance 0 when it meets nothing.
struct ray_hit {
    double distance = 0;
    std::array<double, 3> point{};  // world frame, metres
    std::array<double, 3> normal{}; // unit length, either side of the surface
    std::array<uint8_t, 3> rgb{};
};
ray_hit trace_ray(const std::array<double, 3> &origin, const std::array<double, 3> &direction);

// The wiwc record's two transforms (neither is the identity).
pose wiwc_a();
pose wiwc_b();

} // namespace kest_sim
