// The camera's NV12 pictures, from whichever encoder the build has (OpenCV's,
// or the plain one of the Windows build): where the lens looks at one surface,
// the picture shows that surface's colour, shaded.
#include "sim/kestone_calibration.h"
#include "sim/kestone_camera.h"
#include "sim/kestone_scene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>

namespace {

using colour = std::array<double, 3>; // r, g, b

// BT.601 studio swing back to RGB: the host's reading of a picture.
colour rgb_at(const kest_sim::byte_vector &nv12, uint32_t width, uint32_t height, uint32_t x,
              uint32_t y) {
    const double luma = nv12[y * width + x];
    const size_t chroma = size_t{width} * height + (y / 2) * width + (x / 2) * 2;
    const double u = nv12[chroma] - 128.0, v = nv12[chroma + 1] - 128.0;
    return {luma + 1.403 * v, luma - 0.344 * u - 0.714 * v, luma + 1.773 * u};
}

} // namespace

TEST(Camera, Nv12PicturesShowTheSurfacesTheLensSeesInTheirColours) {
    kest_sim::camera_settings settings;
    settings.nv12 = true;
    const kest_sim::motion_settings motion;
    const uint32_t width = settings.width, height = settings.height;
    const kest_sim::camera_calibration lens = kest_sim::camera_calibration_for(settings);
    size_t checked = 0;
    for (double t : {0.0, 3.0, 7.5}) {
        const kest_sim::byte_vector picture = kest_sim::camera_picture(settings, motion, t);
        ASSERT_EQ(picture.size(), size_t{width} * height * 3 / 2);
        const kest_sim::pose camera =
            kest_sim::odometry_pose(kest_sim::sensor_odometry(t, motion)).after(lens.tcl.inverse());
        // Where the pixel and its neighbours a few pixels away all see the same colour, away
        // from any edge, the picture holds that colour times its shading.
        for (uint32_t y = 40; y < height - 40; y += 40)
            for (uint32_t x = 40; x < width - 40; x += 40) {
                auto seen = [&](double u, double v) {
                    return kest_sim::trace_ray(camera.t,
                                               camera.rotate(kest_sim::pixel_ray(lens, u, v)));
                };
                const kest_sim::ray_hit hit = seen(x, y);
                bool alone =
                    hit.distance > 0 && *std::max_element(hit.rgb.begin(), hit.rgb.end()) > 60;
                for (int dx : {-6, 6})
                    for (int dy : {-6, 6})
                        alone = alone && seen(x + dx, y + dy).rgb == hit.rgb;
                if (!alone)
                    continue;
                const colour shown = rgb_at(picture, width, height, x, y);
                const colour surface = {double(hit.rgb[0]), double(hit.rgb[1]), double(hit.rgb[2])};
                const double light =
                    (shown[0] * surface[0] + shown[1] * surface[1] + shown[2] * surface[2]) /
                    (surface[0] * surface[0] + surface[1] * surface[1] + surface[2] * surface[2]);
                EXPECT_GT(light, 0.15) << "t " << t << ", pixel " << x << ", " << y;
                for (size_t c = 0; c < 3; ++c)
                    EXPECT_NEAR(shown[c], light * surface[c], 14)
                        << "t " << t << ", pixel " << x << ", " << y << ", channel " << c;
                ++checked;
            }
    }
    EXPECT_GT(checked, 20u) << "enough pixels on one surface";
}
