// The camera's pictures through OpenCV: the cast scaled up bilinearly, then
// encoded as JPEG or converted to NV12.
#include "sim/kestone_camera_cast.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>

namespace kest_sim {

namespace {

// NV12: the full-size luma plane, then U and V interleaved at half size.
byte_vector to_nv12(const cv::Mat &bgr) {
    cv::Mat i420;
    cv::cvtColor(bgr, i420, cv::COLOR_BGR2YUV_I420);
    const size_t luma = static_cast<size_t>(bgr.cols) * bgr.rows, chroma = luma / 4;
    const uint8_t *planes = i420.ptr<uint8_t>(0);
    byte_vector out(luma + 2 * chroma);
    memcpy(out.data(), planes, luma);
    for (size_t i = 0; i < chroma; ++i) {
        out[luma + 2 * i] = planes[luma + i];
        out[luma + 2 * i + 1] = planes[luma + chroma + i];
    }
    return out;
}

} // namespace

bool camera_encodes_jpeg() {
    return true;
}

byte_vector camera_picture(const camera_settings &settings, const motion_settings &motion,
                           double t) {
    const camera_settings real = camera_sanitised(settings);
    cast_picture cast = cast_room(real, motion, t);
    cv::Mat picture;
    cv::resize(cv::Mat(cast.height, cast.width, CV_8UC3, cast.bgr.data()), picture,
               cv::Size(static_cast<int>(real.width), static_cast<int>(real.height)), 0, 0,
               cv::INTER_LINEAR);
    if (real.nv12)
        return to_nv12(picture);
    byte_vector jpeg;
    cv::imencode(".jpg", picture, jpeg, {cv::IMWRITE_JPEG_QUALITY, real.jpeg_quality});
    return jpeg;
}

} // namespace kest_sim
