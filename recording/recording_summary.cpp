#include "recording/recording_summary.h"

#include "recording/record_layout.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

std::string firstLine(const fs::path &path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// "created_at=" of image/info.txt.
std::string startedAt(const fs::path &folder) {
    std::ifstream in(folder / "image" / "info.txt");
    const std::string key = "created_at=";
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key, 0) == 0)
            return line.substr(key.size());
    return {};
}

CalibrationState calibrationOf(const fs::path &folder) {
    const fs::path path = folder / "image" / "cam_in_ex.txt";
    std::error_code error;
    if (!fs::is_regular_file(path, error))
        return CalibrationState::Missing;
    const std::string line = firstLine(path);
    if (line.rfind("Tcl_0: [", 0) == 0)
        return CalibrationState::Converted;
    // The recorder's placeholder is one line: compared without its newline.
    const std::string placeholder = StreamDecoding::PLACEHOLDER_CALIBRATION;
    return line + "\n" == placeholder ? CalibrationState::Placeholder : CalibrationState::Missing;
}

void summariseFile(const fs::path &path, RecordKind kind, RecordFileSummary &out) {
    RecordFileReader reader;
    std::error_code error;
    out.fileName = path.filename().string();
    out.present = fs::exists(path, error);
    if (!out.present)
        return;
    if (!reader.open(path.string(), kind, out.error))
        return;
    summariseRecords(reader, kind, out);
}

void noteCount(RecordFileSummary &out, uint64_t count) {
    out.minCount = out.records == 1 ? count : std::min(out.minCount, count);
    out.maxCount = std::max(out.maxCount, count);
    out.totalCount += count;
}

// A damaged record's time that is not a number extends no segment.
void noteSegment(RecordFileSummary &out, double seconds) {
    if (!std::isfinite(seconds))
        return;
    if (out.segments.empty() || seconds < out.segments.back().second)
        out.segments.emplace_back(seconds, seconds);
    else
        out.segments.back().second = seconds;
}

} // namespace

void summariseRecords(RecordFileReader &reader, RecordKind kind, RecordFileSummary &out) {
    out.bytes = reader.fileSize();
    RecordView record;
    while (reader.next(record)) {
        ++out.records;
        if (out.records == 1) {
            out.firstSequence = record.sequence;
            out.firstSeconds = record.seconds;
        } else {
            if (record.sequence > out.lastSequence + 1) {
                ++out.gaps;
                out.missing += record.sequence - out.lastSequence - 1;
            } else if (record.sequence <= out.lastSequence) {
                ++out.repeatedOrBack;
            }
            out.timesBackwards += record.seconds < out.lastSeconds;
        }
        noteSegment(out, record.seconds);
        out.lastSequence = record.sequence;
        out.lastSeconds = record.seconds;
        if (kind == RecordKind::Cloud) {
            noteCount(out, record.count);
            out.empty += record.count == 0;
        } else if (kind == RecordKind::Image) {
            noteCount(out, record.count);
            const auto size =
                jpegSize(record.bytes.data() + RecordLayout::headerBytes, record.count);
            if (size)
                ++out.pictureSizes[*size];
            else
                ++out.undecodable;
        }
    }
    out.truncatedAt = reader.truncatedAt();
    if (!reader.readError().empty())
        out.error = reader.readError();
}

double RecordFileSummary::spanSeconds() const {
    double span = 0;
    for (const auto &[first, last] : segments)
        span += last - first;
    return span;
}

double RecordFileSummary::rate() const {
    const double span = spanSeconds();
    const uint64_t intervals = records - std::min<uint64_t>(records, segments.size());
    return intervals > 0 && span > 0 ? intervals / span : 0;
}

std::vector<std::string> RecordFileSummary::faults() const {
    std::vector<std::string> out;
    auto add = [&](const std::string &what) { out.push_back(label + ": " + what); };
    if (!present) {
        add(fileName + " is missing");
        return out;
    }
    if (!error.empty())
        add("cannot be read (" + error + ")");
    if (firstSequence != 0)
        add("the first record is number " + std::to_string(firstSequence) + ", not 0");
    if (gaps > 0)
        add(std::to_string(gaps) + " sequence gap" + (gaps == 1 ? "" : "s") + " (" +
            std::to_string(missing) + " record" + (missing == 1 ? "" : "s") + " missing)");
    if (repeatedOrBack > 0)
        add(std::to_string(repeatedOrBack) + " sequence number" + (repeatedOrBack == 1 ? "" : "s") +
            " repeated or going back");
    if (timesBackwards > 0)
        add(std::to_string(timesBackwards) + " time" + (timesBackwards == 1 ? "" : "s") +
            " going backwards");
    if (empty > 0)
        add(std::to_string(empty) + " cloud" + (empty == 1 ? "" : "s") + " without a point");
    if (undecodable > 0)
        add(std::to_string(undecodable) + " picture" + (undecodable == 1 ? "" : "s") +
            " without a JPEG frame header");
    if (truncatedAt)
        add("the last record, at byte " + std::to_string(*truncatedAt) + ", is cut off (the " +
            std::to_string(records) + " before it are whole)");
    return out;
}

double RecordingSummary::durationSeconds() const {
    std::vector<const RecordFileSummary *> held;
    for (const RecordFileSummary *file : {&poses, &clouds, &images})
        if (!file->segments.empty())
            held.push_back(file);
    if (held.empty())
        return 0;
    double longest = 0;
    bool aligned = true;
    for (const RecordFileSummary *file : held) {
        longest = std::max(longest, file->spanSeconds());
        aligned = aligned && file->segments.size() == held.front()->segments.size();
    }
    if (!aligned)
        return longest;
    double total = 0;
    for (size_t k = 0; k < held.front()->segments.size(); ++k) {
        double first = held.front()->segments[k].first, last = held.front()->segments[k].second;
        for (const RecordFileSummary *file : held) {
            first = std::min(first, file->segments[k].first);
            last = std::max(last, file->segments[k].second);
        }
        total += last - first;
    }
    return total;
}

size_t RecordingSummary::segmentCount() const {
    return std::max({poses.segments.size(), clouds.segments.size(), images.segments.size()});
}

std::vector<std::string> RecordingSummary::faults() const {
    std::vector<std::string> out;
    for (const RecordFileSummary *file : {&poses, &clouds, &images})
        for (std::string &fault : file->faults())
            out.push_back(std::move(fault));
    return out;
}

RecordingSummary summariseRecording(const std::string &path) {
    RecordingSummary out;
    const RecordingFiles files = locateRecording(path);
    out.folder = files.folder;
    out.isRecording = files.isRecording;
    out.poses.label = "poses";
    out.clouds.label = "clouds";
    out.images.label = "images";
    if (!out.isRecording)
        return out;
    const fs::path folder = files.folder;
    out.startedAt = startedAt(folder);
    out.calibration = calibrationOf(folder);
    summariseFile(files.poses, RecordKind::Pose, out.poses);
    summariseFile(files.clouds, RecordKind::Cloud, out.clouds);
    summariseFile(files.images, RecordKind::Image, out.images);
    return out;
}
