// The virtual KestOne's stream pacing: SLAM clouds with odometry and wiwc,
// high-frequency odometry, IMU samples, camera pictures, depth frames and device
// info, owed by the time since streaming began (or, flooding, as fast as the
// host takes them), queued per endpoint as a device FIFO and fed to the bus.
#include "sim/kestone.h"
#include "sim/kestone_payloads.h"
#include "sim/kestone_wire.h"

#include "sdk/logger/logger.h"

#include <algorithm>
#include <cmath>

namespace kest_sim {

namespace {

using clock = std::chrono::steady_clock;

constexpr size_t bus_backlog_frames = 4; // frames handed to the bus ahead of the host
constexpr double flood_hz = 1000;        // the pace that time stamps follow when flooding
constexpr uint64_t flood_ring = 16;      // items made once per type and sent over and over
// Played faster than this, a picture gives way to the clouds: left out when a
// later one is due too or the camera endpoint is full.
constexpr double max_speed_with_every_picture = 2;

} // namespace

stream_settings stream_preset(const std::string &name) {
    stream_settings settings;
    settings.slam = untidy_slam();
    settings.scan = untidy_scan();
    if (name == "full") {
        settings.cloud_hz = 10;
        settings.cloud_points = 20000;
        settings.hf_odometry_hz = 200;
        settings.imu_hz = 400;
        settings.info_hz = 1;
        settings.dtof_hz = 15;
        settings.dtof_cols = 224;
        settings.dtof_rows = 172;
        settings.image_hz = 30;
        settings.dtof_four_entries = true; // the form a newer firmware sends
    } else if (name == "flood") {
        // Items are made once and sent again and again: the SLAM sets stay tidy.
        settings = stream_preset("full");
        settings.flood = true;
        settings.slam = slam_settings{};
    } else if (name == "tidy") {
        settings.motion = {false, false, 0};
        settings.slam = slam_settings{};
        settings.scan = scan_settings{};
    }
    return settings;
}

const std::vector<std::string> &stream_preset_names() {
    static const std::vector<std::string> names = {"demo", "full", "flood", "tidy"};
    return names;
}

std::string stream_preset_list() {
    std::string out;
    for (const std::string &name : stream_preset_names())
        out += (out.empty() ? "" : ", ") + name;
    return out;
}

void kestone::set_streams(const stream_settings &settings) {
    std::lock_guard<std::mutex> lock(mutex);
    streams = settings;
    ++settings_version;
}

void kestone::hold_streams(bool hold) {
    std::lock_guard<std::mutex> lock(mutex);
    held = hold;
    changed.notify_all();
}

stream_counters kestone::counters() const {
    std::lock_guard<std::mutex> lock(mutex);
    stream_counters out = stream_count;
    for (const auto &[endpoint, queue] : outgoing)
        out.queued[endpoint] = queue.size();
    return out;
}

// The time on the device clock a cloud due at t was scanned at: the odometry
// sample the engine registers it to, or its own time when each cloud comes
// with its own odometry.
static double cloud_scanned_at(const stream_settings &settings, double t) {
    if (settings.slam.odometry_per_cloud <= 0 || settings.flood)
        return t;
    const double odometry_hz = stream_rate(settings, wire::type_odometry);
    return std::round(t * odometry_hz) / odometry_hz;
}

// The scanned points (in the room) as the SLAM engine has them: in its world frame.
static std::vector<scan_point> in_slam_world(std::vector<scan_point> points, const pose &world) {
    const pose from_room = world.inverse();
    for (scan_point &p : points)
        p.world = from_room.apply(p.world);
    return points;
}

// Caller holds the mutex. Flooding, a cloud is the ring's copy of the one made
// at its place.
void kestone::remember_cloud(const stream_settings &settings, const item_clock &clock) {
    constexpr size_t kept = 4096;
    const uint64_t place = clock.step % flood_ring;
    cloud_made_as[clock.number] =
        settings.flood
            ? cloud_origin{place, place / flood_hz, 0}
            : cloud_origin{clock.number, cloud_scanned_at(settings, clock.t), clock.session_start};
    while (cloud_made_as.size() > kept)
        cloud_made_as.erase(cloud_made_as.begin());
}

std::vector<std::array<double, 3>> kestone::cloud_world_points(uint64_t frame) const {
    stream_settings settings;
    cloud_origin made_as;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = cloud_made_as.find(frame);
        if (found == cloud_made_as.end())
            return {};
        settings = streams;
        made_as = found->second;
    }
    const pose world = slam_world(made_as.session_start, settings.motion);
    std::vector<std::array<double, 3>> out;
    for (const scan_point &p : in_slam_world(cloud_scan(settings, made_as.scan, made_as.t), world))
        out.push_back(p.world);
    return out;
}

