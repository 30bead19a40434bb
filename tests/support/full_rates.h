// The virtual KestOne's "full" preset for tests: its rates as they are, with small clouds, depth
// frames and pictures where a sanitizer makes every byte (and every ray the device casts) many
// times dearer.
#pragma once

#include "sim/kestone.h"

namespace kest_test {

inline kest_sim::stream_settings full_rates() {
    kest_sim::stream_settings settings = kest_sim::stream_preset("full");
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    settings.cloud_points = 1000;
    settings.dtof_cols = 32;
    settings.dtof_rows = 24;
    settings.camera.width = 160;
    settings.camera.height = 120;
#endif
    return settings;
}

} // namespace kest_test
