// A recording's clouds as point files: one per cloud with an index of their
// times, or one map of them all, thinned by the view's voxel filter if asked.
#include "recording/export_file.h"
#include "recording/export_text.h"
#include "recording/las_file.h"
#include "recording/recording_export.h"
#include "recording/recording_reader.h"
#include "recording/voxel_filter.h"
#include "sdk/common/byte_order.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

// A merged map's body goes to its file in pieces of about this size.
constexpr size_t flushBytes = size_t{8} << 20;

const uint8_t *pointsOf(const RecordView &cloud) {
    return cloud.bytes.data() + RecordLayout::headerBytes;
}

std::string cloudComment(const RecordView &cloud) {
    std::string comment = "KestViewer cloud, sequence ";
    appendUnsigned(comment, cloud.sequence);
    comment += ", time ";
    appendFixed(comment, cloud.seconds, 6);
    return comment + " s";
}

void appendIndexLine(std::string &index, const std::string &name, const RecordView &cloud) {
    index += name + ',';
    appendUnsigned(index, cloud.sequence);
    index += ',';
    appendFixed(index, cloud.seconds, 6);
    index += ',';
    appendUnsigned(index, cloud.count);
    index += '\n';
}

bool exportEachCloud(const ExportStep &step, const CloudExport &request) {
    ExportReport &report = step.report;
    std::string index = "file,sequence,time,points\n";
    std::string bytes;
    RecordView cloud;
    while (step.reader.next(cloud)) {
        const std::string name =
            numberedFileName("cloud_", report.clouds, pointFileExtension(request.format));
        bytes = pointFileHeader(request.format, request.ascii, cloud.count, cloudComment(cloud));
        appendPointFileBody(request.format, request.ascii, pointsOf(cloud), cloud.count, bytes);
        if (!writeExportFile((fs::path(request.dir) / name).string(), bytes, report.error))
            return false;
        appendIndexLine(index, name, cloud);
        ++report.clouds;
        report.pointsRead += cloud.count;
        report.pointsWritten += cloud.count;
        step.advanced();
    }
    noteEndOfFile("clouds", step.reader, report.clouds, report);
    return writeExportFile((fs::path(request.dir) / "clouds.csv").string(), index, report.error);
}

std::string mergedComment(const ExportReport &report, float voxel) {
    std::string comment = "KestViewer map of ";
    appendUnsigned(comment, report.clouds);
    comment += " clouds";
    if (voxel > 0) {
        comment += ", one point per ";
        appendFloat(comment, voxel);
        comment += " m voxel";
    }
    return comment;
}

// Every cloud through the voxel filter; only the survivors are held.
bool exportThinnedMap(const ExportStep &step, const CloudExport &request, ExportFile &file) {
    ExportReport &report = step.report;
    VoxelFilter filter(request.voxel);
    RecordView cloud;
    while (step.reader.next(cloud)) {
        const std::vector<CloudPoint> points = cloudPointsOf(cloud);
        filter.add(points.data(), points.size());
        ++report.clouds;
        report.pointsRead += cloud.count;
        step.advanced();
    }
    // The survivors in the recorded layout: a cloud record without its header.
    const std::vector<uint8_t> survivors = StreamDecoding::buildCloudRecord(0, 0, filter.points());
    const uint64_t count = filter.size();
    std::string bytes =
        pointFileHeader(request.format, request.ascii, count, mergedComment(report, request.voxel));
    appendPointFileBody(request.format, request.ascii, survivors.data() + RecordLayout::headerBytes,
                        count, bytes);
    report.pointsWritten = count;
    return file.write(bytes, report.error);
}

// Every point as it is: counted first (headers only), then streamed.
bool exportWholeMap(const ExportStep &step, const CloudExport &request, ExportFile &file) {
    ExportReport &report = step.report;
    RecordView cloud;
    uint64_t clouds = 0, count = 0;
    while (step.reader.next(cloud, false)) {
        ++clouds;
        count += cloud.count;
    }
    if (!step.reader.rewind()) {
        report.error = "cannot read the cloud file again: " + step.reader.readError();
        return false;
    }
    ExportReport counted;
    counted.clouds = clouds;
    std::string bytes =
        pointFileHeader(request.format, request.ascii, count, mergedComment(counted, 0));
    while (clouds-- > 0 && step.reader.next(cloud)) {
        appendPointFileBody(request.format, request.ascii, pointsOf(cloud), cloud.count, bytes);
        ++report.clouds;
        report.pointsRead += cloud.count;
        report.pointsWritten += cloud.count;
        if (bytes.size() >= flushBytes) {
            if (!file.write(bytes, report.error))
                return false;
            bytes.clear();
        }
        step.advanced();
    }
    if (report.pointsWritten != count) { // rewritten, not appended to, while exported
        report.error = "the cloud file changed while it was exported";
        return false;
    }
    step.reader.next(cloud, false); // to meet the cut-off record again, if there is one
    return file.write(bytes, report.error);
}