pose kestone::slam_world_now() const {
    std::lock_guard<std::mutex> lock(mutex);
    return slam_world(streams.flood ? 0 : session_start_s, streams.motion);
}

// Caller holds the mutex. A full queue loses its oldest message, as a device FIFO does.
void kestone::queue_stream(uint8_t endpoint, byte_vector message) {
    std::deque<byte_vector> &queue = outgoing[endpoint];
    if (queue.size() >= std::max<size_t>(streams.queue_capacity, 1)) {
        stream_count.lost[wire::message_type(queue.front())]++;
        queue.pop_front();
        stream_count.dropped[endpoint]++;
    }
    stream_count.sent[wire::message_type(message)]++;
    queue.push_back(std::move(message));
}

void kestone::lose_queue(std::deque<byte_vector> &queue) {
    for (const byte_vector &message : queue)
        stream_count.lost[wire::message_type(message)]++;
    queue.clear();
}

// Caller holds the mutex. Device info always flows; every other stream only
// while not held and, when the device asks for it, once the host has activated
// its type.
bool kestone::flowing(uint16_t type) const {
    if (type == wire::type_info)
        return true;
    if (held)
        return false;
    if (!streams.activation_required)
        return true;
    return current.activated.count(wire::activation_code_of(type)) != 0;
}

// Caller holds the mutex: which messages are owed by now (or, flooding, what
// fits), counted as produced. They are built afterwards, outside the mutex.
std::vector<std::pair<uint16_t, uint64_t>> kestone::take_due(double elapsed) {
    std::vector<std::pair<uint16_t, uint64_t>> due;
    std::map<uint8_t, size_t> taken; // messages owed per endpoint in this pass, when flooding
    auto take = [&](uint16_t type, uint8_t endpoint) {
        const double hz = stream_rate(streams, type);
        uint64_t &done = produced[type];
        if (!flowing(type)) { // not owed later either: a stream starts when activated
            done = std::max<uint64_t>(done, hz > 0 ? static_cast<uint64_t>(elapsed * hz) + 1 : 0);
            return;
        }
        // wiwc, cloud, odometry: flooding, the clouds keep their tidy sets
        const size_t messages = type == wire::type_cloud ? 3 : 1;
        if (streams.flood) {
            // One more only while the whole item fits the queue: flooding never drops.
            if (outgoing[endpoint].size() + taken[endpoint] + messages <= streams.queue_capacity) {
                due.emplace_back(type, done++);
                taken[endpoint] += messages;
            }
            return;
        }
        for (uint64_t owed = hz > 0 ? static_cast<uint64_t>(elapsed * hz) + 1 : 0; done < owed;)
            due.emplace_back(type, done++);
    };
    if (!streams.playback.folder.empty()) { // the recording has the other streams
        take(wire::type_info, ep_dtof);
        return due;
    }
    take(wire::type_cloud, ep_dtof);
    if (streams.slam.odometry_per_cloud > 0 && !streams.flood)
        take(wire::type_odometry, streams.slam.spread_channels ? ep_imu : ep_dtof);
    take(wire::type_hf_odometry, ep_dtof);
    take(wire::type_imu, ep_imu);
    take(wire::type_dtof, ep_dtof);
    if (!streams.flood)
        take(wire::type_info, ep_dtof);
    return due;
}

