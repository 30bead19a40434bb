// Stream settings by name, so that a command line can override any of them.
#include "sim/kestone.h"

#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

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

using setter = std::function<bool(stream_settings &, const std::string &)>;

struct setting {
    const char *key;
    const char *values; // for the help text; empty for a plain number
    setter set;
};

setter rate(double stream_settings::*field) { // hertz
    return [field](stream_settings &s, const std::string &text) {
        return to_number(text, 0, 100000, s.*field);
    };
}

template <typename Field>
setter whole(std::function<Field &(stream_settings &)> field, double low, double high) {
    return [field, low, high](stream_settings &s, const std::string &text) {
        double value = 0;
        if (!to_number(text, low, high, value) || value != std::floor(value))
            return false;
        field(s) = static_cast<Field>(value);
        return true;
    };
}

setter real(std::function<double &(stream_settings &)> field, double low, double high) {
    return [field, low, high](stream_settings &s, const std::string &text) {
        return to_number(text, low, high, field(s));
    };
}

setter choice(std::function<bool &(stream_settings &)> field, const char *no, const char *yes) {
    return [field, no, yes](stream_settings &s, const std::string &text) {
        if (text != no && text != yes)
            return false;
        field(s) = text == yes;
        return true;
    };
}

setter flag(std::function<bool &(stream_settings &)> field) {
    return choice(std::move(field), "0", "1");
}

const std::vector<setting> &settings_table() {
    using S = stream_settings;
    static const std::vector<setting> table = {
        {"cloud_hz", "", rate(&S::cloud_hz)},
        {"cloud_points", "",
         whole<size_t>([](S &s) -> size_t & { return s.cloud_points; }, 1, 1e6)},
        {"hf_odometry_hz", "", rate(&S::hf_odometry_hz)},
        {"imu_hz", "", rate(&S::imu_hz)},
        {"info_hz", "", rate(&S::info_hz)},
        {"dtof_hz", "", rate(&S::dtof_hz)},
        {"dtof_cols", "",
         whole<uint32_t>([](S &s) -> uint32_t & { return s.dtof_cols; }, 2, 49152)},
        {"dtof_rows", "",
         whole<uint32_t>([](S &s) -> uint32_t & { return s.dtof_rows; }, 2, 49152)},
        {"dtof_form", "3|4", choice([](S &s) -> bool & { return s.dtof_four_entries; }, "3", "4")},
        {"image_hz", "", rate(&S::image_hz)},
        {"image_width", "",
         whole<uint32_t>([](S &s) -> uint32_t & { return s.camera.width; }, 16, 4096)},
        {"image_height", "",
         whole<uint32_t>([](S &s) -> uint32_t & { return s.camera.height; }, 16, 4096)},
        {"image_format", "jpeg|nv12",
         choice([](S &s) -> bool & { return s.camera.nv12; }, "jpeg", "nv12")},
        {"jpeg_quality", "",
         whole<int>([](S &s) -> int & { return s.camera.jpeg_quality; }, 1, 100)},
        {"calib_tcl_values", "12|16",
         [](S &s, const std::string &text) {
             if (text != "12" && text != "16")
                 return false;
             s.camera.tcl_values = text == "12" ? 12 : 16;
             return true;
         }},
        {"queue_capacity", "",
         whole<size_t>([](S &s) -> size_t & { return s.queue_capacity; }, 1, 100000)},
        {"six_dof", "0|1", flag([](S &s) -> bool & { return s.motion.six_dof; })},
        {"quaternion_flip", "0|1", flag([](S &s) -> bool & { return s.motion.flip_sign; })},
        {"quaternion_length_error", "",
         real([](S &s) -> double & { return s.motion.length_error; }, 0, 0.5)},
        {"odometry_per_cloud", "",
         real([](S &s) -> double & { return s.slam.odometry_per_cloud; }, 0, 100)},
        {"stamp_spread", "", real([](S &s) -> double & { return s.slam.stamp_spread_s; }, 0, 1)},
        {"wiwc_late", "", real([](S &s) -> double & { return s.slam.wiwc_late; }, 0, 1)},
        {"wiwc_absent", "", real([](S &s) -> double & { return s.slam.wiwc_absent; }, 0, 1)},
        {"clouds_before_wiwc", "",
         whole<uint32_t>([](S &s) -> uint32_t & { return s.slam.clouds_before_wiwc; }, 0, 1e6)},
        {"wiwc_drift", "0|1", flag([](S &s) -> bool & { return s.slam.wiwc_drift; })},
        {"loop_closure_every", "",
         whole<uint32_t>([](S &s) -> uint32_t & { return s.slam.loop_closure_every; }, 0, 1e6)},
        {"spread_channels", "0|1", flag([](S &s) -> bool & { return s.slam.spread_channels; })},
        {"scans", "0|1", flag([](S &s) -> bool & { return s.scan.scans; })},
        {"scan_hfov", "", real([](S &s) -> double & { return s.scan.hfov_deg; }, 1, 360)},
        {"scan_vfov", "", real([](S &s) -> double & { return s.scan.vfov_deg; }, 1, 180)},
        {"range_noise", "", real([](S &s) -> double & { return s.scan.noise_m; }, 0, 1)},
        {"range_noise_per_m", "", real([](S &s) -> double & { return s.scan.noise_per_m; }, 0, 1)},
        {"dropouts", "0|1", flag([](S &s) -> bool & { return s.scan.dropouts; })},
        {"heartbeat_delay", "", real([](S &s) -> double & { return s.heartbeat_delay_s; }, 0, 10)},
        {"reserved_noise", "0|1", flag([](S &s) -> bool & { return s.frames.reserved_noise; })},
        {"unchecked_frames", "0|1", flag([](S &s) -> bool & { return s.frames.unchecked; })},
        {"group_frame_bytes", "",
         whole<size_t>([](S &s) -> size_t & { return s.frames.group_frame_bytes; }, 0, 262118)},
        {"activation_required", "0|1", flag([](S &s) -> bool & { return s.activation_required; })},
        {"open_refused", "no|access|busy",
         [](S &s, const std::string &text) {
             const std::map<std::string, int> errors = {
                 {"no", 0}, {"access", LIBUSB_ERROR_ACCESS}, {"busy", LIBUSB_ERROR_BUSY}};
             const auto found = errors.find(text);
             if (found == errors.end())
                 return false;
             s.open_error = found->second;
             return true;
         }},
        {"clock_survives_replug", "0|1",
         flag([](S &s) -> bool & { return s.clock_survives_replug; })},
        {"time_jump", "", real([](S &s) -> double & { return s.time_jump_s; }, -1e6, 1e6)},
        {"time_jump_after", "", real([](S &s) -> double & { return s.time_jump_after_s; }, 0, 1e6)},
        {"speed", "", real([](S &s) -> double & { return s.playback.speed; }, 0.01, 100)},
        {"loop", "0|1", flag([](S &s) -> bool & { return s.playback.loop; })},
        {"faults", "", real([](S &s) -> double & { return s.faults.every_s; }, 0, 86400)},
        {"fault_seed", "",
         whole<uint32_t>([](S &s) -> uint32_t & { return s.faults.seed; }, 0, 4294967295.0)},
    };
    return table;
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
    for (const setting &known : settings_table()) {
        if (key != known.key)
            continue;
        stream_settings changed = settings;
        if (!known.set(changed, text)) {
            error = "bad value '" + text + "' for " + key;
            return false;
        }
        settings = changed;
        return true;
    }
    error = "unknown setting '" + key + "'";
    return false;
}

