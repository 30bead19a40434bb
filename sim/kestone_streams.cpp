// The virtual KestOne's streams: a synthetic room scanned along a smooth path,
// sent as SLAM clouds with odometry and wiwc, high-frequency odometry, IMU
// samples, camera pictures, depth frames and device info, paced by what is
// owed since streaming began.
#include "sim/kestone.h"
#include "sim/kestone_scene.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kest_sim {

namespace {

using clock = std::chrono::steady_clock;

constexpr uint16_t type_cloud = 0, type_odometry = 1, type_imu = 2, type_image = 3, type_dtof = 6,
                   type_info = 11, type_hf_odometry = 18, type_wiwc = 21;
// The two DTOF payload forms: entry 0 of s bytes, the points, entry 2 of s bytes
// (and, in the four-entry form, entry 3 of s bytes 49152 bytes further on).
constexpr size_t dtof_three_len = 1081380, dtof_three_points = 786432, dtof_three_s = 147456;
constexpr size_t dtof_four_len = 934948, dtof_four_points = 589824, dtof_four_s = 147968;
constexpr size_t dtof_max_points = 49152;
constexpr double dtof_hfov = 1.6, dtof_vfov = 1.2; // radians
constexpr int64_t epoch_ns = 1700000000000000000;
constexpr size_t record_bytes = 688;
constexpr size_t point_bytes = 28;
constexpr size_t room_points = 200000;
constexpr size_t bus_backlog_frames = 4; // frames handed to the bus ahead of the host
constexpr double gravity = 9.81;
constexpr double flood_hz = 1000;   // the pace that time stamps follow when flooding
constexpr uint64_t flood_ring = 16; // items made once per type and sent over and over

const std::vector<scene_point> &room() {
    static const std::vector<scene_point> points = make_room(room_points, 7);
    return points;
}

void put_le(byte_vector &out, size_t at, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i)
        out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void put_be(byte_vector &out, size_t at, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i)
        out[at + i] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
}

void put_matrix(byte_vector &out, size_t at, const pose &p) {
    double m[12] = {p.r[0], p.r[1], p.r[2], p.t[0], p.r[3], p.r[4],
                    p.r[5], p.t[1], p.r[6], p.r[7], p.r[8], p.t[2]};
    memcpy(out.data() + at, m, sizeof m);
}

int64_t stamp(double seconds) {
    return epoch_ns + std::llround(seconds * 1e9);
}

byte_vector odometry_record(int64_t timestamp, const odometry_sample &sample) {
    byte_vector out(record_bytes, 0);
    put_le(out, 0, static_cast<uint64_t>(timestamp), 8);
    for (int i = 0; i < 3; ++i)
        put_le(out, 8 + 8 * i, static_cast<uint64_t>(sample.position_um[i]), 8);
    for (int i = 0; i < 4; ++i)
        put_le(out, 32 + 8 * i, static_cast<uint64_t>(sample.quaternion_e6[i]), 8);
    return out;
}

byte_vector wiwc_record(int64_t timestamp) {
    byte_vector out(record_bytes, 0);
    put_le(out, 0, static_cast<uint64_t>(timestamp), 8);
    put_matrix(out, 112, wiwc_a());
    put_matrix(out, 400, wiwc_b());
    return out;
}

// The points of cloud frame k: a window sliding over the room's points, so a
// few seconds of clouds cover the whole room.
size_t first_point(uint64_t frame, size_t count) {
    return (frame * count) % room().size();
}