// A cloud as the SLAM engine publishes it: registered to the odometry sample
// nearest it, stamped a little apart from that sample, with its wiwc before
// it, after it or not at all; built in the frame the host's wiwc gives.
static std::vector<std::pair<uint8_t, byte_vector>> engine_cloud(const stream_settings &settings,
                                                                 const item_clock &clock) {
    const slam_settings &slam = settings.slam;
    const double t_odometry = cloud_scanned_at(settings, clock.t);
    const int64_t stamp = stamp_at(settings, t_odometry, clock.session_start) +
                          std::llround(stamp_offset_s(slam, clock.number) * 1e9);
    const pose world = slam_world(clock.session_start, settings.motion);
    const odometry_sample pose = engine_odometry(t_odometry, world, settings.motion);
    const std::optional<wiwc_pair> held = host_wiwc(slam, clock.number);
    const wiwc_pair wiwc = held ? *held : engine_wiwc(slam, clock.number);
    std::vector<std::pair<uint8_t, byte_vector>> out;
    auto send_wiwc = [&] {
        out.emplace_back(
            kestone::ep_dtof,
            device_message(wire::type_wiwc, wiwc_payload(stamp, engine_wiwc(slam, clock.number))));
    };
    const wiwc_fate fate = wiwc_fate_of(slam, clock.number);
    if (fate == wiwc_fate::on_time)
        send_wiwc();
    out.emplace_back(
        kestone::ep_dtof,
        device_message(
            wire::type_cloud,
            cloud_payload(clock.number, stamp, pose,
                          in_slam_world(cloud_scan(settings, clock.number, t_odometry), world),
                          wiwc)));
    if (fate == wiwc_fate::late)
        send_wiwc();
    return out;
}

// The messages of one owed item, built without the mutex.
static std::vector<std::pair<uint8_t, byte_vector>> build_item(const stream_settings &settings,
                                                               camera_pictures &pictures,
                                                               uint16_t type,
                                                               const item_clock &clock) {
    const double t = clock.t;
    const int64_t ts = clock.stamp;
    const uint64_t n = clock.number;
    const pose world = slam_world(clock.session_start, settings.motion);
    std::vector<std::pair<uint8_t, byte_vector>> out;
    if (type == wire::type_cloud && settings.slam.odometry_per_cloud > 0 && !settings.flood) {
        return engine_cloud(settings, clock);
    } else if (type == wire::type_cloud) {
        odometry_sample pose = engine_odometry(t, world, settings.motion);
        const wiwc_pair wiwc = engine_wiwc(settings.slam, n);
        out.emplace_back(kestone::ep_dtof, device_message(wire::type_wiwc, wiwc_payload(ts, wiwc)));
        out.emplace_back(
            kestone::ep_dtof,
            device_message(wire::type_cloud,
                           cloud_payload(n, ts, pose,
                                         in_slam_world(cloud_scan(settings, n, t), world), wiwc)));
        out.emplace_back(kestone::ep_dtof,
                         device_message(wire::type_odometry, odometry_payload(ts, pose)));
    } else if (type == wire::type_odometry) {
        out.emplace_back(
            settings.slam.spread_channels ? kestone::ep_imu : kestone::ep_dtof,
            device_message(wire::type_odometry,
                           odometry_payload(ts, engine_odometry(t, world, settings.motion))));
    } else if (type == wire::type_hf_odometry) {
        out.emplace_back(
            kestone::ep_dtof,
            device_message(wire::type_hf_odometry,
                           odometry_payload(ts, engine_odometry(t, world, settings.motion))));
    } else if (type == wire::type_dtof) {
        out.emplace_back(kestone::ep_dtof,
                         device_message(wire::type_dtof, dtof_payload(settings, n, ts, t)));
    } else if (type == wire::type_image) {
        // Flooding, the camera shows a few places of the loop over and over.
        std::shared_ptr<const byte_vector> picture =
            settings.flood
                ? pictures.picture(settings.camera, settings.motion,
                                   flood_ring / trajectory_period(), n % flood_ring)
                : pictures.picture(settings.camera, settings.motion, settings.image_hz, clock.step);
        out.emplace_back(
            kestone::ep_rgb,
            device_message(wire::type_image, image_payload(settings.camera, n, ts, *picture)));
    } else if (type == wire::type_imu) {
        out.emplace_back(kestone::ep_imu,
                         device_message(wire::type_imu, imu_payload(n, ts, t, settings.motion)));
    } else {
        out.emplace_back(settings.slam.spread_channels ? kestone::ep_rx : kestone::ep_dtof,
                         device_message(wire::type_info, info_payload(settings, t)));
    }
    return out;
}

