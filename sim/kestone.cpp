// The virtual KestOne's protocol side: heartbeats, control commands, version
// and calibration file, and the one way out for every message it sends.
#include "sim/kestone.h"
#include "sdk/common/thread/thread.h"
#include "sim/kestone_calibration.h"
#include "sim/kestone_wire.h"

#include "sdk/common/file/md5.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

namespace kest_sim {

namespace {

const std::set<uint16_t> activation_codes = {wire::code_activate_dtof, wire::code_activate_image,
                                             wire::code_activate_imu, wire::code_activate_odometry,
                                             wire::code_activate_slam};

std::string md5_of(const std::string &text) {
    md5_context context;
    md5_init(&context);
    md5_update(&context, text.data(), text.size());
    md5_final(&context);
    char hex[MD5_HEX_SIZE];
    md5_to_hex(&context, hex);
    return hex;
}

bool is_setting(uint16_t code) {
    return code >= wire::code_first_setting && code <= wire::code_last_setting;
}

} // namespace

const std::string &kestone::calibration_yaml() {
    static const std::string yaml =
        kest_sim::calibration_yaml(camera_calibration_for(camera_settings{}), 16);
    return yaml;
}

std::string kestone::calibration_md5() {
    return md5_of(calibration_yaml());
}

std::string kestone::served_calibration() const {
    std::lock_guard<std::mutex> lock(mutex);
    return kest_sim::calibration_yaml(camera_calibration_for(streams.camera),
                                      streams.camera.tcl_values);
}

kestone::kestone() = default;

kestone::~kestone() {
    unplugged();
}

void kestone::plugged(int id) {
    std::lock_guard<std::mutex> lock(mutex);
    device = id;
    stopping = false;
    current.streaming = false;
    if (!clock_started || !streams.clock_survives_replug) {
        powered_on = std::chrono::steady_clock::now();
        clock_started = true;
        numbered_before.clear();
        produced.clear();
        current.activated.clear(); // powered off, it forgot them
    }
    if (!responder.joinable())
        responder = std::thread([this] {
            set_os_thread_name("kestone_answer");
            run_responder();
        });
    if (!streamer.joinable())
        streamer = std::thread([this] {
            set_os_thread_name("kestone_stream");
            run_streams();
        });
    if (!camera.joinable())
        camera = std::thread([this] {
            set_os_thread_name("kestone_camera");
            run_camera();
        });
}

// Ends the device's own threads; what it had queued is gone with it.
void kestone::unplugged() {
    std::unique_lock<std::mutex> lock(mutex);
    stopping = true;
    due.clear();
    for (auto &[endpoint, queue] : outgoing)
        lose_queue(queue);
    changed.notify_all();
    lock.unlock();
    if (responder.joinable())
        responder.join();
    if (streamer.joinable())
        streamer.join();
    if (camera.joinable())
        camera.join();
}

void kestone::on_out(uint8_t endpoint, const uint8_t *data, size_t length) {
    if (endpoint != ep_tx)
        return;
    byte_vector message;
    bool complete;
    {
        std::lock_guard<std::mutex> lock(mutex);
        complete = reader.take(data, length, message);
        current.bad_frames = reader.bad_frames();
    }
    if (complete && message.size() >= wire::cmd_header_bytes &&
        wire::message_payload_length(message) <= message.size() - wire::cmd_header_bytes)
        handle_message(message);
}

void kestone::handle_message(const byte_vector &message) {
    uint16_t type = wire::message_type(message);
    if (type == wire::type_heartbeat) {
        bool answer_now;
        {
            std::lock_guard<std::mutex> lock(mutex);
            current.heartbeats_received++;
            answer_now = !silent && heartbeats_on && (!beats_left || *beats_left > 0);
            if (answer_now && beats_left)
                --*beats_left;
            if (answer_now)
                current.heartbeats_answered++;
            changed.notify_all();
        }
        if (answer_now)
            answer(device_message(wire::type_heartbeat), false);
        return;
    }
    if ((type == wire::type_ok || type == wire::type_fail) &&
        wire::message_payload_length(message) == 0) {
        std::lock_guard<std::mutex> lock(mutex);
        (type == wire::type_ok ? current.file_ok : current.file_fail)++;
        changed.notify_all();
        return;
    }
    if (type == wire::type_control && message.size() >= wire::control_code_at + 2)
        handle_control(
            static_cast<uint16_t>(wire::get_be(message.data() + wire::control_code_at, 2)),
            message);
}

void kestone::handle_control(uint16_t code, const byte_vector &message) {
    byte_vector reply;
    {
        std::lock_guard<std::mutex> lock(mutex);
        current.requests.push_back(code);
        changed.notify_all();
        if (silent || unanswered.count(code) != 0)
            return;
        auto fails = failing.find(code);
        auto replaced = replacements.find(code);
        if (replaced != replacements.end()) {
            reply = replaced->second;
        } else if (fails != failing.end()) {
            reply = device_message(
                wire::type_fail, fails->second ? wire::le_bytes(*fails->second, 4) : byte_vector{});
        } else {
            if (code == wire::code_open)
                current.opened = true;
            else if (code == wire::code_close)
                current.opened = current.streaming = false;
            else if (code == wire::code_start && !current.streaming) {
                current.streaming = true;
                begin_streaming();
            } else if (code == wire::code_stop)
                current.streaming = false;
            else if (code == wire::code_mode0 || code == wire::code_mode1)
                current.mode = code == wire::code_mode0 ? 0 : 1;
            else if (activation_codes.count(code) != 0)
                current.activated.insert(code);
            else if (is_setting(code) && message.size() >= wire::control_value_at + 4)
                current.parameters[code] =
                    static_cast<uint32_t>(wire::get_be(message.data() + wire::control_value_at, 4));
        }
    }
    if (reply.empty())
        reply = answer_for(code);
    answer(std::move(reply), true);
}

byte_vector kestone::answer_for(uint16_t code) {
    std::lock_guard<std::mutex> lock(mutex);
    if (code == wire::code_start) {
        // The depth sensor's subframes per second: four per depth frame.
        const std::optional<uint32_t> rate =
            start_rate_fixed ? start_rate
                             : std::optional<uint32_t>(std::lround(streams.dtof_hz * 4));
        return device_message(wire::type_ok, rate ? wire::le_bytes(*rate, 4) : byte_vector{});
    }
    if (code == wire::code_version)
        return device_message(wire::type_ok, version_record());
    if (code == wire::code_calib)
        return file_message();
    bool known = code == wire::code_open || code == wire::code_close || code == wire::code_stop ||
                 code == wire::code_mode0 || code == wire::code_mode1 ||
                 activation_codes.count(code) != 0 || is_setting(code);
    return device_message(known ? wire::type_ok : wire::type_fail);
}

// Five entries of major, minor and patch, then the iq MD5 text; a record
// shorter than usual (set_version_length) keeps only what fits.
byte_vector kestone::version_record() const {
    byte_vector record(version_length, 0);
    const int32_t versions[wire::version_entries][3] = {
        {2, 4, 1}, {5, 10, 110}, {1, 3, 7}, {2, 4, 0}, {3, 1, 12}};
    for (size_t entry = 0; entry < wire::version_entries; ++entry)
        for (size_t field = 0; field < 3; ++field) {
            size_t at = entry * wire::version_entry_bytes + field * 4;
            if (at + 4 <= record.size())
                wire::put_le(record, at, static_cast<uint32_t>(versions[entry][field]), 4);
        }
    const char iq_md5[] = "5f4dcc3b5aa765d61d8327deb882cf99";
    if (record.size() >= wire::version_iq_md5_at + sizeof iq_md5)
        memcpy(record.data() + wire::version_iq_md5_at, iq_md5, sizeof iq_md5);
    return record;
}

// The whole file in one chunk.
byte_vector kestone::file_message() const {
    const std::string yaml = kest_sim::calibration_yaml(camera_calibration_for(streams.camera),
                                                        streams.camera.tcl_values);
    byte_vector payload(wire::chunk_bytes, 0);
    wire::put_le(payload, wire::chunk_total_at, yaml.size(), 8);
    wire::put_le(payload, wire::chunk_offset_at, 0, 8);
    wire::put_le(payload, wire::chunk_size_at, yaml.size(), 4);
    std::string md5_text = md5_of(yaml);
    if (md5 == md5_mode::wrong_digit)
        md5_text[5] = md5_text[5] == '0' ? '1' : '0';
    else if (md5 == md5_mode::upper_case)
        std::transform(md5_text.begin(), md5_text.end(), md5_text.begin(), [](char c) {
            return static_cast<char>(toupper(static_cast<unsigned char>(c)));
        });
    memcpy(payload.data() + wire::chunk_md5_at, md5_text.c_str(), md5_text.size() + 1);
    memcpy(payload.data() + wire::chunk_data_at, yaml.data(), yaml.size());
    if (short_file)
        payload.pop_back();
    return device_message(wire::type_file, payload);
}

size_t kestone::transfer_size(uint8_t endpoint) {
    return endpoint == ep_imu ? imu_transfer : bulk_transfer;
}

bool kestone::queue_message(int id, uint8_t endpoint, const byte_vector &message, uint32_t tag,
                            const frame_style &style, const std::function<bool()> &between) {
    std::vector<byte_vector> frames = device_frames(message, transfer_size(endpoint), tag, style);
    bool all = true;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (i > 0 && between && !between())
            return false;
        all &= bus_queue_in(id, endpoint, std::move(frames[i]));
    }
    return all;
}

