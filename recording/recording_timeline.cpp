#include "recording/recording_timeline.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const RecordKind kinds[3] = {RecordKind::Pose, RecordKind::Cloud, RecordKind::Image};
const char *const labels[3] = {"poses", "clouds", "images"};

// A picture is recorded 719060 ns after its device time: it plays at the device time.
constexpr double imageOffsetSeconds = StreamDecoding::RECORDED_IMAGE_TIME_OFFSET_NS * 1e-9;
// A damaged record's time may be anything: kept to what a device clock holds.
constexpr double latestSeconds = 4e9;

struct FileSegment {
    double first = 0, last = 0; // device times
};

// One file's records and segments; its markers other than restarts.
struct FileScan {
    std::vector<TimelineRecord> records;
    std::vector<double> deviceTimes; // per record, what it plays by
    std::vector<FileSegment> segments;
    std::vector<std::pair<size_t, TimelineMarker>> markers; // at a record
};

std::string filePath(const RecordingFiles &files, size_t which) {
    return which == timelinePoses    ? files.poses
           : which == timelineClouds ? files.clouds
                                     : files.images;
}

void noteSequence(FileScan &scan, size_t which, uint32_t before, uint32_t sequence) {
    const size_t at = scan.records.size();
    const std::string label = labels[which];
    if (sequence > before + 1ull) {
        const uint32_t missing = sequence - before - 1;
        scan.markers.push_back(
            {at,
             {0, MarkerKind::SequenceGap,
              label + ": " + std::to_string(missing) + " record" + (missing == 1 ? "" : "s") +
                  " missing (numbers " + std::to_string(before + 1) + " to " +
                  std::to_string(sequence - 1) + ")"}});
    } else if (sequence <= before) {
        scan.markers.push_back({at,
                                {0, MarkerKind::SequenceBack,
                                 label + ": number " + std::to_string(sequence) + " after " +
                                     std::to_string(before)}});
    }
}

bool scanFile(const std::string &path, size_t which, FileScan &scan, std::string &error) {
    RecordFileReader reader;
    if (!reader.open(path, kinds[which], error))
        return false;
    RecordView record;
    double previous = 0;
    while (reader.next(record, false)) {
        double t = std::isfinite(record.seconds) ? std::clamp(record.seconds, 0.0, latestSeconds)
                                                 : previous;
        if (which == timelineImages)
            t = std::max(0.0, t - imageOffsetSeconds);
        if (!scan.records.empty())
            noteSequence(scan, which, scan.records.back().sequence, record.sequence);
        if (scan.segments.empty() || t < previous)
            scan.segments.push_back({t, t});
        scan.segments.back().last = t;
        TimelineRecord entry;
        entry.offset = record.offset;
        entry.bytes = reader.offset() - record.offset;
        entry.seconds = record.seconds;
        entry.sequence = record.sequence;
        entry.segment = static_cast<uint32_t>(scan.segments.size() - 1);
        scan.records.push_back(entry);
        scan.deviceTimes.push_back(t);
        previous = t;
    }
    if (reader.truncatedAt() && !scan.records.empty())
        scan.markers.push_back(
            {scan.records.size() - 1,
             {0, MarkerKind::CutOff,
              std::string(labels[which]) + ": the record after this one, at byte " +
                  std::to_string(*reader.truncatedAt()) + ", is cut off"}});
    if (!reader.readError().empty())
        error = path + ": " + reader.readError();
    return reader.readError().empty();
}

} // namespace

size_t RecordingTimeline::firstAtOrAfter(TimelineFile file, double play) const {
    const std::vector<TimelineRecord> &list = records[file];
    return std::lower_bound(
               list.begin(), list.end(), play,
               [](const TimelineRecord &record, double t) { return record.play < t; }) -
           list.begin();
}

bool readTimeline(const std::string &folder, RecordingTimeline &out, std::string &error) {
    out = RecordingTimeline{};
    out.files = locateRecording(folder);
    if (out.files.poses.empty()) {
        error = folder + " is not a folder";
        return false;
    }
    FileScan scans[3];
    for (size_t which : {timelinePoses, timelineClouds, timelineImages}) {
        std::string missing; // a file that is not there is a stream the recording lacks
        if (!scanFile(filePath(out.files, which), which, scans[which], missing) &&
            !scans[which].records.empty()) {
            error = missing;
            return false;
        }
    }
    size_t segments = 0;
    for (const FileScan &scan : scans)
        segments = std::max(segments, scan.segments.size());
    if (segments == 0) {
        error = folder + " is not a recording: it holds no recorded pose, cloud or picture";
        return false;
    }
    // Segment k: its origin in device time and its start in playing time.
    std::vector<double> origin(segments, std::numeric_limits<double>::max()), end(segments, 0);
    out.firstSeconds = std::numeric_limits<double>::max();
    out.lastSeconds = std::numeric_limits<double>::lowest();
    for (size_t which = 0; which < 3; ++which) {
        const FileScan &scan = scans[which];
        for (size_t k = 0; k < scan.segments.size(); ++k) {
            origin[k] = std::min(origin[k], scan.segments[k].first);
            end[k] = std::max(end[k], scan.segments[k].last);
        }
        for (const TimelineRecord &record : scan.records)
            if (std::isfinite(record.seconds)) {
                const double kept = std::clamp(record.seconds, 0.0, latestSeconds);
                out.firstSeconds = std::min(out.firstSeconds, kept);
                out.lastSeconds = std::max(out.lastSeconds, kept);
            }
    }
    if (out.firstSeconds > out.lastSeconds)
        out.firstSeconds = out.lastSeconds = 0;
    double start = 0;
    for (size_t k = 0; k < segments; ++k) {
        out.segmentStarts.push_back(start);
        if (k > 0)
            out.markers.push_back({start, MarkerKind::ClockRestart,
                                   "the device clock restarted: segment " + std::to_string(k + 1) +
                                       " of " + std::to_string(segments)});
        start += std::max(0.0, end[k] - origin[k]);
    }
    out.length = start;
    for (size_t which = 0; which < 3; ++which) {
        FileScan &scan = scans[which];
        for (size_t i = 0; i < scan.records.size(); ++i) {
            TimelineRecord &record = scan.records[i];
            record.play =
                out.segmentStarts[record.segment] + (scan.deviceTimes[i] - origin[record.segment]);
        }
        for (auto &[at, marker] : scan.markers) {
            marker.play = scan.records[at].play;
            out.markers.push_back(std::move(marker));
        }
        out.records[which] = std::move(scan.records);
    }
    std::stable_sort(
        out.markers.begin(), out.markers.end(),
        [](const TimelineMarker &a, const TimelineMarker &b) { return a.play < b.play; });
    return true;
}
