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

// Records per second of playing time between a file's first and last record.
double rate_of(const std::vector<TimelineRecord> &records) {
    if (records.size() < 2)
        return 0;
    const double span = records.back().play - records.front().play;
    return span > 0 ? (records.size() - 1) / span : 0;
}

} // namespace

bool outline_recording(const std::string &path, recording_outline &out, std::string &error) {
    out = recording_outline{};
    auto timeline = std::make_shared<RecordingTimeline>();
    if (!readTimeline(path, *timeline, error))
        return false;
    const auto &records = timeline->records;
    out.poses = records[pose_source].size();
    out.clouds = records[cloud_source].size();
    out.images = records[image_source].size();
    out.pose_hz = rate_of(records[pose_source]);
    out.cloud_hz = rate_of(records[cloud_source]);
    out.image_hz = rate_of(records[image_source]);
    RecordFileReader reader;
    RecordView picture;
    std::string ignored;
    if (out.images > 0 && reader.open(timeline->files.images, RecordKind::Image, ignored) &&
        reader.next(picture)) {
        if (const auto size =
                jpegSize(picture.bytes.data() + RecordLayout::headerBytes, picture.count)) {
            out.image_width = static_cast<uint32_t>(size->first);
            out.image_height = static_cast<uint32_t>(size->second);
        }
    }
    out.timeline = std::move(timeline);
    return true;
}

bool recording_player::open(const playback_settings &chosen, std::string &error) {
    settings = chosen;
    recording_outline outline;
    if (settings.outline && settings.outline->timeline)
        outline = *settings.outline;
    else if (!outline_recording(settings.folder, outline, error))
        return false;
    timeline = outline.timeline;
    for (size_t which : {pose_source, cloud_source, image_source}) {
        std::string ignored; // a missing file is a stream the recording lacks
        readers[which].open(file_of(timeline->files, which), kinds[which], ignored);
    }
    pass_length = std::llround((timeline->lastSeconds - timeline->firstSeconds) * 1e9) +
                  recorded_image_offset_ns + loop_gap_ns;
    return true;
}

double recording_player::position_s() const {
    return std::clamp(clock, 0.0, length_s());
}

int64_t recording_player::stamp_of(const RecordView &record, size_t which) const {
    const int64_t offset = which == image_source ? recorded_image_offset_ns : 0;
    return std::llround(seconds_of(record) * 1e9) - offset + pass_offset;
}

void recording_player::advance(double recorded_s) {
    if (std::isfinite(recorded_s) && recorded_s > 0)
        clock = std::min(clock + recorded_s, latest_time_s);
}

// Reads the next record of a source; false at its end.
bool recording_player::fill(source which) {
    const size_t at = which == source::pose    ? pose_source
                      : which == source::cloud ? cloud_source
                                               : image_source;
    if (which != source::pose && has_next[at])
        return true;
    if (!timeline || cursor[at] >= timeline->records[at].size() || !readers[at].next(next[at]))
        return false;
    const double play = timeline->records[at][cursor[at]++].play;
    if (which == source::pose)
        upcoming.push_back({stamp_of(next[at], at), play, odometry_of(next[at]), false});
    else
        has_next[at] = true;
    return true;
}

// The source whose next item comes first in playing time, and that time.
bool recording_player::next_due(source &which, double &play) {
    bool any = false;
    auto consider = [&](source candidate, double candidate_play) {
        if (!any || candidate_play < play) {
            which = candidate;
            play = candidate_play;
            any = true;
        }
    };
    if (!upcoming.empty() || fill(source::pose))
        consider(source::pose, upcoming.front().play);
    if (fill(source::cloud))
        consider(source::cloud, timeline->records[cloud_source][cursor[cloud_source] - 1].play);
    if (fill(source::image))
        consider(source::image, timeline->records[image_source][cursor[image_source] - 1].play);
    return any;
}