void kestone::answer(byte_vector message, bool delayed) {
    std::unique_lock<std::mutex> lock(mutex);
    const auto delay = delayed ? answer_delay
                               : std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::duration<double>(streams.heartbeat_delay_s));
    if (rx_frame_gap.count() > 0 || delay.count() > 0 || (delayed && !due.empty())) {
        due.emplace_back(std::chrono::steady_clock::now() + delay, std::move(message));
        changed.notify_all();
        return;
    }
    int id = device;
    uint32_t tag = next_tag++;
    const frame_style style = streams.frames;
    lock.unlock();
    queue_message(id, ep_rx, message, tag, style);
}

void kestone::run_responder() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        if (due.empty()) {
            changed.wait(lock);
            continue;
        }
        auto when = due.front().first;
        if (std::chrono::steady_clock::now() < when) {
            changed.wait_until(lock, when);
            continue;
        }
        byte_vector message = std::move(due.front().second);
        due.erase(due.begin());
        send_on_rx(lock, message);
    }
}

bool kestone::send_on_rx(std::unique_lock<std::mutex> &lock, const byte_vector &message) {
    int id = device;
    uint32_t tag = next_tag++;
    const frame_style style = streams.frames;
    lock.unlock();
    // The gap is read afresh before every frame, so a link slowed mid-answer
    // slows the rest of it; an unplug ends the wait at once.
    bool sent = queue_message(id, ep_rx, message, tag, style, [&] {
        lock.lock();
        bool stop = rx_frame_gap.count() > 0 &&
                    changed.wait_for(lock, rx_frame_gap, [this] { return stopping; });
        lock.unlock();
        return !stop;
    });
    lock.lock();
    return sent;
}