// Sensor-frame points such that the host's T = O * B * inverse(A) puts them back
// where they are in the room.
byte_vector cloud_payload(uint64_t frame, int64_t timestamp, const odometry_sample &odometry,
                          size_t count) {
    pose to_sensor = wiwc_a().after(wiwc_b().inverse()).after(odometry_pose(odometry).inverse());
    byte_vector out(36 + count * point_bytes, 0);
    put_be(out, 0, count * point_bytes, 4);
    put_be(out, 4, frame, 8);
    put_be(out, 12, static_cast<uint64_t>(timestamp), 8);
    put_be(out, 20, static_cast<uint64_t>(timestamp), 8);
    put_be(out, 28, count, 4);
    put_be(out, 32, 1, 4);
    const std::vector<scene_point> &points = room();
    size_t start = first_point(frame, count);
    for (size_t j = 0; j < count; ++j) {
        const scene_point &p = points[(start + j) % points.size()];
        std::array<double, 3> s = to_sensor.apply({p.x, p.y, p.z});
        int32_t words[7] = {static_cast<int32_t>(std::lround(s[0] * 10000)),
                            static_cast<int32_t>(std::lround(s[1] * 10000)),
                            static_cast<int32_t>(std::lround(s[2] * 10000)),
                            p.r,
                            p.g,
                            p.b,
                            0};
        memcpy(out.data() + 36 + j * point_bytes, words, sizeof words);
    }
    return out;
}

// Accelerometer (gravity and the turn's centripetal pull) and gyroscope in the
// sensor frame, scaled by 1e8, big-endian.
byte_vector imu_payload(uint64_t index, int64_t timestamp, double t) {
    odometry_sample now = sensor_odometry(t);
    pose world_to_sensor = odometry_pose(now).inverse();
    double speed = std::hypot(now.velocity[0], now.velocity[1]);
    // Centripetal acceleration points to the left of travel: v * yaw rate.
    std::array<double, 3> left = {-now.velocity[1] / speed, now.velocity[0] / speed, 0};
    std::array<double, 3> accel_world = {left[0] * speed * now.yaw_rate,
                                         left[1] * speed * now.yaw_rate, gravity};
    std::array<double, 3> accel = {0, 0, 0};
    for (int row = 0; row < 3; ++row)
        accel[row] = world_to_sensor.r[row * 3] * accel_world[0] +
                     world_to_sensor.r[row * 3 + 1] * accel_world[1] +
                     world_to_sensor.r[row * 3 + 2] * accel_world[2];
    double values[6] = {accel[0], accel[1], accel[2], 0, 0, now.yaw_rate};
    byte_vector out(64, 0);
    for (int i = 0; i < 6; ++i)
        put_be(out, 8 * i, static_cast<uint64_t>(std::llround(values[i] * 1e8)), 8);
    put_be(out, 48, static_cast<uint64_t>(timestamp), 8);
    put_be(out, 56, index, 8);
    return out;
}

// A depth frame of the room as the sensor sees it at time t: points in
// millimetres in the device's axes (x right, y up, z forward), row by row.
byte_vector dtof_payload(const stream_settings &settings, uint64_t frame, int64_t timestamp,
                         double t) {
    bool four = settings.dtof_four_entries;
    size_t len = four ? dtof_four_len : dtof_three_len, s = four ? dtof_four_s : dtof_three_s;
    size_t point_area = four ? dtof_four_points : dtof_three_points, point_bytes = four ? 12 : 16;
    size_t cols = settings.dtof_cols, rows = settings.dtof_rows;
    if (cols * rows > dtof_max_points || cols < 2 || rows < 2)
        cols = 160, rows = 120;
    byte_vector out(len, 0);
    put_be(out, 0, s, 4);
    put_be(out, 4, frame, 8);
    put_be(out, 12, static_cast<uint64_t>(timestamp), 8);
    put_be(out, 20, static_cast<uint64_t>(timestamp), 8);
    put_be(out, 28, cols, 4);
    put_be(out, 32, rows, 4);
    const size_t points_at = 36 + s, intensity_at = points_at + point_area;
    pose sensor = odometry_pose(sensor_odometry(t));
    for (size_t row = 0; row < rows; ++row) {
        for (size_t col = 0; col < cols; ++col) {
            double h = (0.5 - static_cast<double>(col) / (cols - 1)) * dtof_hfov;
            double v = (0.5 - static_cast<double>(row) / (rows - 1)) * dtof_vfov;
            std::array<double, 3> ray = {std::cos(v) * std::cos(h), std::cos(v) * std::sin(h),
                                         std::sin(v)};
            std::array<double, 3> world = {
                sensor.r[0] * ray[0] + sensor.r[1] * ray[1] + sensor.r[2] * ray[2],
                sensor.r[3] * ray[0] + sensor.r[4] * ray[1] + sensor.r[5] * ray[2],
                sensor.r[6] * ray[0] + sensor.r[7] * ray[1] + sensor.r[8] * ray[2]};
            uint8_t rgb[3] = {0, 0, 0};
            double d = cast_ray(sensor.t, world, rgb);
            // Device axes: x to the right (-left), y up, z forward; millimetres.
            float point[4] = {static_cast<float>(-d * ray[1] * 1000),
                              static_cast<float>(d * ray[2] * 1000),
                              static_cast<float>(d * ray[0] * 1000), 0.0f};
            size_t i = row * cols + col;
            memcpy(out.data() + points_at + i * point_bytes, point, point_bytes);
            double brightness = (rgb[0] + rgb[1] + rgb[2]) / (3.0 * 255.0) / (1.0 + 0.2 * d);
            if (four)
                out[intensity_at + i] = static_cast<uint8_t>(std::lround(brightness * 255));
            else
                put_le(out, intensity_at + 2 * i,
                       static_cast<uint64_t>(std::lround(10 + brightness * 12490)), 2);
        }
    }
    return out;
}