// Every reader to the record at its index; the host's pairing starts afresh.
void recording_player::reposition(const size_t (&at)[3]) {
    for (size_t which : {pose_source, cloud_source, image_source}) {
        const auto &records = timeline->records[which];
        cursor[which] = std::min(at[which], records.size());
        has_next[which] = false;
        if (cursor[which] < records.size())
            readers[which].seek(records[cursor[which]].offset);
    }
    upcoming.clear();
    host_holds.clear();
    done = false;
}

bool recording_player::restart_pass() {
    const uint64_t sent = numbers[0] + numbers[1] + numbers[2];
    if (!settings.loop || sent == sent_before_pass) // a pass that sent nothing ends it
        return false;
    if (pass_length <= 0 || pass_offset > latest_offset_ns - pass_length) // stamps would overflow
        return false;
    sent_before_pass = sent;
    reposition({0, 0, 0});
    clock -= length_s() + loop_gap_ns * 1e-9;
    pass_offset += pass_length;
    return true;
}

// Plays on from at, the clouds from the one at index cloud: the picture on
// show then, and the poses a cloud there pairs with (going forward, none
// sent already).
void recording_player::play_from(double at, size_t cloud) {
    const bool forward = at >= clock;
    clock = at;
    size_t picture = timeline->firstAtOrAfter(timelineImages, at);
    if (picture > 0 && (picture == timeline->records[image_source].size() ||
                        timeline->records[image_source][picture].play > at))
        --picture;
    size_t poses =
        timeline->firstAtOrAfter(timelinePoses, at - host_sync.match_tolerance_ns * 1e-9);
    if (forward)
        poses = std::max(poses, cursor[pose_source] - upcoming.size());
    reposition({poses, cloud, picture});
    back_from = cloud; // a step back goes to the cloud before
    stepped_back_to.reset();
}

void recording_player::seek(double position_s) {
    if (!timeline || !std::isfinite(position_s))
        return;
    const double at = std::clamp(position_s, 0.0, length_s());
    play_from(at, timeline->firstAtOrAfter(timelineClouds, at));
}

void recording_player::step(int clouds) {
    if (!timeline || clouds == 0)
        return;
    const auto &records = timeline->records[cloud_source];
    const size_t upcoming_cloud = cursor[cloud_source] - (has_next[cloud_source] ? 1 : 0);
    if (clouds > 0) {
        const size_t target = upcoming_cloud + size_t(clouds) - 1;
        if (target < records.size())
            clock = std::max(clock, records[target].play);
        return;
    }
    // By index, not by time: clouds that share a moment are stepped one by one.
    const size_t back = size_t(-int64_t(clouds));
    if (back_from > 0 && !records.empty()) {
        const size_t target =
            std::min(back_from >= back ? back_from - back : 0, records.size() - 1);
        play_from(records[target].play, target);
        stepped_back_to = records[target].play;
    }
}

std::vector<std::pair<uint8_t, byte_vector>>
recording_player::take_due(size_t dtof_room, size_t rgb_room, bool skip_pictures) {
    std::vector<std::pair<uint8_t, byte_vector>> out;
    size_t sent_dtof = 0, sent_rgb = 0;
    while (!done && timeline) {
        source which;
        double play = 0;
        if (!next_due(which, play)) {
            done = !restart_pass();
            continue;
        }
        if (play > clock)
            break;
        if (which == source::image) {
            const size_t after = cursor[image_source];
            const bool later_due = after < timeline->records[image_source].size() &&
                                   timeline->records[image_source][after].play <= clock;
            if (skip_pictures && (later_due || sent_rgb + 1 > rgb_room)) {
                skip_image();
                continue;
            }
            if (sent_rgb + 1 > rgb_room)
                break;
            ++sent_rgb;
            emit_image(out);
        } else {
            const size_t needed = which == source::cloud ? messages_per_cloud : 1;
            if (sent_dtof + needed > dtof_room)
                break;
            sent_dtof += needed;
            which == source::cloud ? emit_cloud(out) : emit_pose(out);
        }
    }
    return out;
}