bool kestone::send(uint8_t endpoint, uint16_t type, const byte_vector &payload) {
    std::unique_lock<std::mutex> lock(mutex);
    int id = device;
    uint32_t tag = next_tag++;
    const frame_style style = streams.frames;
    lock.unlock();
    return queue_message(id, endpoint, device_message(type, payload), tag, style);
}

void kestone::answer_heartbeats(bool on) {
    std::lock_guard<std::mutex> lock(mutex);
    heartbeats_on = on;
    beats_left.reset();
}

void kestone::silence_after(uint64_t beats) {
    std::lock_guard<std::mutex> lock(mutex);
    heartbeats_on = true;
    beats_left = beats;
}

void kestone::fall_silent() {
    std::lock_guard<std::mutex> lock(mutex);
    silent = true;
}

void kestone::resume() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        silent = false;
    }
    answer_heartbeats(true);
    send(ep_rx, wire::type_heartbeat);
}

void kestone::set_rx_frame_gap(std::chrono::milliseconds gap) {
    std::lock_guard<std::mutex> lock(mutex);
    rx_frame_gap = gap;
}

void kestone::set_answer_delay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(mutex);
    answer_delay = delay;
}

void kestone::fail_code(uint16_t code, std::optional<uint32_t> error) {
    std::lock_guard<std::mutex> lock(mutex);
    failing[code] = error;
}

void kestone::never_answer(uint16_t code) {
    std::lock_guard<std::mutex> lock(mutex);
    unanswered.insert(code);
}

void kestone::answer_again(uint16_t code) {
    std::lock_guard<std::mutex> lock(mutex);
    unanswered.erase(code);
}

int kestone::bus_device() const {
    std::lock_guard<std::mutex> lock(mutex);
    return device;
}

void kestone::set_md5_mode(md5_mode mode) {
    std::lock_guard<std::mutex> lock(mutex);
    md5 = mode;
}

void kestone::set_short_file(bool short_by_one) {
    std::lock_guard<std::mutex> lock(mutex);
    short_file = short_by_one;
}

void kestone::set_start_rate(std::optional<uint32_t> rate) {
    std::lock_guard<std::mutex> lock(mutex);
    start_rate = rate;
    start_rate_fixed = true;
}

void kestone::set_version_length(size_t length) {
    std::lock_guard<std::mutex> lock(mutex);
    version_length = length;
}

void kestone::set_answer(uint16_t code, byte_vector message) {
    std::lock_guard<std::mutex> lock(mutex);
    replacements[code] = std::move(message);
}

kestone_state kestone::state() const {
    std::lock_guard<std::mutex> lock(mutex);
    return current;
}

bool kestone::wait_state(const std::function<bool(const kestone_state &)> &pred,
                         std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return pred(current); });
}

} // namespace kest_sim
