#include "sim/kestone_scan.h"
#include "sim/kestone_scene.h"

#include <algorithm>
#include <cmath>

namespace kest_sim {

namespace {

constexpr double pi = 3.14159265358979323846;
// Below this reflectance (the mean of the colour) a surface starts to lose returns ...
constexpr double dark_floor = 0.04, dark_span = 0.2;
// ... below this cosine a grazing ray does ...
constexpr double grazing_cosine = 0.2;
// ... and beyond this range the echo fades with this length.
constexpr double fade_from_m = 8, fade_length_m = 6;

double clamp01(double value) {
    return std::clamp(value, 0.0, 1.0);
}

} // namespace

scan_settings untidy_scan() {
    scan_settings settings;
    settings.scans = true;
    return settings;
}

double range_sigma(const scan_settings &settings, double range) {
    return settings.noise_m + settings.noise_per_m * range;
}

double return_chance(const std::array<uint8_t, 3> &rgb, double facing, double range) {
    const double reflectance = (rgb[0] + rgb[1] + rgb[2]) / (3.0 * 255);
    const double dark = clamp01((reflectance - dark_floor) / dark_span);
    const double grazing = clamp01(std::fabs(facing) / grazing_cosine);
    const double far = range <= fade_from_m ? 1 : std::exp(-(range - fade_from_m) / fade_length_m);
    return dark * grazing * far;
}

namespace {

// SplitMix64's finaliser: every bit of the input moves every bit of the output.
uint64_t mix(uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

} // namespace

frame_dice::frame_dice(uint64_t frame, uint64_t sensor) : key(mix(mix(frame) ^ sensor)) {}

double frame_dice::uniform(uint64_t i) const {
    return static_cast<double>(mix(key ^ mix(i)) >> 11) * 0x1.0p-53;
}

double frame_dice::normal(uint64_t i) const { // Box-Muller
    const double u = 1 - uniform(2 * i), v = uniform(2 * i + 1);
    return std::sqrt(-2 * std::log(u)) * std::cos(2 * pi * v);
}

ray_return measure_ray(const scan_settings &settings, const std::array<double, 3> &origin,
                       const std::array<double, 3> &direction, double max_range,
                       const frame_dice &dice, uint64_t ray) {
    const ray_hit hit = trace_ray(origin, direction);
    ray_return out;
    if (hit.distance <= 0 || hit.distance > max_range)
        return out;
    const double facing =
        hit.normal[0] * direction[0] + hit.normal[1] * direction[1] + hit.normal[2] * direction[2];
    if (!settings.scans) {
        out.distance = hit.distance;
        out.rgb = hit.rgb;
        return out;
    }
    // Ray r draws uniform 4r (its chance) and normal 2r + 1 (uniforms 4r + 2, 4r + 3).
    if (settings.dropouts && dice.uniform(4 * ray) >= return_chance(hit.rgb, facing, hit.distance))
        return out;
    out.distance = std::max(0.01, hit.distance + dice.normal(2 * ray + 1) *
                                                     range_sigma(settings, hit.distance));
    const double shade = 0.6 + 0.4 * std::fabs(facing);
    for (size_t c = 0; c < 3; ++c)
        out.rgb[c] = static_cast<uint8_t>(std::lround(hit.rgb[c] * shade));
    return out;
}

std::vector<scan_point> slam_scan(const scan_settings &settings, const pose &sensor, uint64_t frame,
                                  size_t rays) {
    const frame_dice measuring(frame, 1), aiming(frame, 3);
    const double half_h = settings.hfov_deg * pi / 360, half_v = settings.vfov_deg * pi / 360;
    std::vector<scan_point> out;
    out.reserve(rays);
    for (size_t i = 0; i < rays; ++i) {
        const double a = (2 * aiming.uniform(2 * i) - 1) * half_h;
        const double e = (2 * aiming.uniform(2 * i + 1) - 1) * half_v;
        const std::array<double, 3> world =
            sensor.rotate({std::cos(e) * std::cos(a), std::cos(e) * std::sin(a), std::sin(e)});
        const ray_return got =
            measure_ray(settings, sensor.t, world, slam_max_range_m, measuring, i);
        if (got.distance <= 0)
            continue;
        out.push_back(
            {{sensor.t[0] + got.distance * world[0], sensor.t[1] + got.distance * world[1],
              sensor.t[2] + got.distance * world[2]},
             got.rgb});
    }
    return out;
}

} // namespace kest_sim
