// The virtual KestOne playing a recording back: the recorded poses as
// odometry, the recorded clouds as SLAM clouds with their wiwc, the recorded
// pictures as JPEG pictures, each at its recorded time (scaled by the speed)
// and with its recorded time stamp, through the real protocol.
//
// A recorded cloud holds world points. The device sends it in the sensor's
// frame of the odometry the host will pair it with, under a fixed wiwc, so
// that the host's T = O * B * inverse(A) puts every point back where the
// recording has it, to the device's 0.1 mm. The host pairs a cloud with the
// first odometry it still holds that lies within its 50 ms window (older ones
// are let go); the player follows the same rule over what it has sent, and
// sends an odometry of its own only for a cloud that no recorded pose would
// meet. Nothing is dropped: when the device's queues are full, playback waits.
#pragma once

#include "recording/recording_reader.h"
#include "sim/kestone_frames.h"
#include "sim/kestone_motion.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kest_sim {

// What a recording holds, for the device's rates and its camera: read once
// when the playback is chosen.
struct recording_outline {
    uint64_t clouds = 0, poses = 0, images = 0;
    double first_s = 0, last_s = 0; // the earliest and latest record times
    double cloud_hz = 0, pose_hz = 0, image_hz = 0;
    uint32_t image_width = 0, image_height = 0; // of the first picture; 0 without one
};

struct playback_settings {
    std::string folder; // empty: no playback
    double speed = 1;   // recorded seconds per second
    bool loop = false;  // start again after the end, time stamps running on
    // Read when the playback was chosen, so that a start of streaming need
    // not read the whole recording again; read by the player if absent.
    std::optional<recording_outline> outline;
};

// False, with the reason, when folder holds no recording.
bool outline_recording(const std::string &folder, recording_outline &out, std::string &error);

class recording_player {
public:
    // Opens the recording's files; false with the reason.
    bool open(const playback_settings &settings, std::string &error);
    // The messages (endpoint, whole message) whose time has come once
    // recorded_s seconds of the recording have played, at most room of them
    // per endpoint. Frame numbers and, when looping, time stamps run on.
    std::vector<std::pair<uint8_t, byte_vector>> take_due(double recorded_s, size_t room);
    bool finished() const { return done; }
    // Where the playback is within the recording's span, in recorded seconds
    // (within the current pass when looping), and the span's length.
    double position_s() const { return position; }
    double length_s() const { return length; }

private:
    struct pending_pose {
        int64_t stamp;
        odometry_sample odometry;
        bool claimed; // a cloud sent before it is paired with it
    };
    enum class source { pose, cloud, image };

    bool fill(source which);
    bool next_due(source &which, int64_t &stamp);
    bool restart_pass();
    void emit_pose(std::vector<std::pair<uint8_t, byte_vector>> &out);
    void emit_cloud(std::vector<std::pair<uint8_t, byte_vector>> &out);
    void emit_image(std::vector<std::pair<uint8_t, byte_vector>> &out);
    odometry_sample pair_cloud(int64_t stamp, std::vector<std::pair<uint8_t, byte_vector>> &out);

    playback_settings settings;
    RecordFileReader readers[3];
    RecordView next[3];
    bool has_next[3] = {false, false, false};
    int64_t first_stamp = 0, pass_offset = 0, pass_length = 0;
    uint64_t pass = 0;
    uint64_t numbers[3] = {0, 0, 0};     // items sent per source, across passes
    std::deque<pending_pose> upcoming;   // poses read ahead, not yet sent
    std::deque<pending_pose> host_holds; // sent, not yet paired (as the host keeps them)
    odometry_sample last_odometry{};     // the last pose sent, for a cloud without one
    bool done = false;
    double position = 0, length = 0;
};

} // namespace kest_sim