// A buffer header (size, picture number, time twice, width, height) and the picture.
byte_vector image_payload(const camera_settings &camera, uint64_t k, int64_t timestamp,
                          const byte_vector &picture) {
    const camera_settings real = camera_sanitised(camera);
    byte_vector out(36 + picture.size(), 0);
    put_be(out, 0, picture.size(), 4);
    put_be(out, 4, k, 8);
    put_be(out, 12, static_cast<uint64_t>(timestamp), 8);
    put_be(out, 20, static_cast<uint64_t>(timestamp), 8);
    put_be(out, 28, real.width, 4);
    put_be(out, 32, real.height, 4);
    memcpy(out.data() + 36, picture.data(), picture.size());
    return out;
}

// The 104-byte status message: fields at their record offsets, which from
// offset 8 on sit 4 bytes further into the payload (bytes 8..11 are not part of
// the record). Temperatures and loads drift slowly; rates are the configured ones.
byte_vector info_payload(const stream_settings &settings, double t) {
    byte_vector out(104, 0);
    auto field = [&](size_t record_offset, int64_t value, size_t bytes = 4) {
        put_le(out, record_offset < 8 ? record_offset : record_offset + 4,
               static_cast<uint64_t>(value), bytes);
    };
    auto millihertz = [](double hz) { return std::llround(hz * 1000); };
    const double drift = std::sin(t / 30);
    const int temps[5] = {52, 48, 45, 44, 41}; // package, cpu, centre, gpu, npu; degrees C
    for (int i = 0; i < 5; ++i)
        field(4 * i, temps[i] + std::lround(3 * drift));
    for (int core = 0; core < 8; ++core)
        field(20 + 4 * core, 20 + 5 * core + std::lround(10 * std::sin(t / 7 + core)));
    field(52, 37 + std::lround(2 * drift)); // ram use, percent
    for (size_t at : {56, 60})
        field(at, millihertz(settings.image_hz));
    for (size_t at : {64, 68})
        field(at, millihertz(settings.dtof_hz));
    field(72, millihertz(settings.dtof_hz * 4)); // four sub-frames per depth frame
    field(76, 41, 2);                            // transmitter, degrees C
    field(78, 39, 2);                            // receiver, degrees C
    for (size_t at : {80, 84})
        field(at, millihertz(settings.imu_hz));
    field(88, millihertz(settings.cloud_hz));
    field(92, millihertz(settings.cloud_hz));
    field(96, millihertz(settings.hf_odometry_hz));
    return out;
}

} // namespace

stream_settings stream_preset(const std::string &name) {
    stream_settings settings;
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
    } else if (name == "flood") {
        settings = stream_preset("full");
        settings.flood = true;
    }
    return settings;
}

void kestone::set_streams(const stream_settings &settings) {
    std::lock_guard<std::mutex> lock(mutex);
    streams = settings;
    ++settings_version;
}

stream_counters kestone::counters() const {
    std::lock_guard<std::mutex> lock(mutex);
    stream_counters out = stream_count;
    for (const auto &[endpoint, queue] : outgoing)
        out.queued[endpoint] = queue.size();
    return out;
}

