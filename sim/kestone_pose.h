// Rigid transforms for the virtual KestOne's scene, streams and camera: one
// place that turns vectors by a rotation, so every stream agrees with the
// others on where the sensor looks.
#pragma once

#include <array>

namespace kest_sim {

// A rigid transform: p' = r * p + t.
struct pose {
    std::array<double, 9> r; // row-major
    std::array<double, 3> t;

    std::array<double, 3> rotate(const std::array<double, 3> &v) const; // r * v
    std::array<double, 3> apply(const std::array<double, 3> &p) const;
    pose inverse() const;
    pose after(const pose &first) const; // this * first
};

// Turns by roll about x, then pitch about y, then yaw about z (a positive pitch
// lowers the x axis), and moves by t.
pose rotation_zyx(double yaw, double pitch, double roll, std::array<double, 3> t);

} // namespace kest_sim
