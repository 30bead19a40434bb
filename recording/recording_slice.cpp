#include "recording/recording_slice.h"

#include "recording/export_file.h"
#include "sdk/common/byte_order.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

constexpr double endTolerance = 1e-6;

std::string sourceOf(const RecordingFiles &files, size_t which) {
    return which == timelinePoses    ? files.poses
           : which == timelineClouds ? files.clouds
                                     : files.images;
}

std::string targetOf(const fs::path &folder, size_t which) {
    const char *names[3] = {"KestPose.bin", nullptr, "KestImage.bin"};
    return (folder / (which == timelineClouds ? "MT" + folder.filename().string() + ".kvx"
                                              : std::string(names[which])))
        .string();
}

struct Span {
    size_t first = 0, end = 0; // indices in the file's records
    uint32_t lowest = 0;       // the lowest number among them, which becomes 0
};

// To the microsecond: a record at an end that the user took from the timeline
// is in, whatever the rounding of the times on the way.
Span spanOf(const RecordingTimeline &timeline, size_t which, double from_s, double to_s) {
    const std::vector<TimelineRecord> &records = timeline.records[which];
    Span span;
    span.first = timeline.firstAtOrAfter(TimelineFile(which), from_s - endTolerance);
    span.end = span.first;
    span.lowest = span.first < records.size() ? records[span.first].sequence : 0;
    for (; span.end < records.size() && records[span.end].play <= to_s + endTolerance; ++span.end)
        span.lowest = std::min(span.lowest, records[span.end].sequence);
    return span;
}

// The records of one file within the span, renumbered.
bool copyRecords(const RecordingTimeline &timeline, size_t which, const Span &span,
                 const std::string &target, uint64_t &copied, std::string &error) {
    const std::vector<TimelineRecord> &records = timeline.records[which];
    const std::string source = sourceOf(timeline.files, which);
    ExportFile out;
    if (!out.open(target, error))
        return false;
    std::FILE *in = span.first < span.end ? std::fopen(source.c_str(), "rb") : nullptr;
    if (span.first < span.end && in == nullptr) {
        error = source + ": cannot be read";
        return false;
    }
    std::string bytes;
    bool ok = true;
    for (size_t i = span.first; ok && i < span.end; ++i) {
        const TimelineRecord &record = records[i];
        bytes.resize(record.bytes);
        ok = fseeko(in, off_t(record.offset), SEEK_SET) == 0 &&
             std::fread(bytes.data(), 1, bytes.size(), in) == bytes.size();
        if (!ok) {
            error = source + ": the record at byte " + std::to_string(record.offset) +
                    " cannot be read again";
            break;
        }
        put_le32(reinterpret_cast<uint8_t *>(bytes.data()), record.sequence - span.lowest);
        ok = out.write(bytes, error);
        copied += ok;
    }
    if (in != nullptr)
        std::fclose(in);
    return ok && out.close(error);
}

// The recording's image/ files (info.txt, the calibration), if it has them.
bool copyImageFolder(const fs::path &source, const fs::path &target, std::string &error) {
    std::error_code failed;
    if (!fs::is_directory(source, failed))
        return true;
    fs::create_directories(target, failed);
    for (const fs::directory_entry &entry : fs::directory_iterator(source, failed)) {
        if (failed || !entry.is_regular_file(failed))
            continue;
        fs::copy_file(entry.path(), target / entry.path().filename(), failed);
        if (failed)
            break;
    }
    if (failed) {
        error = target.string() + ": " + failed.message();
        return false;
    }
    return true;
}

} // namespace

bool sliceRecording(const RecordingTimeline &timeline, double from_s, double to_s,
                    const std::string &out, SliceCounts &counts, std::string &error) {
    counts = SliceCounts{};
    if (!std::isfinite(from_s) || !std::isfinite(to_s) || from_s > to_s) {
        error = "the span must run forwards (--from at most --to)";
        return false;
    }
    fs::path folder = fs::path(out).lexically_normal();
    if (!folder.has_filename() && folder.has_parent_path())
        folder = folder.parent_path();
    std::error_code failed;
    if (fs::exists(folder, failed) && !fs::is_empty(folder, failed)) {
        error = folder.string() + " exists and is not empty";
        return false;
    }
    if (fs::equivalent(folder, timeline.files.folder, failed)) {
        error = "the slice cannot be written over its recording";
        return false;
    }
    Span spans[3];
    for (size_t which = 0; which < 3; ++which)
        spans[which] = spanOf(timeline, which, from_s, to_s);
    if (std::all_of(std::begin(spans), std::end(spans),
                    [](const Span &span) { return span.first == span.end; })) {
        char span[96];
        std::snprintf(span, sizeof span, "no record lies between %.3f and %.3f s", from_s, to_s);
        error = span;
        return false;
    }
    if (!makeExportFolder(folder.string(), error))
        return false;
    uint64_t *copied[3] = {&counts.poses, &counts.clouds, &counts.images};
    bool ok = copyImageFolder(fs::path(timeline.files.folder) / "image", folder / "image", error);
    for (size_t which = 0; ok && which < 3; ++which)
        ok = copyRecords(timeline, which, spans[which], targetOf(folder, which), *copied[which],
                         error);
    if (!ok)
        fs::remove_all(folder, failed);
    return ok;
}
