#include "recording/recording_slice.h"

#include "recording/export_file.h"
#include "sdk/common/byte_order.h"

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

// The records of one file whose playing time is within the span, renumbered.
bool copyRecords(const RecordingTimeline &timeline, size_t which, double from_s, double to_s,
                 const std::string &target, uint64_t &copied, std::string &error) {
    const std::vector<TimelineRecord> &records = timeline.records[which];
    // To the microsecond: a record at an end that the user took from the
    // timeline is in, whatever the rounding of the times on the way.
    from_s -= endTolerance;
    to_s += endTolerance;
    const size_t first = timeline.firstAtOrAfter(TimelineFile(which), from_s);
    ExportFile out;
    if (!out.open(target, error))
        return false;
    std::FILE *in = nullptr;
    if (first < records.size() && records[first].play <= to_s) {
        in = std::fopen(sourceOf(timeline.files, which).c_str(), "rb");
        if (in == nullptr) {
            error = sourceOf(timeline.files, which) + ": cannot be read";
            return false;
        }
    }
    std::string bytes;
    bool ok = true;
    for (size_t i = first; ok && i < records.size() && records[i].play <= to_s; ++i) {
        const TimelineRecord &record = records[i];
        bytes.resize(record.bytes);
        ok = fseeko(in, off_t(record.offset), SEEK_SET) == 0 &&
             std::fread(bytes.data(), 1, bytes.size(), in) == bytes.size();
        if (!ok) {
            error = sourceOf(timeline.files, which) + ": the record at byte " +
                    std::to_string(record.offset) + " cannot be read again";
            break;
        }
        put_le32(reinterpret_cast<uint8_t *>(bytes.data()),
                 record.sequence - records[first].sequence);
        ok = out.write(bytes, error);
        copied += ok;
    }
    if (in != nullptr)
        std::fclose(in);
    return ok && out.close(error);
}

bool copyImageFolder(const fs::path &source, const fs::path &target, std::string &error) {
    std::error_code failed;
    fs::create_directories(target, failed);
    for (const fs::directory_entry &entry : fs::directory_iterator(source, failed)) {
        if (!entry.is_regular_file(failed))
            continue;
        fs::copy_file(entry.path(), target / entry.path().filename(), failed);
        if (failed)
            break;
    }
    if (failed && failed != std::errc::no_such_file_or_directory) {
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
    if (!makeExportFolder(folder.string(), error))
        return false;
    uint64_t *copied[3] = {&counts.poses, &counts.clouds, &counts.images};
    bool ok = copyImageFolder(fs::path(timeline.files.folder) / "image", folder / "image", error);
    for (size_t which = 0; ok && which < 3; ++which)
        ok = copyRecords(timeline, which, from_s, to_s, targetOf(folder, which), *copied[which],
                         error);
    if (!ok)
        fs::remove_all(folder, failed);
    return ok;
}
