#include "sim/kestone_pose.h"

#include <cmath>

namespace kest_sim {

std::array<double, 3> pose::rotate(const std::array<double, 3> &v) const {
    return {r[0] * v[0] + r[1] * v[1] + r[2] * v[2], r[3] * v[0] + r[4] * v[1] + r[5] * v[2],
            r[6] * v[0] + r[7] * v[1] + r[8] * v[2]};
}

std::array<double, 3> pose::apply(const std::array<double, 3> &p) const {
    const std::array<double, 3> turned = rotate(p);
    return {turned[0] + t[0], turned[1] + t[1], turned[2] + t[2]};
}

pose pose::inverse() const {
    pose out{{r[0], r[3], r[6], r[1], r[4], r[7], r[2], r[5], r[8]}, {}};
    std::array<double, 3> back = out.apply(t);
    out.t = {-back[0], -back[1], -back[2]};
    return out;
}

// Each column of the product is this rotation turning that column of first.
pose pose::after(const pose &first) const {
    pose out{};
    for (int col = 0; col < 3; ++col) {
        const std::array<double, 3> turned =
            rotate({first.r[col], first.r[3 + col], first.r[6 + col]});
        for (int row = 0; row < 3; ++row)
            out.r[row * 3 + col] = turned[row];
    }
    out.t = apply(first.t);
    return out;
}

pose rotation_zyx(double yaw, double pitch, double roll, std::array<double, 3> t) {
    double cy = std::cos(yaw), sy = std::sin(yaw), cp = std::cos(pitch), sp = std::sin(pitch);
    double cr = std::cos(roll), sr = std::sin(roll);
    return {{cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr, sy * cp,
             sy * sp * sr + cy * cr, sy * sp * cr - cy * sr, -sp, cp * sr, cp * cr},
            t};
}

} // namespace kest_sim