std::vector<std::array<double, 3>> kestone::cloud_world_points(uint64_t frame) const {
    size_t count;
    {
        std::lock_guard<std::mutex> lock(mutex);
        count = streams.cloud_points;
    }
    const std::vector<scene_point> &points = room();
    std::vector<std::array<double, 3>> out;
    size_t start = first_point(frame, count);
    for (size_t j = 0; j < count; ++j) {
        const scene_point &p = points[(start + j) % points.size()];
        out.push_back({p.x, p.y, p.z});
    }
    return out;
}

// Caller holds the mutex. A full queue loses its oldest message, as a device FIFO does.
void kestone::queue_stream(uint8_t endpoint, byte_vector message) {
    std::deque<byte_vector> &queue = outgoing[endpoint];
    if (queue.size() >= std::max<size_t>(streams.queue_capacity, 1)) {
        queue.pop_front();
        stream_count.dropped[endpoint]++;
    }
    stream_count.sent[static_cast<uint16_t>(message[0] << 8 | message[1])]++;
    queue.push_back(std::move(message));
}

// Caller holds the mutex: which messages are owed by now (or, flooding, what
// fits), counted as produced. They are built afterwards, outside the mutex.
std::vector<std::pair<uint16_t, uint64_t>> kestone::take_due(double elapsed) {
    std::vector<std::pair<uint16_t, uint64_t>> due;
    std::map<uint8_t, size_t> taken; // messages owed per endpoint in this pass, when flooding
    auto take = [&](uint16_t type, double hz, uint8_t endpoint) {
        uint64_t &done = produced[type];
        const size_t messages = type == type_cloud ? 3 : 1; // wiwc, cloud, odometry
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
    take(type_cloud, streams.cloud_hz, ep_dtof);
    take(type_hf_odometry, streams.hf_odometry_hz, ep_dtof);
    take(type_imu, streams.imu_hz, ep_imu);
    take(type_dtof, streams.dtof_hz, ep_dtof);
    if (!streams.flood)
        take(type_info, streams.info_hz, ep_dtof);
    return due;
}

// The messages of one owed item, built without the mutex.
static std::vector<std::pair<uint8_t, byte_vector>>
build_item(const stream_settings &settings, camera_pictures &pictures, uint16_t type, uint64_t k) {
    auto seconds = [&](double hz) { return k / (settings.flood || hz <= 0 ? flood_hz : hz); };
    std::vector<std::pair<uint8_t, byte_vector>> out;
    if (type == type_cloud) {
        double t = seconds(settings.cloud_hz);
        int64_t ts = stamp(t);
        odometry_sample pose = sensor_odometry(t);
        out.emplace_back(kestone::ep_dtof, device_message(type_wiwc, wiwc_record(ts)));
        out.emplace_back(
            kestone::ep_dtof,
            device_message(type_cloud, cloud_payload(k, ts, pose, settings.cloud_points)));
        out.emplace_back(kestone::ep_dtof,
                         device_message(type_odometry, odometry_record(ts, pose)));
    } else if (type == type_hf_odometry) {
        double t = seconds(settings.hf_odometry_hz);
        out.emplace_back(
            kestone::ep_dtof,
            device_message(type_hf_odometry, odometry_record(stamp(t), sensor_odometry(t))));
    } else if (type == type_dtof) {
        double t = seconds(settings.dtof_hz);
        out.emplace_back(kestone::ep_dtof,
                         device_message(type_dtof, dtof_payload(settings, k, stamp(t), t)));
    } else if (type == type_image) {
        // Flooding, the camera shows a few places of the loop over and over.
        std::shared_ptr<const byte_vector> picture =
            settings.flood ? pictures.picture(settings.camera, flood_ring / trajectory_period(),
                                              k % flood_ring)
                           : pictures.picture(settings.camera, settings.image_hz, k);
        out.emplace_back(
            kestone::ep_rgb,
            device_message(type_image, image_payload(settings.camera, k,
                                                     stamp(seconds(settings.image_hz)), *picture)));
    } else if (type == type_imu) {
        double t = seconds(settings.imu_hz);
        out.emplace_back(kestone::ep_imu, device_message(type_imu, imu_payload(k, stamp(t), t)));
    } else {
        out.emplace_back(
            kestone::ep_dtof,
            device_message(type_info, info_payload(settings, seconds(settings.info_hz))));
    }
    return out;
}

// Gives a message built earlier the counter and time stamp of item k.
static void restamp(byte_vector &message, uint64_t k, int64_t timestamp) {
    const size_t payload = 23;
    const uint16_t type = static_cast<uint16_t>(message[0] << 8 | message[1]);
    const auto ts = static_cast<uint64_t>(timestamp);
    if (type == type_cloud || type == type_dtof || type == type_image) {
        put_be(message, payload + 4, k, 8);
        put_be(message, payload + 12, ts, 8);
        put_be(message, payload + 20, ts, 8);
    } else if (type == type_odometry || type == type_hf_odometry || type == type_wiwc) {
        put_le(message, payload, ts, 8);
    } else if (type == type_imu) {
        put_be(message, payload + 48, ts, 8);
        put_be(message, payload + 56, k, 8);
    }
}

// Flooding, the device spends its time sending, not scanning: each type has a
// ring of items made once, sent again with fresh counters and time stamps (a
// cloud keeps the odometry and wiwc it was made with, so it still lands on the room).
std::vector<std::pair<uint8_t, byte_vector>> kestone::flood_item(const stream_settings &settings,
                                                                 uint16_t type, uint64_t k) {
    std::vector<std::pair<uint8_t, byte_vector>> &made = flood_made[type][k % flood_ring];
    if (made.empty())
        made = build_item(settings, pictures, type, k % flood_ring);
    std::vector<std::pair<uint8_t, byte_vector>> out = made;
    for (auto &[endpoint, message] : out)
        restamp(message, k, stamp(k / flood_hz));
    return out;
}

// Caller holds the mutex: the messages the bus may take now, with their tags.
std::vector<std::tuple<uint8_t, byte_vector, uint32_t>> kestone::take_for_bus() {
    std::vector<std::tuple<uint8_t, byte_vector, uint32_t>> out;
    for (auto &[endpoint, queue] : outgoing) {
        size_t cap = (endpoint == ep_imu ? imu_transfer : bulk_transfer) - 26;
        size_t backlog = bus_in_backlog(device, endpoint);
        // Whole messages only, and only while they fit (one may go into an empty bus).
        while (!queue.empty()) {
            size_t frames = (queue.front().size() + cap - 1) / cap;
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
    produced.clear();
    for (auto &[endpoint, queue] : outgoing)
        queue.clear();
    changed.notify_all();
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
    lock.unlock();
    for (auto &[endpoint, message, tag] : for_bus)
        for (byte_vector &frame :
             device_frames(message, endpoint == ep_imu ? imu_transfer : bulk_transfer, tag))
            bus_queue_in(id, endpoint, std::move(frame));
    lock.lock();
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
        if (flood_made_for != std::make_pair(session, settings_version))
            flood_made.clear();
        flood_made_for = {session, settings_version};
        lock.unlock();
        std::vector<std::pair<uint8_t, byte_vector>> made;
        for (const auto &[type, k] : due)
            for (auto &message : settings.flood ? flood_item(settings, type, k)
                                                : build_item(settings, pictures, type, k))
                made.push_back(std::move(message));
        lock.lock();
        if (session == stream_session)
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
        uint64_t &done = produced[type_image];
        bool owed =
            current.streaming &&
            (settings.flood ? outgoing[ep_rgb].size() < settings.queue_capacity
                            : settings.image_hz > 0 && done < elapsed * settings.image_hz + 1);
        if (!owed) {
            double next = settings.image_hz > 0 ? done / settings.image_hz - elapsed : 0.02;
            changed.wait_for(lock, std::chrono::duration<double>(std::clamp(next, 0.001, 0.02)));
            continue;
        }
        const uint64_t session = stream_session, k = done++;
        lock.unlock();
        auto made = build_item(settings, pictures, type_image, k);
        lock.lock();
        if (session != stream_session)
            continue;
        for (auto &[endpoint, message] : made)
            queue_stream(endpoint, std::move(message));
        changed.notify_all();
    }
}

} // namespace kest_sim
