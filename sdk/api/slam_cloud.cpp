// The cloud transform: one total transform per cloud, one pass over the points.
#include "sdk/api/slam_cloud.h"

#include "sdk/common/byte_order.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr double point_unit = 0.0001; // 0.1 mm in metres
constexpr double units_per_metre = 10000.0;
constexpr double odometry_unit = 1e-6;
constexpr double identity_epsilon = 1e-12;
constexpr size_t odometry_position = 8;
constexpr size_t odometry_quaternion = 32;
constexpr size_t wiwc_a = 112;
constexpr size_t wiwc_b = 400;

struct rigid {
    double r[3][3];
    double t[3];
};

rigid matrix_3x4(const uint8_t *p) {
    double m[12];
    memcpy(m, p, sizeof m);
    rigid out{};
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col)
            out.r[row][col] = m[row * 4 + col];
        out.t[row] = m[row * 4 + 3];
    }
    return out;
}

bool is_identity(const rigid &x) {
    double sum = 0;
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) {
            double d = x.r[row][col] - (row == col ? 1.0 : 0.0);
            sum += d * d;
        }
        sum += x.t[row] * x.t[row];
    }
    return sum < identity_epsilon;
}

rigid odometry_pose(const uint8_t *odometry) {
    double p[3], q[4];
    for (int i = 0; i < 3; ++i)
        p[i] = static_cast<double>(get_le64s(odometry + odometry_position + 8 * i)) * odometry_unit;
    for (int i = 0; i < 4; ++i)
        q[i] =
            static_cast<double>(get_le64s(odometry + odometry_quaternion + 8 * i)) * odometry_unit;
    double x = q[0], y = q[1], z = q[2], w = q[3];
    double n = x * x + y * y + z * z + w * w;
    double s = n > 0 ? 1.0 / n : 1.0;
    rigid o{{{1 - 2 * s * (y * y + z * z), 2 * s * (x * y - w * z), 2 * s * (x * z + w * y)},
             {2 * s * (x * y + w * z), 1 - 2 * s * (x * x + z * z), 2 * s * (y * z - w * x)},
             {2 * s * (x * z - w * y), 2 * s * (y * z + w * x), 1 - 2 * s * (x * x + y * y)}},
            {p[0], p[1], p[2]}};
    return o;
}

rigid inverse(const rigid &x) {
    rigid out{};
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            out.r[row][col] = x.r[col][row];
    for (int row = 0; row < 3; ++row)
        out.t[row] = -(out.r[row][0] * x.t[0] + out.r[row][1] * x.t[1] + out.r[row][2] * x.t[2]);
    return out;
}

// x after y: rotation x.R * y.R, translation x.R * y.t + x.t.
rigid compose(const rigid &x, const rigid &y) {
    rigid out{};
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col)
            out.r[row][col] =
                x.r[row][0] * y.r[0][col] + x.r[row][1] * y.r[1][col] + x.r[row][2] * y.r[2][col];
        out.t[row] = x.r[row][0] * y.t[0] + x.r[row][1] * y.t[1] + x.r[row][2] * y.t[2] + x.t[row];
    }
    return out;
}

// Nearest integer, ties to even; values beyond 32 bits are held at the limits.
int32_t to_units(double metres) {
    double units = std::nearbyint(metres * units_per_metre);
    if (!(units > std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    if (units > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(units);
}

} // namespace

void cloud_transform(const uint8_t *points, size_t bytes, const uint8_t *odometry,
                     const uint8_t *wiwc, std::vector<uint8_t> &out) {
    out.clear();
    if (bytes == 0 || bytes % CLOUD_POINT_BYTES != 0)
        return;
    out.assign(points, points + bytes);
    if (odometry == nullptr || wiwc == nullptr)
        return;
    rigid a = matrix_3x4(wiwc + wiwc_a);
    rigid b = matrix_3x4(wiwc + wiwc_b);
    if (is_identity(a) || is_identity(b))
        return;
    rigid total = compose(odometry_pose(odometry), compose(b, inverse(a)));

    for (size_t at = 0; at < bytes; at += CLOUD_POINT_BYTES) {
        int32_t raw[3];
        memcpy(raw, points + at, sizeof raw);
        double p[3] = {raw[0] * point_unit, raw[1] * point_unit, raw[2] * point_unit};
        int32_t moved[3];
        for (int row = 0; row < 3; ++row)
            moved[row] = to_units(total.r[row][0] * p[0] + total.r[row][1] * p[1] +
                                  total.r[row][2] * p[2] + total.t[row]);
        memcpy(out.data() + at, moved, sizeof moved);
    }
}
