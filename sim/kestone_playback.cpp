// Playing a recording back (see the header).
#include "sim/kestone_playback.h"

#include "sim/kestone.h"
#include "sim/kestone_payloads.h"
#include "sim/kestone_scene.h"
#include "sim/kestone_slam.h"
#include "sim/kestone_wire.h"

#include "sdk/api/stream_layout.h"
#include "sdk/common/byte_order.h"

#include <algorithm>
#include <cmath>

namespace kest_sim {

namespace {

// The host adds this to a picture's time stamp before recording it.
constexpr int64_t recorded_image_offset_ns = StreamDecoding::RECORDED_IMAGE_TIME_OFFSET_NS;
constexpr int64_t loop_gap_ns = 100000000; // between the end of one pass and the next
constexpr double odometry_units = 1e6;     // micrometres, millionths
constexpr size_t messages_per_cloud = 3;   // an odometry of its own, wiwc, cloud

// How the host pairs clouds with odometry: its window and its queues.
const zev_sync::sync_config host_sync = slam_sync_config();

constexpr size_t pose_source = 0, cloud_source = 1, image_source = 2;
const RecordKind kinds[3] = {RecordKind::Pose, RecordKind::Cloud, RecordKind::Image};

std::string file_of(const RecordingFiles &files, size_t which) {
    return which == pose_source ? files.poses : which == cloud_source ? files.clouds : files.images;
}

// A recorded time kept within what a device clock can hold (a damaged
// record's time may be anything), so that no stamp arithmetic overflows.
constexpr double latest_time_s = 4e9; // the year 2096 on the epoch's clock
constexpr int64_t latest_offset_ns = int64_t{4} << 60;

double seconds_of(const RecordView &record) {
    return std::isfinite(record.seconds) ? std::clamp(record.seconds, 0.0, latest_time_s) : 0.0;
}

int64_t stamp_of(const RecordView &record) {
    return std::llround(seconds_of(record) * 1e9);
}

odometry_sample odometry_of(const RecordView &pose) {
    odometry_sample out{};
    const uint8_t *values = pose.bytes.data() + StreamDecoding::POSE_RECORD_VALUES_AT;
    for (size_t i = 0; i < 3; ++i)
        out.position_um[i] = std::llround(get_le_float(values + 4 * i) * odometry_units);
    for (size_t i = 0; i < 4; ++i)
        out.quaternion_e6[i] = std::llround(get_le_float(values + 12 + 4 * i) * odometry_units);
    return out;
}

std::vector<scan_point> world_points(const RecordView &cloud) {
    std::vector<scan_point> out(cloud.count);
    const uint8_t *p = cloud.bytes.data() + RecordLayout::headerBytes;
    for (scan_point &point : out) {
        point.world = {get_le_float(p), get_le_float(p + 4), get_le_float(p + 8)};
        point.rgb = {p[StreamDecoding::CLOUD_POINT_COLOUR_AT],
                     p[StreamDecoding::CLOUD_POINT_COLOUR_AT + 1],
                     p[StreamDecoding::CLOUD_POINT_COLOUR_AT + 2]};
        p += RecordLayout::pointBytes;
    }
    return out;
}

// Counts a file's records and notes its earliest and latest times; headers only.
uint64_t outline_file(const std::string &path, RecordKind kind, double &first, double &last,
                      RecordView *first_record) {
    RecordFileReader reader;
    std::string ignored;
    if (!reader.open(path, kind, ignored))
        return 0;
    RecordView record;
    uint64_t count = 0;
    while (reader.next(record, count == 0 && first_record != nullptr)) {
        // The earliest and the latest: a damaged file's times need not rise.
        const double seconds = seconds_of(record);
        first = count == 0 ? seconds : std::min(first, seconds);
        last = count == 0 ? seconds : std::max(last, seconds);
        if (count == 0 && first_record != nullptr)
            *first_record = record;
        ++count;
    }
    return count;
}

double rate_of(uint64_t count, double first, double last) {
    return count > 1 && last > first ? (count - 1) / (last - first) : 0;
}

} // namespace

bool outline_recording(const std::string &path, recording_outline &out, std::string &error) {
    out = recording_outline{};
    const RecordingFiles files = locateRecording(path);
    if (files.poses.empty()) {
        error = path + " is not a folder";
        return false;
    }
    double first[3] = {0, 0, 0}, last[3] = {0, 0, 0};
    RecordView picture;
    uint64_t counts[3];
    for (size_t which : {pose_source, cloud_source, image_source})
        counts[which] = outline_file(file_of(files, which), kinds[which], first[which], last[which],
                                     which == image_source ? &picture : nullptr);
    out.poses = counts[pose_source];
    out.clouds = counts[cloud_source];
    out.images = counts[image_source];
    if (out.poses + out.clouds + out.images == 0) {
        error = path + " is not a recording: it holds no recorded pose, cloud or picture";
        return false;
    }
    bool any = false;
    for (size_t which : {pose_source, cloud_source, image_source}) {
        if (counts[which] == 0)
            continue;
        out.first_s = any ? std::min(out.first_s, first[which]) : first[which];
        out.last_s = any ? std::max(out.last_s, last[which]) : last[which];
        any = true;
    }
    out.pose_hz = rate_of(out.poses, first[pose_source], last[pose_source]);
    out.cloud_hz = rate_of(out.clouds, first[cloud_source], last[cloud_source]);
    out.image_hz = rate_of(out.images, first[image_source], last[image_source]);
    if (out.images > 0) {
        const auto size = jpegSize(picture.bytes.data() + RecordLayout::headerBytes, picture.count);
        if (size) {
            out.image_width = static_cast<uint32_t>(size->first);
            out.image_height = static_cast<uint32_t>(size->second);
        }
    }
    return true;
}

bool recording_player::open(const playback_settings &chosen, std::string &error) {
    settings = chosen;
    recording_outline outline;
    if (settings.outline)
        outline = *settings.outline;
    else if (!outline_recording(settings.folder, outline, error))
        return false;
    const RecordingFiles files = locateRecording(settings.folder);
    for (size_t which : {pose_source, cloud_source, image_source}) {
        std::string ignored; // a missing file is a stream the recording lacks
        readers[which].open(file_of(files, which), kinds[which], ignored);
    }
    first_stamp = std::llround(outline.first_s * 1e9) - recorded_image_offset_ns;
    pass_length = std::llround((outline.last_s - outline.first_s) * 1e9) +
                  recorded_image_offset_ns + loop_gap_ns;
    length = outline.last_s - outline.first_s;
    return true;
}

// Reads the next record of a source; false at its end.
bool recording_player::fill(source which) {
    if (which == source::pose) {
        RecordView pose;
        if (!readers[pose_source].next(pose))
            return false;
        upcoming.push_back({stamp_of(pose) + pass_offset, odometry_of(pose), false});
        return true;
    }
    const size_t at = which == source::cloud ? cloud_source : image_source;
    if (!has_next[at])
        has_next[at] = readers[at].next(next[at]);
    return has_next[at];
}

// The source whose next item comes first, and that item's time stamp.
bool recording_player::next_due(source &which, int64_t &stamp) {
    bool any = false;
    auto consider = [&](source candidate, int64_t candidate_stamp) {
        if (!any || candidate_stamp < stamp) {
            which = candidate;
            stamp = candidate_stamp;
            any = true;
        }
    };
    if (!upcoming.empty() || fill(source::pose))
        consider(source::pose, upcoming.front().stamp);
    if (fill(source::cloud))
        consider(source::cloud, stamp_of(next[cloud_source]) + pass_offset);
    if (fill(source::image))
        consider(source::image,
                 stamp_of(next[image_source]) + pass_offset - recorded_image_offset_ns);
    return any;
}

bool recording_player::restart_pass() {
    if (!settings.loop || numbers[0] + numbers[1] + numbers[2] == 0)
        return false;
    if (pass_offset > latest_offset_ns - pass_length) // stamps would overflow: the end
        return false;
    for (RecordFileReader &reader : readers)
        if (reader.fileSize() > 0 && !reader.rewind())
            return false;
    ++pass;
    pass_offset += pass_length;
    return true;
}

std::vector<std::pair<uint8_t, byte_vector>> recording_player::take_due(double recorded_s,
                                                                        size_t room) {
    std::vector<std::pair<uint8_t, byte_vector>> out;
    const int64_t now =
        first_stamp + static_cast<int64_t>(std::clamp(recorded_s, 0.0, latest_time_s) * 1e9);
    position = std::clamp((now - first_stamp - pass_offset) / 1e9, 0.0, length);
    size_t sent_dtof = 0, sent_rgb = 0;
    while (!done) {
        source which;
        int64_t stamp = 0;
        if (!next_due(which, stamp)) {
            done = !restart_pass();
            continue;
        }
        if (stamp > now)
            break;
        if (which == source::image) {
            if (sent_rgb + 1 > room)
                break;
            ++sent_rgb;
            emit_image(out);
        } else {
            const size_t needed = which == source::cloud ? messages_per_cloud : 1;
            if (sent_dtof + needed > room)
                break;
            sent_dtof += needed;
            which == source::cloud ? emit_cloud(out) : emit_pose(out);
        }
    }
    return out;
}

void recording_player::emit_pose(std::vector<std::pair<uint8_t, byte_vector>> &out) {
    const pending_pose pose = upcoming.front();
    upcoming.pop_front();
    out.emplace_back(kestone::ep_dtof, device_message(wire::type_odometry,
                                                      odometry_payload(pose.stamp, pose.odometry)));
    last_odometry = pose.odometry;
    ++numbers[pose_source];
    if (pose.claimed)
        return;
    host_holds.push_back(pose);
    if (host_holds.size() > host_sync.queue_capacity) // the host lets its oldest go
        host_holds.pop_front();
}

// The odometry the host will pair a cloud stamped stamp with: the first it
// holds within the window (older ones it lets go), else the first recorded
// pose still to come within it; else one sent now with the cloud's stamp.
odometry_sample recording_player::pair_cloud(int64_t stamp,
                                             std::vector<std::pair<uint8_t, byte_vector>> &out) {
    while (!host_holds.empty() && host_holds.front().stamp + host_sync.match_tolerance_ns < stamp)
        host_holds.pop_front();
    if (!host_holds.empty()) {
        const odometry_sample paired = host_holds.front().odometry;
        host_holds.pop_front();
        return paired;
    }
    for (size_t i = 0;; ++i) {
        if (i == upcoming.size() && !fill(source::pose))
            break;
        if (upcoming[i].stamp > stamp + host_sync.match_tolerance_ns)
            break;
        if (!upcoming[i].claimed) {
            upcoming[i].claimed = true;
            return upcoming[i].odometry;
        }
    }
    out.emplace_back(kestone::ep_dtof,
                     device_message(wire::type_odometry, odometry_payload(stamp, last_odometry)));
    return last_odometry;
}

void recording_player::emit_cloud(std::vector<std::pair<uint8_t, byte_vector>> &out) {
    const RecordView &cloud = next[cloud_source];
    const int64_t stamp = stamp_of(cloud) + pass_offset;
    const odometry_sample odometry = pair_cloud(stamp, out);
    const wiwc_pair wiwc{wiwc_a(), wiwc_b()};
    out.emplace_back(kestone::ep_dtof, device_message(wire::type_wiwc, wiwc_payload(stamp, wiwc)));
    out.emplace_back(
        kestone::ep_dtof,
        device_message(wire::type_cloud, cloud_payload(numbers[cloud_source], stamp, odometry,
                                                       world_points(cloud), wiwc)));
    ++numbers[cloud_source];
    has_next[cloud_source] = false;
}

void recording_player::emit_image(std::vector<std::pair<uint8_t, byte_vector>> &out) {
    const RecordView &image = next[image_source];
    const uint8_t *jpeg = image.bytes.data() + RecordLayout::headerBytes;
    camera_settings camera;
    if (const auto size = jpegSize(jpeg, image.count)) {
        camera.width = static_cast<uint32_t>(size->first);
        camera.height = static_cast<uint32_t>(size->second);
    }
    const int64_t stamp = stamp_of(image) + pass_offset - recorded_image_offset_ns;
    out.emplace_back(
        kestone::ep_rgb,
        device_message(wire::type_image, image_payload(camera, numbers[image_source], stamp,
                                                       byte_vector(jpeg, jpeg + image.count))));
    ++numbers[image_source];
    has_next[image_source] = false;
}

} // namespace kest_sim
