#include "sim/kestone_calibration.h"
#include "sim/kestone_camera.h"

#include <cmath>
#include <cstdio>

namespace kest_sim {

namespace {

// The lens at the 640 x 480 the factory calibrates.
constexpr double factory_width = 640, factory_height = 480;
constexpr double factory_a11 = 512.374, factory_a22 = 511.928;
constexpr double factory_u0 = 321.645, factory_v0 = 238.102;
constexpr std::array<double, 6> factory_k = {-0.092127, 0.012874, 0.017913, 0, 0, 0};
constexpr double factory_p1 = 0.000271, factory_p2 = -0.000184;
constexpr int undistort_steps = 20;

// Where the camera sits: 3 cm ahead of the sensor, 5 cm to its right and 1 cm
// up, looking along its x axis but for a mounting error of under a degree.
pose camera_to_sensor() {
    const pose optical{{0, 0, 1, -1, 0, 0, 0, -1, 0}, {0, 0, 0}}; // camera axes in the sensor's
    const pose mounting = rotation_zyx(0.0107, -0.0131, 0.0121, {0.031, -0.052, 0.012});
    return mounting.after(optical);
}

// The distortion of a normalised image point.
std::array<double, 2> distort(const camera_calibration &c, double a, double b) {
    const double r2 = a * a + b * b, r = std::sqrt(r2);
    double f = 1, power = r2;
    for (double k : c.k) {
        f += k * power;
        power *= r;
    }
    return {a * f + 2 * c.p1 * a * b + c.p2 * (r2 + 2 * a * a),
            b * f + c.p1 * (r2 + 2 * b * b) + 2 * c.p2 * a * b};
}

std::string number(double value) {
    char text[32];
    snprintf(text, sizeof text, "%.9g", value);
    return text;
}

std::string fixed(double value) {
    char text[32];
    snprintf(text, sizeof text, "%.6f", value);
    return text;
}

} // namespace

camera_calibration camera_calibration_for(const camera_settings &camera) {
    const camera_settings real = camera_sanitised(camera);
    const double sx = real.width / factory_width, sy = real.height / factory_height;
    camera_calibration out;
    out.width = real.width;
    out.height = real.height;
    out.a11 = factory_a11 * sx;
    out.a22 = factory_a22 * sx; // the same pixels, whatever the crop
    out.u0 = factory_u0 * sx;
    out.v0 = factory_v0 * sy;
    out.k = factory_k;
    out.p1 = factory_p1;
    out.p2 = factory_p2;
    out.tcl = camera_to_sensor().inverse();
    return out;
}

std::array<double, 3> pixel_ray(const camera_calibration &c, double u, double v) {
    const double bd = (v - c.v0) / c.a22, ad = (u - c.u0 - c.a12 * bd) / c.a11;
    // The distortion is mild: a fixed-point step from the distorted point converges.
    double a = ad, b = bd;
    for (int step = 0; step < undistort_steps; ++step) {
        const std::array<double, 2> moved = distort(c, a, b);
        a += ad - moved[0];
        b += bd - moved[1];
    }
    const double n = std::sqrt(a * a + b * b + 1);
    return {a / n, b / n, 1 / n};
}

std::string calibration_yaml(const camera_calibration &c, int tcl_values) {
    const pose &t = c.tcl;
    const double m[16] = {t.r[0], t.r[1], t.r[2], t.t[0], t.r[3], t.r[4], t.r[5], t.t[1],
                          t.r[6], t.r[7], t.r[8], t.t[2], 0,      0,      0,      1};
    std::string tcl = "Tcl_0: [ ";
    const int values = tcl_values == 12 ? 12 : 16;
    for (int i = 0; i < values; ++i)
        tcl += number(m[i]) + (i + 1 == values ? " ]\n" : i % 4 == 3 ? ",\n         " : ", ");
    std::string out = "# KestOne factory calibration\n"
                      "version: 2\n"
                      "device: KestOne\n"
                      "serial: \"KO1-2611-000417\"\n"
                      "calibrated: \"2026-03-18T10:42:07Z\"\n" +
                      tcl +
                      "cam_0:\n"
                      "   camera_model: pinhole\n"
                      "   distortion_model: radial_k2_k7_tangential_p1_p2\n"
                      "   image_width: " +
                      std::to_string(c.width) + "\n   image_height: " + std::to_string(c.height) +
                      "\n";
    for (size_t i = 0; i < c.k.size(); ++i)
        out += "   k" + std::to_string(i + 2) + ": " + fixed(c.k[i]) + "\n";
    out += "   p1: " + fixed(c.p1) + "\n   p2: " + fixed(c.p2) + "\n   A11: " + fixed(c.a11) +
           "\n   A12: " + fixed(c.a12) + "\n   A22: " + fixed(c.a22) + "\n   u0: " + fixed(c.u0) +
           "\n   v0: " + fixed(c.v0) +
           "\n"
           "   reprojection_error_px: 0.183\n"
           "imu_0:\n"
           "   Tli: [ 1, 0, 0, -0.012,\n"
           "          0, 1, 0, 0.004,\n"
           "          0, 0, 1, -0.021,\n"
           "          0, 0, 0, 1 ]\n"
           "   accelerometer_noise: 0.0021\n"
           "   gyroscope_noise: 0.00017\n";
    return out;
}

} // namespace kest_sim