// Flooding, the device spends its time sending, not scanning: each type has a
// ring of items made once, sent again with fresh counters and time stamps (a
// cloud keeps the odometry and wiwc it was made with, so it still lands on the room).
std::vector<std::pair<uint8_t, byte_vector>>
kestone::flood_item(const stream_settings &settings, uint16_t type, const item_clock &clock) {
    const uint64_t place = clock.step % flood_ring;
    std::vector<std::pair<uint8_t, byte_vector>> &made = flood_made[type][place];
    if (made.empty())
        made = build_item(settings, pictures, type,
                          {place, place, place / flood_hz, device_time(place / flood_hz), 0});
    std::vector<std::pair<uint8_t, byte_vector>> out = made;
    for (auto &[endpoint, message] : out)
        restamp_message(message, clock.number, clock.stamp);
    return out;
}

// Caller holds the mutex. Item k of this session: numbered on from the items
// of earlier sessions, placed on its stream's time grid of the device clock
// (so that a picture's time is a place of the loop the camera keeps), and
// stamped with that time, or a jumped one while the fault is set.
item_clock kestone::clock_of(const stream_settings &settings, uint16_t type, uint64_t k) {
    const double hz = stream_rate(settings, type);
    item_clock out{};
    out.number = numbered_before[type] + k;
    out.step = grid_first[type] + k;
    out.t = hz > 0 ? out.step / hz : session_start_s;
    out.session_start = session_start_s;
    out.stamp = stamp_at(settings, out.t, session_start_s);
    return out;
}

int64_t stamp_at(const stream_settings &settings, double t, double session_start) {
    const bool jumped =
        settings.time_jump_s != 0 && t - session_start >= settings.time_jump_after_s;
    return device_time(t + (jumped ? settings.time_jump_s : 0));
}

double stream_rate(const stream_settings &settings, uint16_t type) {
    if (settings.flood)
        return flood_hz;
    switch (type) {
    case wire::type_cloud:
        return settings.cloud_hz;
    case wire::type_odometry:
        return settings.cloud_hz * settings.slam.odometry_per_cloud;
    case wire::type_hf_odometry:
        return settings.hf_odometry_hz;
    case wire::type_imu:
        return settings.imu_hz;
    case wire::type_dtof:
        return settings.dtof_hz;
    case wire::type_image:
        return settings.image_hz;
    case wire::type_info:
        return settings.info_hz;
    default:
        return 0;
    }
}

// Caller holds the mutex: the messages the bus may take now, with their tags.
std::vector<std::tuple<uint8_t, byte_vector, uint32_t>> kestone::take_for_bus() {
    std::vector<std::tuple<uint8_t, byte_vector, uint32_t>> out;
    for (auto &[endpoint, queue] : outgoing) {
        size_t backlog = bus_in_backlog(device, endpoint);
        // Whole messages only, and only while they fit (one may go into an empty bus).
        while (!queue.empty()) {
            size_t frames =
                frames_needed(queue.front().size(), transfer_size(endpoint), streams.frames);
            if (backlog > 0 && backlog + frames > bus_backlog_frames)
                break;
            backlog += frames;
            out.emplace_back(endpoint, std::move(queue.front()), next_tag++);
            queue.pop_front();
        }
    }
    return out;
}

