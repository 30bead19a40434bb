// The virtual KestOne: a device model on the virtual USB bus that speaks the
// real protocol. It answers heartbeats and control commands on rx, serves its
// calibration file, and records what the host asked of it. Tests and the
// program configure it (silence, delays, failures, a bad file) and read its state.
#pragma once

#include "sim/kestone_camera.h"
#include "sim/kestone_faults.h"
#include "sim/kestone_frames.h"
#include "sim/kestone_motion.h"
#include "sim/kestone_playback.h"
#include "sim/kestone_scan.h"
#include "sim/kestone_slam.h"
#include "sim/kestone_wire.h"
#include "sim/usb_bus.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace kest_sim {

enum class md5_mode { correct, wrong_digit, upper_case };

// Rates and sizes of the streams the device sends once streaming.
struct stream_settings {
    double cloud_hz = 5; // SLAM clouds with matching odometry and wiwc
    size_t cloud_points = 5000;
    double hf_odometry_hz = 50;
    double imu_hz = 100;
    double info_hz = 1;
    double dtof_hz = 5; // depth frames of dtof_cols x dtof_rows points
    uint32_t dtof_cols = 160;
    uint32_t dtof_rows = 120;
    bool dtof_four_entries = false; // 934948-byte form (12-byte points, 8-bit intensity)
    double image_hz = 10;           // camera pictures on the rgb endpoint
    camera_settings camera;
    motion_settings motion;
    scan_settings scan; // what the range sensors measure
    slam_settings slam;
    bool flood = false;         // as fast as the host takes, rates ignored
    size_t queue_capacity = 32; // messages waiting per endpoint; the oldest is dropped
    // The device clock and the frame numbers run on across an unplug (a
    // device on its own supply); otherwise they start again at plug-in, as at
    // power-on. Across a stop and start of streaming they always run on.
    bool clock_survives_replug = false;
    // Fault: from time_jump_after_s into each streaming session, the time
    // stamps are time_jump_s later (earlier when negative) than the clock.
    double time_jump_s = 0;
    double time_jump_after_s = 0;
    // What the device may do that the host must survive.
    frame_style frames;               // every message it sends, answers too
    double heartbeat_delay_s = 0;     // before each heartbeat answer
    bool activation_required = false; // a stream flows only once its type is activated
    // The host's open of the device fails with this libusb error (0: it
    // opens): no permission, another program holds it.
    int open_error = 0;
    // A recording played back instead of the device's own streams (device
    // info goes on); see virtual_device_settings.
    playback_settings playback;
    // Random faults, for whoever plugs the device in (plugged_kestone).
    fault_settings faults;
};

// When and as what a stream item leaves: its number (counting on across
// streaming sessions), its step on its stream's time grid, its time on the
// device clock (seconds since plug-in) and its time stamp.
struct item_clock {
    uint64_t number;
    uint64_t step;
    double t;
    int64_t stamp;
    double session_start; // on the device clock
};

// The time stamp of time t on the device clock, jumped while the fault is set.
int64_t stamp_at(const stream_settings &settings, double t, double session_start);

// The rate a stream's items are made at (the flood pace when flooding).
double stream_rate(const stream_settings &settings, uint16_t type);

// "demo" (smooth for viewing), "full" (the device's nominal rates), "flood"
// (as fast as the host takes) or "tidy" (demo's rates, without what makes a
// real device untidy: for tests that need exact values). Unknown names give "demo".
stream_settings stream_preset(const std::string &name);
// The preset names, in the order a help text lists them.
const std::vector<std::string> &stream_preset_names();
// "demo, full, flood, tidy": the names for a help text.
std::string stream_preset_list();

// The settings a --virtual-device value asks for, with overrides applied in
// order: a preset's name, or "play:REC" for the recording in folder REC played
// back (on the tidy preset, with the recording's rates and picture size).
// False, with the reason in error, on an unknown preset, a bad override or a
// folder that holds no recording.
bool virtual_device_settings(const std::string &device, const std::vector<std::string> &overrides,
                             stream_settings &out, std::string &error);

// Sets one field from "KEY=VALUE" (the keys are listed by stream_setting_keys).
// On a bad key or value nothing changes and error says why.
bool set_stream_setting(stream_settings &settings, const std::string &assignment,
                        std::string &error);
// Every key, with its choices where it has a few ("dtof_form (3|4)"), comma
// separated, in lines of at most width characters that start with indent.
std::string stream_setting_keys(size_t width, const std::string &indent);

// What the device made, what left it and what it had to drop. Per type, once
// the queues are empty: sent = on_bus + lost.
struct stream_counters {
    std::map<uint16_t, uint64_t> sent;   // by message type: made and queued for the host
    std::map<uint8_t, uint64_t> dropped; // by endpoint: pushed out of a full queue
    std::map<uint8_t, size_t> queued;    // by endpoint, now
    std::map<uint16_t, uint64_t> on_bus; // by message type: every frame handed to the bus
    // By message type: dropped from a full queue, cleared by an unplug or a new
    // streaming session, or refused by the bus (the device was gone).
    std::map<uint16_t, uint64_t> lost;
};

