// The virtual KestOne's colour camera as its factory calibration describes it:
// the intrinsics (focal lengths, skew, principal point), the lens distortion
// and where the camera sits on the sensor. The camera renders its pictures
// through exactly this model, and the calibration file the device serves is
// written from it, so a host that projects a point with the file finds it in
// the picture.
//
// The model: a point p in the sensor's frame (x forward, y left, z up) is
// (x, y, z) = Tcl * p in the camera's frame (x right, y down, z forward). Its
// normalised image point (a, b) = (x / z, y / z), r its distance from the
// centre, is distorted to
//     a' = a * f + 2 p1 a b + p2 (r^2 + 2 a^2)
//     b' = b * f + p1 (r^2 + 2 b^2) + 2 p2 a b,   f = 1 + k2 r^2 + k3 r^3 + ... + k7 r^7
// and lands on pixel (A11 a' + A12 b' + u0, A22 b' + v0), pixel centres at
// whole numbers.
#pragma once

#include "sim/kestone_pose.h"

#include <array>
#include <cstdint>
#include <string>

namespace kest_sim {

struct camera_settings;

struct camera_calibration {
    uint32_t width = 0, height = 0;
    double a11 = 0, a12 = 0, a22 = 0, u0 = 0, v0 = 0;
    std::array<double, 6> k{}; // k2 .. k7
    double p1 = 0, p2 = 0;
    pose tcl{}; // sensor frame to camera frame
};

// The calibration of the camera that takes pictures of the given size: one
// lens, its intrinsics scaled with the picture.
camera_calibration camera_calibration_for(const camera_settings &camera);

// The unit ray (camera frame) through pixel (u, v), the distortion undone.
std::array<double, 3> pixel_ray(const camera_calibration &calibration, double u, double v);

// The file as the device serves it: Tcl_0 as 16 values (a 4 x 4 matrix) or
// 12 (its top three rows), cam_0 and the other keys a factory file carries.
std::string calibration_yaml(const camera_calibration &calibration, int tcl_values);

} // namespace kest_sim
