// The calibration file the virtual KestOne serves describes the camera that
// takes its pictures: a room corner projected with the downloaded file (and
// the odometry's pose at the picture's time) is where the picture shows it.
#include "sim/kestone_scene.h"
#include "tests/sim/streams_test.h"
#include "tests/support/temp_dir.h"

#include <opencv2/imgproc.hpp>
#include <yaml-cpp/yaml.h>

#include <cmath>
#include <optional>

using namespace kest_test;

namespace {

using vec3 = std::array<double, 3>;
using vec2 = std::array<double, 2>;

// What a host reads from calib.yaml: Tcl_0 (12 or 16 values) and cam_0.
struct host_calibration {
    kest_sim::pose tcl;
    size_t tcl_values;
    int width, height;
    double a11, a12, a22, u0, v0, p1, p2;
    std::array<double, 6> k; // k2 .. k7
};

host_calibration read_calibration(const std::string &path) {
    const YAML::Node file = YAML::LoadFile(path), tcl = file["Tcl_0"], cam = file["cam_0"];
    host_calibration c{};
    c.tcl_values = tcl.size();
    for (size_t row = 0; row < 3; ++row) {
        for (size_t col = 0; col < 3; ++col)
            c.tcl.r[3 * row + col] = tcl[4 * row + col].as<double>();
        c.tcl.t[row] = tcl[4 * row + 3].as<double>();
    }
    c.width = cam["image_width"].as<int>();
    c.height = cam["image_height"].as<int>();
    double *values[] = {&c.a11, &c.a12, &c.a22, &c.u0, &c.v0, &c.p1, &c.p2};
    const char *keys[] = {"A11", "A12", "A22", "u0", "v0", "p1", "p2"};
    for (size_t i = 0; i < 7; ++i)
        *values[i] = cam[keys[i]].as<double>();
    for (size_t i = 0; i < 6; ++i)
        c.k[i] = cam["k" + std::to_string(i + 2)].as<double>();
    return c;
}

// The pixel of a world point seen from the sensor's pose, if it lies ahead.
std::optional<vec2> project(const host_calibration &c, const kest_sim::pose &sensor,
                            const vec3 &world) {
    const vec3 p = c.tcl.apply(sensor.inverse().apply(world));
    if (p[2] <= 0.1)
        return std::nullopt;
    const double a = p[0] / p[2], b = p[1] / p[2], r2 = a * a + b * b, r = std::sqrt(r2);
    double f = 1, power = r2;
    for (double k : c.k) {
        f += k * power;
        power *= r;
    }
    const double ad = a * f + 2 * c.p1 * a * b + c.p2 * (r2 + 2 * a * a);
    const double bd = b * f + c.p1 * (r2 + 2 * b * b) + 2 * c.p2 * a * b;
    return vec2{c.a11 * ad + c.a12 * bd + c.u0, c.a22 * bd + c.v0};
}

// True when nothing stands between the camera and the world point.
bool in_sight(const kest_sim::pose &camera, const vec3 &world) {
    const vec3 d = {world[0] - camera.t[0], world[1] - camera.t[1], world[2] - camera.t[2]};
    const double n = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    const kest_sim::ray_hit hit = kest_sim::trace_ray(camera.t, {d[0] / n, d[1] / n, d[2] / n});
    return hit.distance > n - 0.01;
}

// A room corner the camera sees well inside the picture, with the walls and
// the floor or ceiling around it in sight: its time, position and pixel.
struct corner_view {
    double t;
    vec3 corner;
    vec2 pixel;
};

std::optional<corner_view> find_corner(const host_calibration &c,
                                       const kest_sim::motion_settings &motion) {
    const double margin = 40;
    for (double t = 0; t < kest_sim::trajectory_period(); t += 0.25) {
        const kest_sim::pose sensor = kest_sim::odometry_pose(kest_sim::sensor_odometry(t, motion));
        const kest_sim::pose camera = sensor.after(c.tcl.inverse());
        for (double x : {-3.0, 3.0})
            for (double y : {-2.0, 2.0})
                for (double z : {0.0, 3.0}) {
                    const vec3 corner = {x, y, z};
                    const std::optional<vec2> pixel = project(c, sensor, corner);
                    if (!pixel || (*pixel)[0] < margin || (*pixel)[0] > c.width - margin ||
                        (*pixel)[1] < margin || (*pixel)[1] > c.height - margin)
                        continue;
                    const double in = 0.3; // along each edge, into the room
                    const vec3 edges[3] = {{x - in * x / 3, y, z},
                                           {x, y - in * y / 2, z},
                                           {x, y, z == 0 ? in : 3 - in}};
                    bool clear = in_sight(camera, corner);
                    for (const vec3 &edge : edges)
                        clear = clear && in_sight(camera, edge);
                    if (clear)
                        return corner_view{t, corner, *pixel};
                }
    }
    return std::nullopt;
}

struct line { // a x + b y = c
    double a, b, c;
};
// The line through points, by total least squares.
std::optional<line> fit(const std::vector<cv::Point2f> &points) {
    if (points.size() < 8)
        return std::nullopt;
    cv::Vec4f l; // direction, then a point on it
    cv::fitLine(points, l, cv::DIST_L2, 0, 0.01, 0.01);
    return line{-l[1], l[0], -l[1] * l[2] + l[0] * l[3]};
}

std::optional<vec2> meet(const line &l, const line &m) {
    const double det = l.a * m.b - l.b * m.a;
    if (std::fabs(det) < 0.2) // nearly parallel: the crossing says little
        return std::nullopt;
    return vec2{(l.c * m.b - l.b * m.c) / det, (l.a * m.c - l.c * m.a) / det};
}

// Where the picture shows the corner near guess: the crossing of the edges
// between its three surfaces, each fitted to the midpoints between pixels of
// the two surfaces it divides.
std::optional<vec2> corner_in_picture(const cv::Mat &bgr, const vec3 &corner, const vec2 &guess) {
    cv::Mat hsv, walls(1, 2, CV_8UC3); // the walls across x and across y at the corner
    walls.at<cv::Vec3b>(0, 0) = corner[0] < 0 ? cv::Vec3b(50, 60, 200) : cv::Vec3b(200, 80, 50);
    walls.at<cv::Vec3b>(0, 1) = corner[1] < 0 ? cv::Vec3b(80, 170, 60) : cv::Vec3b(60, 200, 220);
    cv::cvtColor(walls, walls, cv::COLOR_BGR2HSV);
    cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
    // The surface a pixel shows: the wall across x (0) or y (1), floor or ceiling (2), none (-1).
    auto surface = [&](const cv::Vec3b &pixel) {
        if (pixel[1] < 50 && pixel[2] > 40)
            return 2;
        for (int wall = 0; wall < 2 && pixel[1] >= 90; ++wall) {
            const int apart = std::abs(pixel[0] - walls.at<cv::Vec3b>(0, wall)[0]);
            if (std::min(apart, 180 - apart) <= 10)
                return wall;
        }
        return -1;
    };
    const int radius = 25;
    std::vector<cv::Point2f> edge[3]; // between 0 and 1, 0 and 2, 1 and 2
    const int x0 = static_cast<int>(guess[0]), y0 = static_cast<int>(guess[1]);
    for (int y = y0 - radius; y <= y0 + radius; ++y)
        for (int x = x0 - radius; x <= x0 + radius; ++x) {
            const int here = surface(hsv.at<cv::Vec3b>(y, x));
            if (here < 0)
                continue;
            for (auto [dx, dy] : {std::pair{1, 0}, {2, 0}, {0, 1}, {0, 2}}) {
                const int there = surface(hsv.at<cv::Vec3b>(y + dy, x + dx));
                if (there < 0 || there == here)
                    continue;
                const int pair = here + there - 1; // 0+1, 0+2, 1+2 -> 0, 1, 2
                edge[pair].emplace_back(x + dx / 2.0f, y + dy / 2.0f);
            }
        }
    std::vector<line> lines;
    for (const std::vector<cv::Point2f> &points : edge)
        if (std::optional<line> fitted = fit(points))
            lines.push_back(*fitted);
    vec2 sum{0, 0};
    int crossings = 0;
    for (size_t i = 0; i < lines.size(); ++i)
        for (size_t j = i + 1; j < lines.size(); ++j)
            if (std::optional<vec2> p = meet(lines[i], lines[j])) {
                sum[0] += (*p)[0], sum[1] += (*p)[1];
                ++crossings;
            }
    if (crossings == 0)
        return std::nullopt;
    return vec2{sum[0] / crossings, sum[1] / crossings};
}

} // namespace