struct kestone_state {
    bool opened = false;
    int mode = -1; // -1 until set
    bool streaming = false;
    std::set<uint16_t> activated;            // control codes of the activated streams
    std::map<uint16_t, uint32_t> parameters; // code 30..33 -> last value
    std::vector<uint16_t> requests;          // control codes in arrival order
    uint64_t heartbeats_received = 0;
    uint64_t heartbeats_answered = 0;
    uint64_t file_ok = 0;   // host's OK after the file
    uint64_t file_fail = 0; // host's FAIL after the file
    uint64_t bad_frames = 0;
};

class kestone : public usb_device_model {
public:
    static constexpr uint8_t ep_rx = 0x81, ep_tx = 0x01, ep_imu = 0x82, ep_rgb = 0x83,
                             ep_dtof = 0x84;
    static constexpr size_t bulk_transfer = 262144;
    static constexpr size_t imu_transfer = 1024;

    kestone();
    ~kestone() override;

    void plugged(int device) override;
    void on_out(uint8_t endpoint, const uint8_t *data, size_t length) override;
    void unplugged() override;
    void in_taken() override;

    // Heartbeats: answer all, answer the next count and then fall silent, or stay silent.
    void answer_heartbeats(bool answer);
    void silence_after(uint64_t beats);
    // Answers nothing at all, neither heartbeats nor requests, until resume().
    void fall_silent();
    // Speaks by itself (a heartbeat on rx) and answers heartbeats and requests again.
    void resume();
    // A slow link: the frames of one answer on rx leave this far apart, and
    // every answer (heartbeats too) waits its turn behind them.
    void set_rx_frame_gap(std::chrono::milliseconds gap);

    // Delay before every answer to a control command.
    void set_answer_delay(std::chrono::milliseconds delay);
    // Answers code with FAIL, bare or with a 32-bit error code; none() restores OK.
    void fail_code(uint16_t code, std::optional<uint32_t> error = std::nullopt);
    void never_answer(uint16_t code); // the request goes unanswered
    void answer_again(uint16_t code); // undoes never_answer
    void set_md5_mode(md5_mode mode);
    void set_short_file(bool short_by_one);
    // Start stream answers OK with this 4-byte rate, or bare with nullopt;
    // until called, with the subframe rate of the streams (four per depth frame).
    void set_start_rate(std::optional<uint32_t> rate);
    // Get version answers with a record of this many bytes (wire::version_record_bytes
    // is right).
    void set_version_length(size_t length);
    // Answers code with this message instead of the usual answer.
    void set_answer(uint16_t code, byte_vector message);

    void set_streams(const stream_settings &settings);
    // Holding, the sensors make nothing (device info still flows) while what is
    // queued still goes out: a quiet device that can be drained.
    void hold_streams(bool hold);
    // A recording played back (see playback_settings): paused (its clock
    // stops; device info goes on) or playing, and how far it has come.
    struct playback_state {
        bool playing = false; // a recording is chosen
        bool paused = false;
        bool finished = false; // played to its end (never, looping)
        double position_s = 0, length_s = 0;
        double speed = 1;
        bool loop = false;
    };
    void pause_playback(bool paused);
    // Plays on from position_s (seconds from the recording's start).
    void seek_playback(double position_s);
    // Sends the next cloud (clouds > 0) or the one before the last sent (< 0) now.
    void step_playback(int clouds);
    // Recorded seconds per second (0.01 to 100) and looping, from now on.
    void set_playback_speed(double speed);
    void set_playback_loop(bool loop);
    playback_state playback() const;
    stream_counters counters() const;
    // The points of SLAM cloud frame (value1) as the device scanned them, in its
    // SLAM engine's world frame, for one of the last few thousand clouds; none
    // for others.
    std::vector<std::array<double, 3>> cloud_world_points(uint64_t frame) const;
    // The SLAM engine's world frame of this streaming session, as a pose in the room.
    pose slam_world_now() const;

    // Sends any message on a receiving endpoint now.
    bool send(uint8_t endpoint, uint16_t type, const byte_vector &payload = {});

    kestone_state state() const;
    // The device's number on the bus while plugged in.
    int bus_device() const;
    // Waits until pred(state) holds; false after timeout.
    bool wait_state(const std::function<bool(const kestone_state &)> &pred,
                    std::chrono::milliseconds timeout) const;

