#include "sim/kestone_camera.h"
#include "sim/kestone_calibration.h"
#include "sim/kestone_camera_cast.h"
#include "sim/kestone_motion.h"
#include "sim/kestone_scene.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace kest_sim {

namespace {

constexpr double floor_tile = 0.5; // metres
constexpr uint32_t min_side = 16, max_side = 4096;

// How bright a surface looks: lit from the viewer, fading with distance, the
// floor tiled so that motion shows.
double shade(const ray_hit &hit, const std::array<double, 3> &direction) {
    double facing = std::fabs(hit.normal[0] * direction[0] + hit.normal[1] * direction[1] +
                              hit.normal[2] * direction[2]);
    double light = (0.35 + 0.65 * facing) / (1.0 + 0.08 * hit.distance);
    bool on_floor = std::fabs(hit.normal[2]) > 0.99 && hit.point[2] < 0.01;
    if (on_floor) {
        long tile = std::lround(std::floor(hit.point[0] / floor_tile)) +
                    std::lround(std::floor(hit.point[1] / floor_tile));
        if (tile % 2 != 0)
            light *= 0.7;
    }
    return light;
}

// The camera-frame ray of every cast pixel (see render), worked out once per
// picture size: undoing the lens's distortion is the dear part of a picture.
std::shared_ptr<const std::vector<std::array<double, 3>>>
cast_rays(const camera_settings &settings, const camera_calibration &lens) {
    static std::mutex mutex;
    static std::map<std::pair<uint32_t, uint32_t>,
                    std::shared_ptr<const std::vector<std::array<double, 3>>>>
        made;
    std::lock_guard<std::mutex> lock(mutex);
    auto &rays = made[{settings.width, settings.height}];
    if (rays)
        return rays;
    const int width = static_cast<int>(settings.width), height = static_cast<int>(settings.height);
    const int cast_w = (width + 1) / 2, cast_h = (height + 1) / 2;
    auto out = std::make_shared<std::vector<std::array<double, 3>>>();
    out->reserve(static_cast<size_t>(cast_w) * cast_h);
    for (int row = 0; row < cast_h; ++row)
        for (int col = 0; col < cast_w; ++col)
            // The centre of the cast pixel, in the picture's pixels (centres at whole numbers).
            out->push_back(pixel_ray(lens, (col + 0.5) * width / cast_w - 0.5,
                                     (row + 0.5) * height / cast_h - 0.5));
    rays = out;
    return rays;
}

} // namespace

cast_picture cast_room(const camera_settings &settings, const motion_settings &motion, double t) {
    const int width = static_cast<int>(settings.width), height = static_cast<int>(settings.height);
    cast_picture out;
    out.width = (width + 1) / 2;
    out.height = (height + 1) / 2;
    const camera_calibration lens = camera_calibration_for(settings);
    const auto rays = cast_rays(settings, lens);
    const pose camera = odometry_pose(sensor_odometry(t, motion)).after(lens.tcl.inverse());
    out.bgr.resize(static_cast<size_t>(out.width) * out.height * 3);
    uint8_t *bgr = out.bgr.data();
    for (const std::array<double, 3> &ray : *rays) {
        const std::array<double, 3> world = camera.rotate(ray);
        ray_hit hit = trace_ray(camera.t, world);
        double light = hit.distance > 0 ? shade(hit, world) : 0;
        for (int c = 0; c < 3; ++c)
            *bgr++ = static_cast<uint8_t>(std::min(255.0, hit.rgb[2 - c] * light));
    }
    return out;
}

camera_settings camera_sanitised(const camera_settings &settings) {
    camera_settings out = settings;
    out.width = std::clamp(out.width, min_side, max_side);
    out.height = std::clamp(out.height, min_side, max_side);
    out.nv12 = out.nv12 || !camera_encodes_jpeg();
    if (out.nv12) {
        out.width += out.width % 2;
        out.height += out.height % 2;
    }
    out.jpeg_quality = std::clamp(out.jpeg_quality, 1, 100);
    return out;
}

camera_pictures::camera_pictures(size_t budget_bytes) : budget(budget_bytes) {}

std::shared_ptr<const byte_vector> camera_pictures::picture(const camera_settings &settings,
                                                            const motion_settings &motion,
                                                            double hz, uint64_t k) {
    if (!(hz > 0))
        hz = 1;
    const double period = trajectory_period();
    const uint64_t places =
        static_cast<uint64_t>(std::clamp(std::llround(period * hz), 1LL, 100000LL));
    const double t = k / hz;
    const uint64_t place =
        static_cast<uint64_t>(std::llround(std::fmod(t, period) / period * places)) % places;
    const camera_settings real = camera_sanitised(settings);
    std::lock_guard<std::mutex> lock(mutex);
    if (real.width != made_for.width || real.height != made_for.height ||
        real.nv12 != made_for.nv12 || real.jpeg_quality != made_for.jpeg_quality ||
        hz != made_at_hz || motion.six_dof != made_six_dof) {
        kept.clear();
        used = 0;
        made_for = real;
        made_six_dof = motion.six_dof;
        made_at_hz = hz;
    }
    auto found = kept.find(place);
    if (found != kept.end())
        return found->second;
    auto made =
        std::make_shared<const byte_vector>(camera_picture(real, motion, place * period / places));
    if (used + made->size() <= budget) {
        used += made->size();
        kept.emplace(place, made);
    }
    return made;
}

} // namespace kest_sim