TEST_F(Streams, ServedCalibrationPutsARoomCornerWhereThePictureShowsIt) {
    kest_sim::stream_settings settings = demo_with_only({});
    bring_up_streaming(settings);
    for (auto [width, height, values] : {std::tuple{640u, 480u, 16}, {480u, 270u, 12}}) {
        SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height) + ", Tcl_0 of " +
                     std::to_string(values));
        settings.camera.width = width;
        settings.camera.height = height;
        settings.camera.tcl_values = values;
        settings.camera.nv12 = true; // no JPEG blocks around the edges
        device->set_streams(settings);
        temp_dir dir;
        {
            std::lock_guard<std::mutex> lock(handle_mutex);
            ASSERT_NE(handle, nullptr);
            ASSERT_EQ(lidar_get_calib_file(handle, dir.path().string().c_str()), 0);
        }
        const host_calibration calibration = read_calibration((dir.path() / "calib.yaml").string());
        ASSERT_EQ(calibration.tcl_values, static_cast<size_t>(values));
        ASSERT_EQ(calibration.width, static_cast<int>(width));
        ASSERT_EQ(calibration.height, static_cast<int>(height));

        const std::optional<corner_view> view = find_corner(calibration, settings.motion);
        ASSERT_TRUE(view) << "no room corner in clear sight along the path";
        const kest_sim::byte_vector nv12 =
            kest_sim::camera_picture(settings.camera, settings.motion, view->t);
        cv::Mat yuv(static_cast<int>(height * 3 / 2), static_cast<int>(width), CV_8UC1,
                    const_cast<uint8_t *>(nv12.data())),
            bgr;
        cv::cvtColor(yuv, bgr, cv::COLOR_YUV2BGR_NV12);
        const std::optional<vec2> found = corner_in_picture(bgr, view->corner, view->pixel);
        ASSERT_TRUE(found) << "the corner's edges are not in the picture near the projection";
        for (size_t axis = 0; axis < 2; ++axis)
            EXPECT_NEAR((*found)[axis], view->pixel[axis], 1.5) << "corner at t = " << view->t;
    }
}