// A recording's own rates and picture size, at the playback's speed; the
// streams it does not hold are not sent.
static void take_rates_of(const recording_outline &outline, stream_settings &settings) {
    const double speed = settings.playback.speed;
    settings.cloud_hz = outline.cloud_hz * speed;
    settings.image_hz = outline.image_hz * speed;
    settings.slam.odometry_per_cloud =
        outline.cloud_hz > 0 ? outline.pose_hz / outline.cloud_hz : 0;
    settings.hf_odometry_hz = settings.imu_hz = settings.dtof_hz = 0;
    if (outline.image_width > 0) {
        settings.camera.width = outline.image_width;
        settings.camera.height = outline.image_height;
    }
    settings.camera.nv12 = false;
}

bool virtual_device_settings(const std::string &device, const std::vector<std::string> &overrides,
                             stream_settings &out, std::string &error) {
    const std::string play = "play:";
    const bool playing = device.rfind(play, 0) == 0;
    const std::vector<std::string> &names = stream_preset_names();
    if (!playing && std::find(names.begin(), names.end(), device) == names.end()) {
        error = "unknown preset '" + device + "'";
        return false;
    }
    stream_settings settings = stream_preset(playing ? "tidy" : device);
    settings.playback.folder = playing ? device.substr(play.size()) : std::string();
    for (const std::string &assignment : overrides)
        if (!set_stream_setting(settings, assignment, error))
            return false;
    if (!playing && (settings.playback.speed != 1 || settings.playback.loop)) {
        error = "speed and loop are for a recording played back (play:REC)";
        return false;
    }
    if (playing) {
        recording_outline outline;
        if (settings.playback.folder.empty() ||
            !outline_recording(settings.playback.folder, outline, error)) {
            if (settings.playback.folder.empty())
                error = "play: names no recording to play";
            return false;
        }
        take_rates_of(outline, settings);
        settings.playback.outline = outline;
    }
    out = settings;
    return true;
}

std::string stream_setting_keys(size_t width, const std::string &indent) {
    std::string out, line = indent;
    const std::vector<setting> &table = settings_table();
    for (size_t i = 0; i < table.size(); ++i) {
        std::string word = table[i].key;
        if (*table[i].values != '\0')
            word += std::string(" (") + table[i].values + ")";
        word += i + 1 < table.size() ? "," : "";
        if (line != indent && line.size() + 1 + word.size() > width) {
            out += line + "\n";
            line = indent;
        }
        line += (line == indent ? "" : " ") + word;
    }
    return out + line;
}

} // namespace kest_sim
