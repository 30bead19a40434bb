// The camera's ray cast, shared by its two encoders: kestone_camera_opencv.cpp
// (scaled by OpenCV, JPEG or NV12) and kestone_camera_plain.cpp (a build
// without OpenCV: scaled by pixel doubling, NV12 only).
#pragma once

#include "sim/kestone_camera.h"

#include <cstdint>
#include <vector>

namespace kest_sim {

// The room at half the picture's size (rounded up), 8-bit BGR, row by row.
struct cast_picture {
    int width = 0, height = 0;
    std::vector<uint8_t> bgr;
};
// Ray-casts the room through the calibrated lens t seconds into the sensor's
// path, for a picture of settings' (sanitised) size.
cast_picture cast_room(const camera_settings &settings, const motion_settings &motion, double t);

// Whether this build's camera can send JPEG files; without, it sends NV12.
bool camera_encodes_jpeg();

} // namespace kest_sim