// Caller holds the mutex: a new streaming session owes every stream from now on.
void kestone::begin_streaming() {
    stream_began = clock::now();
    ++stream_session;
    session_start_s = std::chrono::duration<double>(stream_began - powered_on).count();
    for (const auto &[type, count] : produced)
        numbered_before[type] += count;
    produced.clear();
    grid_first.clear();
    for (uint16_t type : {wire::type_cloud, wire::type_odometry, wire::type_hf_odometry,
                          wire::type_imu, wire::type_dtof, wire::type_image, wire::type_info})
        grid_first[type] =
            static_cast<uint64_t>(std::ceil(session_start_s * stream_rate(streams, type)));
    for (auto &[endpoint, queue] : outgoing)
        lose_queue(queue);
    player_restart = true;
    play_tick = stream_began;
    seek_to.reset(); // asked of the last session's playback
    step_by = 0;
    changed.notify_all();
}

void kestone::pause_playback(bool paused) {
    std::lock_guard<std::mutex> lock(mutex);
    played.paused = paused;
    changed.notify_all();
}

void kestone::seek_playback(double position_s) {
    std::lock_guard<std::mutex> lock(mutex);
    seek_to = position_s;
    step_by = 0;
    changed.notify_all();
}

void kestone::step_playback(int clouds) {
    std::lock_guard<std::mutex> lock(mutex);
    step_by += clouds;
    changed.notify_all();
}

void kestone::set_playback_speed(double speed) {
    std::lock_guard<std::mutex> lock(mutex);
    if (std::isfinite(speed))
        streams.playback.speed = std::clamp(speed, 0.01, 100.0);
}

void kestone::set_playback_loop(bool loop) {
    std::lock_guard<std::mutex> lock(mutex);
    streams.playback.loop = loop;
}

kestone::playback_state kestone::playback() const {
    std::lock_guard<std::mutex> lock(mutex);
    playback_state out = played;
    out.playing = !streams.playback.folder.empty();
    out.speed = streams.playback.speed;
    out.loop = streams.playback.loop;
    return out;
}

// The streamer's own, without the mutex: what the recording owes once its
// clock has moved on by advance_s, opened from its start when streaming
// started again, after the seek and steps asked for meanwhile.
std::vector<std::pair<uint8_t, byte_vector>> kestone::play_due(const stream_settings &settings,
                                                               double advance_s,
                                                               std::pair<size_t, size_t> room) {
    if (settings.playback.folder.empty())
        return {};
    bool restart = false;
    std::optional<double> seek;
    int step = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::swap(restart, player_restart);
        std::swap(seek, seek_to);
        std::swap(step, step_by);
    }
    if (restart || !player) {
        player = std::make_unique<recording_player>();
        std::string error;
        if (!player->open(settings.playback, error))
            log_print(ERROR, "[virtual KestOne] cannot play the recording: %s\n", error.c_str());
    }
    player->set_loop(settings.playback.loop);
    if (seek)
        player->seek(*seek);
    player->step(step);
    player->advance(advance_s * settings.playback.speed);
    auto due = player->take_due(room.first, room.second,
                                settings.playback.speed > max_speed_with_every_picture);
    std::lock_guard<std::mutex> lock(mutex);
    played.position_s = player->position_s();
    played.length_s = player->length_s();
    played.finished = player->finished();
    return due;
}

// The streamer feeds the bus again at once.
void kestone::in_taken() {
    std::lock_guard<std::mutex> lock(mutex);
    changed.notify_all();
}

