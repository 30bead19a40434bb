// The camera's pictures in a build without OpenCV (the Windows build of the
// core): the cast doubled pixel by pixel and converted to NV12 with the
// BT.601 studio-swing formulas (as OpenCV's BGR to I420 conversion uses).
// There is no JPEG encoder here, so pictures are NV12 whatever is asked.
#include "sim/kestone_camera_cast.h"

#include <algorithm>
#include <cmath>

namespace kest_sim {

namespace {

uint8_t clamp_byte(double value) {
    return static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

} // namespace

bool camera_encodes_jpeg() {
    return false;
}

byte_vector camera_picture(const camera_settings &settings, const motion_settings &motion,
                           double t) {
    const camera_settings real = camera_sanitised(settings);
    const cast_picture cast = cast_room(real, motion, t);
    const size_t width = real.width, height = real.height, luma = width * height;
    byte_vector out(luma + luma / 2);
    auto bgr_at = [&](size_t x, size_t y) {
        return &cast.bgr[((y / 2) * static_cast<size_t>(cast.width) + x / 2) * 3];
    };
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x) {
            const uint8_t *p = bgr_at(x, y);
            out[y * width + x] = clamp_byte(0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2]);
        }
    // A 2 x 2 block of the picture is one pixel of the cast: its chroma is that pixel's.
    for (size_t y = 0; y < height / 2; ++y)
        for (size_t x = 0; x < width / 2; ++x) {
            const uint8_t *p = bgr_at(2 * x, 2 * y);
            const double grey = 0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2];
            out[luma + y * width + 2 * x] = clamp_byte((p[0] - grey) * 0.564 + 128);
            out[luma + y * width + 2 * x + 1] = clamp_byte((p[2] - grey) * 0.713 + 128);
        }
    return out;
}

} // namespace kest_sim
