// What the virtual KestOne's range sensors measure: each ray returns the
// nearest surface it meets, a little off in range (more so far away), and
// sometimes nothing at all: dark surfaces, surfaces met at a grazing angle and
// far ones send too little light back, and the sky sends none. The SLAM
// scanner casts its rays within its field of view, so its points thin out
// with range as real scans do. A frame number seeds every random choice, so
// the same frame from the same pose is always the same scan.
#pragma once

#include "sim/kestone_pose.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kest_sim {

struct scan_settings {
    // false: exact ranges, every surface returns, and a SLAM cloud is a window
    // sliding over points spread on every surface of the room (what tests
    // that need exact values use).
    bool scans = false;
    double hfov_deg = 120; // the SLAM scanner's field of view
    double vfov_deg = 90;
    double noise_m = 0.006;     // range noise (one sigma) at the sensor ...
    double noise_per_m = 0.004; // ... growing by this much per metre of range
    bool dropouts = true;       // dark, grazing and far surfaces often return nothing
};

// A real sensor's (the tidy one is the default above).
scan_settings untidy_scan();

constexpr double slam_max_range_m = 40;
constexpr double depth_max_range_m = 15;

// The range noise (one sigma, metres) at a range.
double range_sigma(const scan_settings &settings, double range);

// How likely a surface of this colour, met at this angle (the cosine between
// the ray and the surface's normal) and range, returns the ray.
double return_chance(const std::array<uint8_t, 3> &rgb, double facing, double range);

// The random numbers of one frame of one sensor: a hash of the frame, the
// sensor and the number asked for, so they need no state and any ray's can be
// had without the others' (cheap under the sanitizers too).
class frame_dice {
public:
    frame_dice(uint64_t frame, uint64_t sensor);
    double uniform(uint64_t i) const; // in [0, 1)
    double normal(uint64_t i) const;  // mean 0, standard deviation 1
private:
    uint64_t key;
};

// One ray's measurement from origin along a unit direction (world frame):
// distance 0 when nothing returned within max_range. Ray number ray of the
// frame draws its chance and its noise from dice.
struct ray_return {
    double distance = 0;
    std::array<uint8_t, 3> rgb{}; // the surface's colour, shaded by the angle it is met at
};
ray_return measure_ray(const scan_settings &settings, const std::array<double, 3> &origin,
                       const std::array<double, 3> &direction, double max_range,
                       const frame_dice &dice, uint64_t ray);

struct scan_point {
    std::array<double, 3> world; // metres
    std::array<uint8_t, 3> rgb;
};

// What the SLAM scanner returns for cloud frame casting rays rays from sensor
// (sensor to world: x forward, y left, z up).
std::vector<scan_point> slam_scan(const scan_settings &settings, const pose &sensor, uint64_t frame,
                                  size_t rays);

} // namespace kest_sim
