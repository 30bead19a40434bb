// The export's driver, and the trajectory and pictures (see the header).
#include "recording/recording_export.h"

#include "recording/export_file.h"
#include "recording/export_text.h"
#include "recording/recording_reader.h"
#include "recording/recording_summary.h"
#include "sdk/common/byte_order.h"

#include <array>
#include <cmath>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// "timestamp tx ty tz qx qy qz qw" with the quaternion of unit length; false
// for a pose whose quaternion has no direction.
bool appendTumLine(const RecordView &pose, std::string &out) {
    std::array<double, 7> v;
    if (!unitPose(pose, v))
        return false;
    appendFixed(out, pose.seconds, 6);
    for (double value : v) {
        out += ' ';
        appendFloat(out, static_cast<float>(value));
    }
    out += '\n';
    return true;
}

std::string endOfFileProblem(const char *label, const RecordFileReader &reader, uint64_t exported) {
    if (reader.truncatedAt())
        return std::string(label) + ": the last record, at byte " +
               std::to_string(*reader.truncatedAt()) + ", is cut off; the " +
               std::to_string(exported) + " before it were exported";
    if (!reader.readError().empty())
        return std::string(label) + ": reading stopped after " + std::to_string(exported) +
               " records (" + reader.readError() + ")";
    return {};
}

struct Part {
    const std::string &file;
    RecordKind kind;
    const char *label;
    std::function<bool(const ExportStep &)> run;
};

} // namespace

bool unitPose(const RecordView &pose, std::array<double, 7> &values) {
    float v[StreamDecoding::POSE_RECORD_VALUES];
    for (size_t i = 0; i < StreamDecoding::POSE_RECORD_VALUES; ++i)
        v[i] = get_le_float(pose.bytes.data() + StreamDecoding::POSE_RECORD_VALUES_AT + 4 * i);
    const double norm = std::sqrt(double(v[3]) * v[3] + double(v[4]) * v[4] + double(v[5]) * v[5] +
                                  double(v[6]) * v[6]);
    if (!(norm > 0) || !std::isfinite(norm))
        return false;
    for (size_t i = 0; i < 7; ++i)
        values[i] = i < 3 ? v[i] : v[i] / norm;
    return true;
}

std::string numberedFileName(const char *stem, uint64_t index, const char *extension) {
    std::string digits = std::to_string(index);
    if (digits.size() < 6)
        digits.insert(0, 6 - digits.size(), '0');
    return stem + digits + extension;
}

void ExportStep::advanced() const {
    if (progress)
        progress(base + reader.offset(), total);
}

void noteEndOfFile(const char *label, const RecordFileReader &reader, uint64_t exported,
                   ExportReport &report) {
    std::string problem = endOfFileProblem(label, reader, exported);
    if (!problem.empty())
        report.problems.push_back(std::move(problem));
}

bool exportTrajectory(const ExportStep &step, const std::string &path) {
    std::string text = "# timestamp tx ty tz qx qy qz qw\n";
    RecordView pose;
    uint64_t read = 0;
    while (step.reader.next(pose)) {
        ++read;
        if (appendTumLine(pose, text))
            ++step.report.poses;
        else
            ++step.report.posesWithoutRotation;
        step.advanced();
    }
    noteEndOfFile("poses", step.reader, read, step.report);
    return writeExportFile(path, text, step.report.error);
}

bool exportImages(const ExportStep &step, const std::string &dir) {
    if (!makeExportFolder(dir, step.report.error))
        return false;
    std::string index = "file,sequence,time\n";
    RecordView image;
    while (step.reader.next(image)) {
        const std::string name = numberedFileName("image_", step.report.images, ".jpg");
        const std::string jpeg(image.bytes.begin() + RecordLayout::headerBytes, image.bytes.end());
        if (!writeExportFile((fs::path(dir) / name).string(), jpeg, step.report.error))
            return false;
        index += name + ',';
        appendUnsigned(index, image.sequence);
        index += ',';
        appendFixed(index, image.seconds, 6);
        index += '\n';
        ++step.report.images;
        step.advanced();
    }
    noteEndOfFile("images", step.reader, step.report.images, step.report);
    return writeExportFile((fs::path(dir) / "images.csv").string(), index, step.report.error);
}

ExportReport exportRecording(const std::string &folder, const ExportRequest &request,
                             const ExportProgress &progress) {
    ExportReport report;
    const RecordingFiles files = locateRecording(folder);
    std::vector<Part> parts;
    if (!request.clouds.dir.empty())
        parts.push_back({files.clouds, RecordKind::Cloud, "clouds", [&](const ExportStep &step) {
                             return exportClouds(step, request.clouds);
                         }});
    if (!request.tumPath.empty())
        parts.push_back({files.poses, RecordKind::Pose, "poses", [&](const ExportStep &step) {
                             return exportTrajectory(step, request.tumPath);
                         }});
    if (!request.imageDir.empty())
        parts.push_back({files.images, RecordKind::Image, "images", [&](const ExportStep &step) {
                             return exportImages(step, request.imageDir);
                         }});
    uint64_t total = 0;
    std::error_code error;
    const auto sizeOf = [&error](const std::string &file) -> uint64_t {
        return fs::is_regular_file(file, error) ? fs::file_size(file, error) : 0;
    };
    for (const Part &part : parts)
        total += sizeOf(part.file);
    if (!request.mcapPath.empty())
        total += sizeOf(files.clouds) + sizeOf(files.poses) + sizeOf(files.images);
    uint64_t base = 0;
    for (const Part &part : parts) {
        RecordFileReader reader;
        if (!reader.open(part.file, part.kind, report.error))
            return report;
        if (!part.run(ExportStep{reader, report, progress, base, total}))
            return report;
        base += reader.fileSize();
    }
    if (!request.mcapPath.empty() &&
        !exportMcap(files, request.mcapPath, report, progress, base, total))
        return report;
    if (progress)
        progress(total, total);
    return report;
}