// The host lets everything go at a step back in time: the player does the same.
void recording_player::hold_for_host(const pending_pose &pose) {
    if (pose.stamp + host_sync.match_tolerance_ns < last_stamp)
        host_holds.clear();
    last_stamp = pose.stamp;
    if (pose.claimed)
        return;
    host_holds.push_back(pose);
    if (host_holds.size() > host_sync.queue_capacity) // the host lets its oldest go
        host_holds.pop_front();
}

void recording_player::emit_pose(std::vector<std::pair<uint8_t, byte_vector>> &out) {
    const pending_pose pose = upcoming.front();
    upcoming.pop_front();
    out.emplace_back(kestone::ep_dtof, device_message(wire::type_odometry,
                                                      odometry_payload(pose.stamp, pose.odometry)));
    last_odometry = pose.odometry;
    ++numbers[pose_source];
    hold_for_host(pose);
}

// The odometry the host will pair a cloud stamped stamp with: the first it
// holds within the window (older ones it lets go), else the first recorded
// pose still to come within it; else one sent now with the cloud's stamp.
odometry_sample recording_player::pair_cloud(int64_t stamp,
                                             std::vector<std::pair<uint8_t, byte_vector>> &out) {
    if (stamp + host_sync.match_tolerance_ns < last_stamp)
        host_holds.clear();
    last_stamp = std::max(last_stamp, stamp);
    while (!host_holds.empty() && host_holds.front().stamp + host_sync.match_tolerance_ns < stamp)
        host_holds.pop_front();
    if (!host_holds.empty() && host_holds.front().stamp <= stamp + host_sync.match_tolerance_ns) {
        const odometry_sample paired = host_holds.front().odometry;
        host_holds.pop_front();
        return paired;
    }
    for (size_t i = 0;; ++i) {
        if (i == upcoming.size() && !fill(source::pose))
            break;
        if (upcoming[i].stamp > stamp + host_sync.match_tolerance_ns ||
            upcoming[i].stamp + host_sync.match_tolerance_ns < stamp)
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
    const int64_t stamp = stamp_of(cloud, cloud_source);
    const odometry_sample odometry = pair_cloud(stamp, out);
    const wiwc_pair wiwc{wiwc_a(), wiwc_b()};
    out.emplace_back(kestone::ep_dtof, device_message(wire::type_wiwc, wiwc_payload(stamp, wiwc)));
    out.emplace_back(
        kestone::ep_dtof,
        device_message(wire::type_cloud, cloud_payload(numbers[cloud_source], stamp, odometry,
                                                       world_points(cloud), wiwc)));
    ++numbers[cloud_source];
    has_next[cloud_source] = false;
    sent_cloud = cursor[cloud_source] - 1;
    // The clouds that share the moment stepped back to come with it; the next
    // step back goes on from the one stepped to.
    const double play = timeline->records[cloud_source][*sent_cloud].play;
    if (!stepped_back_to || play > *stepped_back_to) {
        back_from = *sent_cloud;
        stepped_back_to.reset();
    }
}

void recording_player::skip_image() {
    has_next[image_source] = false;
    ++skipped;
}

void recording_player::emit_image(std::vector<std::pair<uint8_t, byte_vector>> &out) {
    const RecordView &image = next[image_source];
    const uint8_t *jpeg = image.bytes.data() + RecordLayout::headerBytes;
    camera_settings camera;
    if (const auto size = jpegSize(jpeg, image.count)) {
        camera.width = static_cast<uint32_t>(size->first);
        camera.height = static_cast<uint32_t>(size->second);
    }
    out.emplace_back(
        kestone::ep_rgb,
        device_message(wire::type_image,
                       image_payload(camera, numbers[image_source], stamp_of(image, image_source),
                                     byte_vector(jpeg, jpeg + image.count))));
    ++numbers[image_source];
    has_next[image_source] = false;
}

} // namespace kest_sim
