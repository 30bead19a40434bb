#include "sim/kestone_motion.h"

#include <cmath>

namespace kest_sim {

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double loop_period_s = 20.0;
constexpr double loop_rx = 1.4, loop_ry = 0.9, loop_z = 1.2;
constexpr double step_period_s = loop_period_s / 32; // a walker's step
constexpr double gravity = 9.81;
constexpr double derivative_step_s = 1e-3;
constexpr double flip_period_s = 3.0; // the quaternion is sent as -q for half of it

struct attitude {
    double yaw, pitch, roll;
    std::array<double, 3> position;
};

// Looking down at the floor for two seconds in every ten, eased in and out.
double tilt(double t) {
    const double u = std::fmod(t, loop_period_s / 2);
    if (u < 6 || u > 8)
        return 0;
    return 0.3 * 0.5 * (1 - std::cos(pi * (u - 6)));
}

attitude path(double t, bool six_dof) {
    const double w = 2 * pi / loop_period_s, angle = w * t;
    const double vx = -loop_rx * w * std::sin(angle), vy = loop_ry * w * std::cos(angle);
    attitude out{
        std::atan2(vy, vx), 0, 0, {loop_rx * std::cos(angle), loop_ry * std::sin(angle), loop_z}};
    if (!six_dof)
        return out;
    const double step = 2 * pi * t / step_period_s;
    out.position[2] += 0.025 * std::sin(step) + 0.08 * std::sin(4 * pi * t / loop_period_s);
    out.roll = 0.035 * std::sin(step / 2);
    out.pitch = 0.02 * std::sin(step + 0.6) + tilt(t);
    out.yaw += 0.03 * std::sin(step / 2 + 1.1);
    return out;
}

// Unit quaternion (x, y, z, w) with w >= 0 of a rotation matrix.
std::array<double, 4> quaternion_of(const pose &p) {
    const std::array<double, 9> &r = p.r;
    std::array<double, 4> q{};
    const double trace = r[0] + r[4] + r[8];
    if (trace > 0) {
        double s = 2 * std::sqrt(1 + trace);
        q = {(r[7] - r[5]) / s, (r[2] - r[6]) / s, (r[3] - r[1]) / s, s / 4};
    } else if (r[0] > r[4] && r[0] > r[8]) {
        double s = 2 * std::sqrt(1 + r[0] - r[4] - r[8]);
        q = {s / 4, (r[1] + r[3]) / s, (r[2] + r[6]) / s, (r[7] - r[5]) / s};
    } else if (r[4] > r[8]) {
        double s = 2 * std::sqrt(1 + r[4] - r[0] - r[8]);
        q = {(r[1] + r[3]) / s, s / 4, (r[5] + r[7]) / s, (r[2] - r[6]) / s};
    } else {
        double s = 2 * std::sqrt(1 + r[8] - r[0] - r[4]);
        q = {(r[2] + r[6]) / s, (r[5] + r[7]) / s, s / 4, (r[3] - r[1]) / s};
    }
    if (q[3] < 0)
        for (double &c : q)
            c = -c;
    return q;
}

} // namespace

pose sensor_pose(double t, const motion_settings &motion) {
    const attitude a = path(t, motion.six_dof);
    return rotation_zyx(a.yaw, a.pitch, a.roll, a.position);
}

// The pose p as the engine sends it at time t: the quaternion of either sign
// and not quite of unit length, as the motion's faults say.
static odometry_sample odometry_of(const pose &p, double t, const motion_settings &motion) {
    const std::array<double, 4> q = quaternion_of(p);
    double scale = 1 + motion.length_error * std::sin(2 * pi * t / 1.3);
    if (motion.flip_sign && std::fmod(t, flip_period_s) >= flip_period_s / 2)
        scale = -scale;
    odometry_sample out{};
    for (size_t i = 0; i < 3; ++i)
        out.position_um[i] = std::llround(p.t[i] * 1e6);
    for (size_t i = 0; i < 4; ++i)
        out.quaternion_e6[i] = std::llround(q[i] * scale * 1e6);
    return out;
}

odometry_sample sensor_odometry(double t, const motion_settings &motion) {
    return odometry_of(sensor_pose(t, motion), t, motion);
}

pose slam_world(double start, const motion_settings &motion) {
    const attitude a = path(start, motion.six_dof);
    return rotation_zyx(a.yaw, 0, 0, a.position);
}

odometry_sample engine_odometry(double t, const pose &world, const motion_settings &motion) {
    return odometry_of(world.inverse().after(sensor_pose(t, motion)), t, motion);
}

pose odometry_pose(const odometry_sample &sample) {
    double x = sample.quaternion_e6[0] * 1e-6, y = sample.quaternion_e6[1] * 1e-6;
    double z = sample.quaternion_e6[2] * 1e-6, w = sample.quaternion_e6[3] * 1e-6;
    double n = x * x + y * y + z * z + w * w;
    double s = n > 0 ? 1.0 / n : 1.0;
    return {
        {1 - 2 * s * (y * y + z * z), 2 * s * (x * y - w * z), 2 * s * (x * z + w * y),
         2 * s * (x * y + w * z), 1 - 2 * s * (x * x + z * z), 2 * s * (y * z - w * x),
         2 * s * (x * z - w * y), 2 * s * (y * z + w * x), 1 - 2 * s * (x * x + y * y)},
        {sample.position_um[0] * 1e-6, sample.position_um[1] * 1e-6, sample.position_um[2] * 1e-6}};
}

// Central differences of the exact path: the acceleration from three
// positions, the angular velocity from R^T dR/dt, which is skew-symmetric.
imu_reading sensor_imu(double t, const motion_settings &motion) {
    const double h = derivative_step_s;
    const pose before = sensor_pose(t - h, motion), now = sensor_pose(t, motion),
               after = sensor_pose(t + h, motion);
    std::array<double, 3> accel_world;
    for (size_t i = 0; i < 3; ++i)
        accel_world[i] = (after.t[i] - 2 * now.t[i] + before.t[i]) / (h * h);
    accel_world[2] += gravity;
    const pose to_sensor = now.inverse();
    std::array<double, 9> rate{}; // R^T (R(t+h) - R(t-h)) / 2h
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            for (int k = 0; k < 3; ++k)
                rate[row * 3 + col] +=
                    now.r[k * 3 + row] * (after.r[k * 3 + col] - before.r[k * 3 + col]) / (2 * h);
    imu_reading out;
    out.accel = to_sensor.rotate(accel_world);
    out.gyro = {(rate[7] - rate[5]) / 2, (rate[2] - rate[6]) / 2, (rate[3] - rate[1]) / 2};
    return out;
}

double trajectory_period() {
    return loop_period_s;
}

} // namespace kest_sim
