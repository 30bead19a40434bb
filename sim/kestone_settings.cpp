// Stream settings by name, so that a command line can override any of them.
#include "sim/kestone.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace kest_sim {

namespace {

bool to_number(const std::string &text, double low, double high, double &out) {
    char *end = nullptr;
    errno = 0;
    const double value = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value) || value < low ||
        value > high)
        return false;
    out = value;
    return true;
}

} // namespace

bool set_stream_setting(stream_settings &settings, const std::string &assignment,
                        std::string &error) {
    const size_t equals = assignment.find('=');
    if (equals == std::string::npos) {
        error = "'" + assignment + "' is not KEY=VALUE";
        return false;
    }
    const std::string key = assignment.substr(0, equals), text = assignment.substr(equals + 1);
    auto rate = [&](double &field) { return to_number(text, 0, 100000, field); }; // hertz
    auto count = [&](auto &field, double low, double high) {
        double value = 0;
        if (!to_number(text, low, high, value) || value != std::floor(value))
            return false;
        field = static_cast<std::remove_reference_t<decltype(field)>>(value);
        return true;
    };
    auto choice = [&](bool &field, const char *no, const char *yes) {
        if (text != no && text != yes)
            return false;
        field = text == yes;
        return true;
    };
    bool ok;
    if (key == "cloud_hz")
        ok = rate(settings.cloud_hz);
    else if (key == "cloud_points")
        ok = count(settings.cloud_points, 1, 1000000);
    else if (key == "hf_odometry_hz")
        ok = rate(settings.hf_odometry_hz);
    else if (key == "imu_hz")
        ok = rate(settings.imu_hz);
    else if (key == "info_hz")
        ok = rate(settings.info_hz);
    else if (key == "dtof_hz")
        ok = rate(settings.dtof_hz);
    else if (key == "dtof_cols")
        ok = count(settings.dtof_cols, 2, 49152);
    else if (key == "dtof_rows")
        ok = count(settings.dtof_rows, 2, 49152);
    else if (key == "dtof_form")
        ok = choice(settings.dtof_four_entries, "3", "4");
    else if (key == "image_hz")
        ok = rate(settings.image_hz);
    else if (key == "image_width")
        ok = count(settings.camera.width, 16, 4096);
    else if (key == "image_height")
        ok = count(settings.camera.height, 16, 4096);
    else if (key == "image_format")
        ok = choice(settings.camera.nv12, "jpeg", "nv12");
    else if (key == "jpeg_quality")
        ok = count(settings.camera.jpeg_quality, 1, 100);
    else if (key == "queue_capacity")
        ok = count(settings.queue_capacity, 1, 100000);
    else {
        error = "unknown setting '" + key + "'";
        return false;
    }
    if (!ok)
        error = "bad value '" + text + "' for " + key;
    return ok;
}

} // namespace kest_sim