// Caller holds the mutex; releases it while the bus takes the frames.
void kestone::feed_bus(std::unique_lock<std::mutex> &lock) {
    auto for_bus = take_for_bus();
    int id = device;
    const frame_style style = streams.frames;
    lock.unlock();
    std::vector<std::pair<uint16_t, bool>> fates;
    for (auto &[endpoint, message, tag] : for_bus)
        fates.emplace_back(wire::message_type(message),
                           queue_message(id, endpoint, message, tag, style));
    lock.lock();
    for (const auto &[type, whole] : fates)
        (whole ? stream_count.on_bus : stream_count.lost)[type]++;
}

void kestone::run_streams() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        if (!current.streaming) {
            changed.wait_for(lock, std::chrono::milliseconds(20));
            continue;
        }
        const uint64_t session = stream_session;
        std::vector<std::pair<uint16_t, uint64_t>> due =
            take_due(std::chrono::duration<double>(clock::now() - stream_began).count());
        stream_settings settings = streams;
        std::vector<item_clock> clocks;
        for (const auto &[type, k] : due) {
            clocks.push_back(clock_of(settings, type, k));
            if (type == wire::type_cloud)
                remember_cloud(settings, clocks.back());
        }
        if (flood_made_for != std::make_pair(session, settings_version))
            flood_made.clear();
        flood_made_for = {session, settings_version};
        // A recording is played without a drop: only what the queues still hold.
        const auto room_of = [&](uint8_t endpoint) {
            const size_t queued = outgoing[endpoint].size();
            return streams.queue_capacity > queued ? streams.queue_capacity - queued : 0;
        };
        const std::pair<size_t, size_t> room{room_of(ep_dtof), room_of(ep_rgb)};
        // The recording's clock stops while it is paused.
        const clock::time_point now = clock::now();
        const double advance_s =
            played.paused ? 0 : std::chrono::duration<double>(now - play_tick).count();
        play_tick = now;
        lock.unlock();
        std::vector<std::pair<uint8_t, byte_vector>> made = play_due(settings, advance_s, room);
        for (size_t i = 0; i < due.size(); ++i) {
            const uint16_t type = due[i].first;
            for (auto &message : settings.flood ? flood_item(settings, type, clocks[i])
                                                : build_item(settings, pictures, type, clocks[i]))
                made.push_back(std::move(message));
        }
        lock.lock();
        // Unplugged meanwhile: the device that made these is gone with them.
        if (session == stream_session && !stopping)
            for (auto &[endpoint, message] : made)
                queue_stream(endpoint, std::move(message));
        feed_bus(lock);
        // Wake for the next owed message or to feed the bus; never a sleep per message.
        changed.wait_for(lock, std::chrono::milliseconds(1));
    }
}

// The camera keeps its own pace, as the device's camera pipeline does: a picture
// that takes a while to make never holds up the other streams.
void kestone::run_camera() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        const stream_settings settings = streams;
        const double elapsed = std::chrono::duration<double>(clock::now() - stream_began).count();
        uint64_t &done = produced[wire::type_image];
        if (current.streaming && !flowing(wire::type_image))
            done = std::max<uint64_t>(done, static_cast<uint64_t>(elapsed * settings.image_hz) + 1);
        bool owed =
            current.streaming && flowing(wire::type_image) && settings.playback.folder.empty() &&
            (settings.flood ? outgoing[ep_rgb].size() < settings.queue_capacity
                            : settings.image_hz > 0 && done < elapsed * settings.image_hz + 1);
        if (!owed) {
            double next = settings.image_hz > 0 ? done / settings.image_hz - elapsed : 0.02;
            changed.wait_for(lock, std::chrono::duration<double>(std::clamp(next, 0.001, 0.02)));
            continue;
        }
        const uint64_t session = stream_session;
        const item_clock clock = clock_of(settings, wire::type_image, done++);
        lock.unlock();
        auto made = build_item(settings, pictures, wire::type_image, clock);
        lock.lock();
        if (session != stream_session || stopping)
            continue;
        for (auto &[endpoint, message] : made)
            queue_stream(endpoint, std::move(message));
        changed.notify_all();
    }
}

} // namespace kest_sim