    // The calibration file the device serves with its default camera, and its MD5 text.
    static const std::string &calibration_yaml();
    static std::string calibration_md5();
    // The file it serves now: for the camera of its stream settings.
    std::string served_calibration() const;

private:
    void handle_message(const byte_vector &message);
    void handle_control(uint16_t code, const byte_vector &message);
    byte_vector answer_for(uint16_t code);
    byte_vector file_message() const;
    byte_vector version_record() const;
    static size_t transfer_size(uint8_t endpoint);
    // Every message the device sends leaves through here: its frames for
    // endpoint's transfers, handed to the bus in order. Before each frame after
    // the first, between (when given) may wait, or end the message by returning
    // false. False when ended early or the bus refused a frame. Call without the mutex.
    static bool queue_message(int id, uint8_t endpoint, const byte_vector &message, uint32_t tag,
                              const frame_style &style,
                              const std::function<bool()> &between = nullptr);
    // Sends on rx at once or after the answer delay, in order.
    void answer(byte_vector message, bool delayed);
    void run_responder();
    // Queues the frames of message on rx, rx_frame_gap apart; false if stopping
    // cut it short or the bus refused a frame. Releases the mutex meanwhile.
    bool send_on_rx(std::unique_lock<std::mutex> &lock, const byte_vector &message);
    void run_streams();
    void run_camera();
    void begin_streaming();
    void feed_bus(std::unique_lock<std::mutex> &lock);
    std::vector<std::pair<uint8_t, byte_vector>> flood_item(const stream_settings &settings,
                                                            uint16_t type, const item_clock &clock);
    item_clock clock_of(const stream_settings &settings, uint16_t type, uint64_t k);
    std::vector<std::pair<uint16_t, uint64_t>> take_due(double elapsed);
    bool flowing(uint16_t type) const;
    void queue_stream(uint8_t endpoint, byte_vector message);
    // Caller holds the mutex: counts the messages of queue as lost and empties it.
    void lose_queue(std::deque<byte_vector> &queue);
    std::vector<std::tuple<uint8_t, byte_vector, uint32_t>> take_for_bus();

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    int device = 0;
    host_frame_reader reader;
    kestone_state current;
    bool heartbeats_on = true;
    bool silent = false;
    bool held = false; // hold_streams
    std::chrono::milliseconds rx_frame_gap{0};
    std::optional<uint64_t> beats_left;
    std::chrono::milliseconds answer_delay{0};
    std::map<uint16_t, std::optional<uint32_t>> failing;
    std::set<uint16_t> unanswered;
    std::map<uint16_t, byte_vector> replacements;
    md5_mode md5 = md5_mode::correct;
    bool short_file = false;
    bool start_rate_fixed = false; // set_start_rate was called
    std::optional<uint32_t> start_rate;
    size_t version_length = wire::version_record_bytes;
    uint32_t next_tag = 1;

    // Delayed answers, sent by the responder thread when due.
    std::vector<std::pair<std::chrono::steady_clock::time_point, byte_vector>> due;
    std::thread responder;
    bool stopping = false;

    // Streams: paced by what is owed since streaming began.
    stream_settings streams;
    std::thread streamer;
    std::thread camera;
    std::chrono::steady_clock::time_point stream_began;
    uint64_t stream_session = 0; // a new one at every start
    uint64_t settings_version = 0;
    // The streamer's own: items made once for flooding, for one session and settings.
    std::map<uint16_t, std::map<uint64_t, std::vector<std::pair<uint8_t, byte_vector>>>> flood_made;
    std::pair<uint64_t, uint64_t> flood_made_for;
    std::map<uint8_t, std::deque<byte_vector>> outgoing; // whole messages per endpoint
    stream_counters stream_count;
    std::map<uint16_t, uint64_t> produced; // per message type, since streaming began
    // The device clock: its zero, the start of the streaming session on it,
    // items sent in earlier sessions and the first step of this one, per type.
    std::chrono::steady_clock::time_point powered_on;
    bool clock_started = false;
    double session_start_s = 0;
    std::map<uint16_t, uint64_t> numbered_before;
    std::map<uint16_t, uint64_t> grid_first;
    camera_pictures pictures;
    // The streamer's own: the recording being played back, opened afresh at
    // every start of streaming (player_restart, under the mutex).
    std::unique_ptr<recording_player> player;
    bool player_restart = false;
    playback_state played;
    std::chrono::steady_clock::time_point play_tick; // when the playing clock last moved on
    std::optional<double> seek_to;                   // asked for, not yet done
    int step_by = 0;
    // room: for the depth endpoint and the camera's.
    std::vector<std::pair<uint8_t, byte_vector>>
    play_due(const stream_settings &settings, double advance_s, std::pair<size_t, size_t> room);
    // What each recent cloud was made as: its frame for the scan and its time.
    // What a cloud was scanned as: its scan number, its time and its session's start.
    struct cloud_origin {
        uint64_t scan;
        double t;
        double session_start;
    };
    std::map<uint64_t, cloud_origin> cloud_made_as;
    void remember_cloud(const stream_settings &settings, const item_clock &clock);
};

} // namespace kest_sim
