// The virtual KestOne playing a recording back: the recorded poses as
// odometry, the recorded clouds as SLAM clouds with their wiwc, the recorded
// pictures as JPEG pictures, each at its place in the recording's timeline
// (the segments between restarts of the device clock laid end to end, played
// at the speed chosen) and with its recorded time stamp, through the real
// protocol. The player can seek and step a cloud at a time; the host sees the
// clock jump, as at a restart.
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
#include "recording/recording_timeline.h"
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
    double cloud_hz = 0, pose_hz = 0, image_hz = 0;    // over playing time
    uint32_t image_width = 0, image_height = 0;        // of the first picture; 0 without one
    std::shared_ptr<const RecordingTimeline> timeline; // never null in an outline read
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

// Plays a recording's segments in recorded order on a clock of playing time
// (seconds from the start of the recording, as its timeline lays them out).
class recording_player {
public:
    // Opens the recording's files; false with the reason.
    bool open(const playback_settings &settings, std::string &error);
    // Moves the clock on by this many seconds of the recording.
    void advance(double recorded_s);
    // Plays on from position_s: the records from there on, the picture shown
    // there and the poses a cloud there pairs with.
    void seek(double position_s);
    // Moves the clock to the next cloud not yet sent (clouds > 0), or back to
    // the one before the last sent or, after a seek, the one before the
    // position (clouds < 0), so that it is due now.
    void step(int clouds);
    void set_loop(bool loop) { settings.loop = loop; }
    // The messages (endpoint, whole message) whose time has come, at most
    // dtof_room of them for the depth endpoint and rgb_room for the camera's.
    // With skip_pictures, a picture is left out when a later one is due too or
    // the camera endpoint has no room; clouds never are. Frame numbers and,
    // when looping, time stamps run on.
    std::vector<std::pair<uint8_t, byte_vector>> take_due(size_t dtof_room, size_t rgb_room,
                                                          bool skip_pictures = false);
    std::vector<std::pair<uint8_t, byte_vector>> take_due(size_t room, bool skip_pictures = false) {
        return take_due(room, room, skip_pictures);
    }
    bool finished() const { return done; }
    // Where the playback is within the recording, in playing seconds (within
    // the current pass when looping), and the recording's length.
    double position_s() const;
    double length_s() const { return timeline ? timeline->length : 0; }
    // The index in the recording of the last cloud sent, if any was.
    std::optional<size_t> last_cloud() const { return sent_cloud; }
    uint64_t pictures_skipped() const { return skipped; }

private:
    struct pending_pose {
        int64_t stamp;
        double play;
        odometry_sample odometry;
        bool claimed; // a cloud sent before it is paired with it
    };
    enum class source { pose, cloud, image };

    bool fill(source which);
    bool next_due(source &which, double &play);
    bool restart_pass();
    void reposition(const size_t (&at)[3]);
    void play_from(double at, size_t cloud);
    int64_t stamp_of(const RecordView &record, size_t which) const;
    void emit_pose(std::vector<std::pair<uint8_t, byte_vector>> &out);
    void emit_cloud(std::vector<std::pair<uint8_t, byte_vector>> &out);
    void emit_image(std::vector<std::pair<uint8_t, byte_vector>> &out);
    void skip_image();
    odometry_sample pair_cloud(int64_t stamp, std::vector<std::pair<uint8_t, byte_vector>> &out);
    void hold_for_host(const pending_pose &pose);

    playback_settings settings;
    std::shared_ptr<const RecordingTimeline> timeline;
    RecordFileReader readers[3];
    size_t cursor[3] = {0, 0, 0}; // the next record each reader gives
    RecordView next[3];
    bool has_next[3] = {false, false, false};
    double clock = 0; // playing seconds within the pass
    int64_t pass_offset = 0, pass_length = 0;
    uint64_t numbers[3] = {0, 0, 0};     // items sent per source, across passes
    uint64_t sent_before_pass = 0;       // their sum when the pass began
    std::deque<pending_pose> upcoming;   // poses read ahead, not yet sent
    std::deque<pending_pose> host_holds; // sent, not yet paired (as the host keeps them)
    int64_t last_stamp = 0;              // of the last odometry or cloud sent
    odometry_sample last_odometry{};     // the last pose sent, for a cloud without one
    std::optional<size_t> sent_cloud;
    size_t back_from = 0;                  // a step back goes to the cloud before this one
    std::optional<double> stepped_back_to; // the moment of the last step back, until played past
    uint64_t skipped = 0;
    bool done = false;
};

} // namespace kest_sim
