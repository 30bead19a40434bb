#include "sim/kestone_slam.h"

#include "sim/kestone_scene.h"

#include <cmath>

namespace kest_sim {

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double drift_period_clouds = 6000; // ten minutes at 10 Hz
constexpr double drift_metres = 0.02, drift_radians = 0.002;
constexpr double loop_closure_metres = 0.03;

// A number in [0, 1) that depends only on the cloud and the question asked.
double chance(uint64_t cloud, uint64_t question) {
    uint64_t x = cloud * 0x9E3779B97F4A7C15ull + question * 0xBF58476D1CE4E5B9ull;
    x ^= x >> 31;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 29;
    return static_cast<double>(x >> 11) / static_cast<double>(1ull << 53);
}

bool near_loop_closure(const slam_settings &settings, uint64_t cloud) {
    const uint64_t every = settings.loop_closure_every;
    if (every == 0)
        return false;
    const uint64_t place = cloud % every;
    return place == 0 || place == 1 || place == every - 1;
}

} // namespace

slam_settings untidy_slam() {
    slam_settings out;
    out.odometry_per_cloud = 1.5;
    out.stamp_spread_s = 0.008;
    out.wiwc_late = 0.1;
    out.wiwc_absent = 0.1;
    out.clouds_before_wiwc = 2;
    out.wiwc_drift = true;
    out.loop_closure_every = 50;
    out.spread_channels = true;
    return out;
}

// The clouds beside a loop closure always carry their wiwc on time, so that a
// host falling back on its latest wiwc never straddles the jump.
wiwc_fate wiwc_fate_of(const slam_settings &settings, uint64_t cloud) {
    if (cloud < settings.clouds_before_wiwc)
        return wiwc_fate::none_yet;
    if (cloud == settings.clouds_before_wiwc || near_loop_closure(settings, cloud))
        return wiwc_fate::on_time;
    const double roll = chance(cloud, 1);
    if (roll < settings.wiwc_absent)
        return wiwc_fate::absent;
    if (roll < settings.wiwc_absent + settings.wiwc_late)
        return wiwc_fate::late;
    return wiwc_fate::on_time;
}

wiwc_pair engine_wiwc(const slam_settings &settings, uint64_t cloud) {
    wiwc_pair out{wiwc_a(), wiwc_b()};
    double shift = 0, turn = 0;
    if (settings.wiwc_drift) {
        const double phase = 2 * pi * static_cast<double>(cloud) / drift_period_clouds;
        shift = drift_metres * std::sin(phase);
        turn = drift_radians * std::sin(phase + 1);
    }
    if (settings.loop_closure_every > 0 && (cloud / settings.loop_closure_every) % 2 == 1)
        shift += loop_closure_metres;
    if (shift != 0 || turn != 0)
        out.b = rotation_zyx(turn, 0, 0, {shift, -shift / 2, 0}).after(out.b);
    return out;
}

std::optional<wiwc_pair> host_wiwc(const slam_settings &settings, uint64_t cloud) {
    for (uint64_t k = cloud + 1; k-- > 0;) {
        const wiwc_fate fate = wiwc_fate_of(settings, k);
        if (fate == wiwc_fate::none_yet)
            return std::nullopt;
        if (fate != wiwc_fate::absent)
            return engine_wiwc(settings, k);
    }
    return std::nullopt;
}

double stamp_offset_s(const slam_settings &settings, uint64_t cloud) {
    return settings.stamp_spread_s * (2 * chance(cloud, 2) - 1);
}

} // namespace kest_sim
