// How the virtual KestOne's SLAM engine publishes: odometry at its own rate,
// each cloud registered to the odometry sample nearest it but stamped a few
// milliseconds apart, and the wiwc transforms (A, B) drifting slowly, moved
// by a loop closure now and then, sometimes sent after their cloud or not at
// all, and missing for the first clouds after plug-in. The engine decides per
// cloud, by its number, so the same cloud is always treated the same way.
#pragma once

#include "sim/kestone_pose.h"

#include <cstdint>
#include <optional>

namespace kest_sim {

struct slam_settings {
    // The odometry's own rate, as a multiple of the cloud rate; 0: one odometry
    // per cloud, with the cloud's stamp. Above 1, the host's 50 ms matching
    // window needs the odometry's period above 50 ms plus the stamp spread.
    double odometry_per_cloud = 0;
    double stamp_spread_s = 0;       // a cloud's stamp departs from its odometry's by up to this
    double wiwc_late = 0;            // share of wiwc sent after their cloud
    double wiwc_absent = 0;          // share of clouds without a wiwc
    uint32_t clouds_before_wiwc = 0; // the first clouds after plug-in come without one
    bool wiwc_drift = false;         // A and B drift slowly
    uint32_t loop_closure_every = 0; // clouds between loop closures, which move B; 0: none
    bool spread_channels = false;    // odometry on the IMU channel, device info on rx
};

// What the engine's tuning is on a real device (the tidy one is the default above).
slam_settings untidy_slam();

enum class wiwc_fate { none_yet, absent, late, on_time };
wiwc_fate wiwc_fate_of(const slam_settings &settings, uint64_t cloud);

// The engine's A and B at cloud number cloud.
struct wiwc_pair {
    pose a, b;
};
wiwc_pair engine_wiwc(const slam_settings &settings, uint64_t cloud);
// The pair a host has for the cloud: the cloud's own if the engine sends it,
// else the last one sent before it; none before the first.
std::optional<wiwc_pair> host_wiwc(const slam_settings &settings, uint64_t cloud);

// Seconds the cloud's stamp lies after (or, negative, before) its odometry's.
double stamp_offset_s(const slam_settings &settings, uint64_t cloud);

} // namespace kest_sim
