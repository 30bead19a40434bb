// The "full" preset's rates, with small clouds and pictures where a sanitizer makes bytes dearer.
#pragma once

#include "sim/kestone.h"

namespace kest_test {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

inline kest_sim::stream_settings full_rates() {
    kest_sim::stream_settings settings = kest_sim::stream_preset("full");
    if (sanitized) {
        settings.cloud_points = 1000;
        settings.dtof_cols = 32;
        settings.dtof_rows = 24;
        settings.camera.width = 160;
        settings.camera.height = 120;
    }
    return settings;
}

} // namespace kest_test