LasBatch lasBatchOf(const RecordView &cloud) {
    return {cloud.seconds, static_cast<uint16_t>(cloud.sequence), 0};
}

void noteLeftOut(ExportReport &report, uint64_t leftOut, const std::string &name) {
    if (leftOut > 0)
        report.problems.push_back(name + ": " + std::to_string(leftOut) +
                                  " points are not finite or too far from the others for LAS; "
                                  "left out");
}

// A LAS file per cloud, the GPS time of its points the cloud's device time.
bool exportEachCloudAsLas(const ExportStep &step, const CloudExport &request) {
    ExportReport &report = step.report;
    std::string index = "file,sequence,time,points\n";
    RecordView cloud;
    while (step.reader.next(cloud)) {
        const std::string name = numberedFileName("cloud_", report.clouds, ".las");
        LasFile file;
        if (!file.open((fs::path(request.dir) / name).string(), report.error) ||
            !file.add(pointsOf(cloud), cloud.count, recordedPoints, lasBatchOf(cloud),
                      report.error) ||
            !file.close(report.error))
            return false;
        appendIndexLine(index, name, cloud);
        ++report.clouds;
        report.pointsRead += cloud.count;
        report.pointsWritten += file.count();
        noteLeftOut(report, file.leftOut(), name);
        step.advanced();
    }
    noteEndOfFile("clouds", step.reader, report.clouds, report);
    return writeExportFile((fs::path(request.dir) / "clouds.csv").string(), index, report.error);
}

// One LAS map: streamed cloud by cloud, or the voxel filter's survivors (whose
// time and source are no longer one cloud's: both 0).
bool exportMapAsLas(const ExportStep &step, const CloudExport &request) {
    ExportReport &report = step.report;
    LasFile file;
    const std::string path = (fs::path(request.dir) / "map.las").string();
    if (!file.open(path, report.error))
        return false;
    VoxelFilter filter(request.voxel > 0 ? request.voxel : 0);
    RecordView cloud;
    while (step.reader.next(cloud)) {
        ++report.clouds;
        report.pointsRead += cloud.count;
        if (request.voxel > 0)
            filter.add(cloudPointsOf(cloud).data(), cloud.count);
        else if (!file.add(pointsOf(cloud), cloud.count, recordedPoints, lasBatchOf(cloud),
                           report.error))
            return false;
        step.advanced();
    }
    if (request.voxel > 0) {
        const std::vector<CloudPoint> &kept = filter.points();
        if (!file.add(reinterpret_cast<const uint8_t *>(kept.data()), kept.size(),
                      PointLayout{sizeof(CloudPoint), false, false}, LasBatch{}, report.error))
            return false;
    }
    if (!file.close(report.error))
        return false;
    report.pointsWritten = file.count();
    noteLeftOut(report, file.leftOut(), "map.las");
    noteEndOfFile("clouds", step.reader, report.clouds, report);
    return true;
}

} // namespace

std::vector<CloudPoint> cloudPointsOf(const RecordView &cloud) {
    std::vector<CloudPoint> out(cloud.count);
    const uint8_t *p = pointsOf(cloud);
    for (CloudPoint &point : out) {
        point = {
            get_le_float(p), get_le_float(p + 4), get_le_float(p + 8), p[12], p[13], p[14], 0, 0};
        p += RecordLayout::pointBytes;
    }
    return out;
}

bool exportClouds(const ExportStep &step, const CloudExport &request) {
    if (!makeExportFolder(request.dir, step.report.error))
        return false;
    if (request.format == PointFileFormat::Las)
        return request.merge ? exportMapAsLas(step, request) : exportEachCloudAsLas(step, request);
    if (!request.merge)
        return exportEachCloud(step, request);
    ExportFile file;
    const std::string path =
        (fs::path(request.dir) / (std::string("map") + pointFileExtension(request.format)))
            .string();
    if (!file.open(path, step.report.error))
        return false;
    const bool written = request.voxel > 0 ? exportThinnedMap(step, request, file)
                                           : exportWholeMap(step, request, file);
    if (!written || !file.close(step.report.error))
        return false;
    noteEndOfFile("clouds", step.reader, step.report.clouds, step.report);
    return true;
}
