// The device pose as the odometry decoder produces it and the renderer's pose
// axes consume it: thirteen 64-bit floats, in this order.
#pragma once

#include <type_traits>

struct PoseRecord {
    double time = 0.0;          // odometry time stamp in nanoseconds, not scaled
    double rotation[9] = {};    // 3x3 rotation, column-major: R00 R10 R20 R01 R11 R21 R02 R12 R22
    double translation[3] = {}; // x, y, z in metres
};

static_assert(sizeof(PoseRecord) == 13 * sizeof(double), "PoseRecord is thirteen doubles");
static_assert(std::is_standard_layout<PoseRecord>::value, "PoseRecord is a plain record");
