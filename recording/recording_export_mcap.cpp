// A whole recording as one MCAP file of ROS 2 messages: the clouds, poses
// (as poses and as transforms) and pictures merged in the order of their
// device times, and the camera's calibration beside each picture when the
// recording has it converted.
#include "recording/converted_calibration.h"
#include "recording/mcap_writer.h"
#include "recording/recording_export.h"
#include "recording/recording_reader.h"
#include "recording/ros2_messages.h"
#include "sdk/common/version/version.h"

#include <cmath>
#include <filesystem>
#include <limits>

namespace fs = std::filesystem;

namespace {

const char *const mapFrame = "map";
const char *const deviceFrame = "kestone";
const char *const cameraFrame = "kestone_camera";
const char *const ownDistortionModel = "kestone_radial_k2_k7_tangential_p1_p2";
// Chunks of 4 MB, zstd's fast level -1: point coordinates are float noise to a
// compressor and pictures are JPEG already; level 1 gains 6 % on a recording of
// the virtual KestOne and takes half as long again.
constexpr size_t chunkBytes = size_t{4} << 20;
constexpr int zstdLevel = -1;
// A PointCloud2's data is one CDR sequence: at most 2^32 - 1 bytes of 16-byte points.
constexpr uint64_t largestCloud = std::numeric_limits<uint32_t>::max() / 16;

uint64_t nanoseconds(double seconds) {
    constexpr double largest = 1.8e10; // about 570 years: below 2^64 ns
    if (!(seconds > 0))
        return 0;
    return static_cast<uint64_t>(std::llround(std::min(seconds, largest) * 1e9));
}

RosCameraModel cameraModel(const ConvertedCalibration &c) {
    RosCameraModel camera;
    camera.width = static_cast<uint32_t>(c.width);
    camera.height = static_cast<uint32_t>(c.height);
    camera.k = {c.a11, c.a12, c.u0, 0, c.a22, c.v0, 0, 0, 1};
    camera.r = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    camera.p = {c.a11, c.a12, c.u0, 0, 0, c.a22, c.v0, 0, 0, 0, 1, 0};
    // The lens's radial terms in odd powers of r have no place in ROS's
    // plumb_bob model; without them the two models are one.
    const auto &k = c.k; // k2 .. k7
    if (k[1] == 0 && k[3] == 0 && k[5] == 0) {
        camera.distortionModel = "plumb_bob";
        camera.d = {k[0], k[2], c.p1, c.p2, k[4]};
    } else {
        camera.distortionModel = ownDistortionModel;
        camera.d = {k[0], k[1], k[2], k[3], k[4], k[5], c.p1, c.p2};
    }
    return camera;
}

bool rosPose(const RecordView &record, RosPose &pose) {
    std::array<double, 7> v;
    if (!unitPose(record, v))
        return false;
    pose.position = {v[0], v[1], v[2]};
    pose.orientation = {v[3], v[4], v[5], v[6]};
    return true;
}

struct Stream {
    RecordKind kind;
    const char *label;
    RecordFileReader reader;
    RecordView next;
    bool pending = false;
    uint64_t read = 0;
};

struct Channels {
    uint16_t points = 0, pose = 0, tf = 0, image = 0, cameraInfo = 0;
};

class McapExport {
public:
    McapExport(const RecordingFiles &files, ExportReport &report, const ExportProgress &progress,
               uint64_t base, uint64_t total)
        : files(files), report(report), progress(progress), base(base), total(total) {}

    bool run(const std::string &path) {
        if (!openStreams() ||
            !writer.open(path, {"ros2", libraryName(), chunkBytes, zstdLevel}, report.error))
            return false;
        const std::optional<ConvertedCalibration> calibration =
            readConvertedCalibration(files.folder);
        if (calibration)
            camera = cameraModel(*calibration);
        if (!addChannels())
            return false;
        while (Stream *stream = earliest()) {
            if (!writeRecord(*stream))
                return false;
            advance(*stream);
        }
        for (Stream &stream : streams)
            noteEndOfFile(stream.label, stream.reader, stream.read, report);
        report.messages = writer.messages();
        return writer.close(report.error);
    }

private:
    static std::string libraryName() { return std::string("KestViewer ") + kest_sdk_version(); }

    bool openStreams() {
        const std::string *paths[] = {&files.clouds, &files.poses, &files.images};
        for (size_t i = 0; i < 3; ++i) {
            std::error_code missing;
            if (!fs::exists(*paths[i], missing))
                continue; // a recording without that stream: no messages of it
            if (!streams[i].reader.open(*paths[i], streams[i].kind, report.error))
                return false;
            advance(streams[i]);
        }
        return true;
    }

    uint16_t channel(const Ros2::MessageType &type, const char *topic) {
        const uint16_t schema =
            writer.addSchema(type.name, "ros2msg", type.definition, report.error);
        return schema == 0 ? 0 : writer.addChannel(schema, topic, "cdr", report.error);
    }

    bool addChannels() {
        ids.points = channel(Ros2::pointCloud2(), "/kestone/points");
        ids.pose = channel(Ros2::poseStamped(), "/kestone/pose");
        ids.tf = channel(Ros2::tfMessage(), "/tf");
        ids.image = channel(Ros2::compressedImage(), "/kestone/camera/image/compressed");
        if (camera)
            ids.cameraInfo = channel(Ros2::cameraInfo(), "/kestone/camera/camera_info");
        return ids.points && ids.pose && ids.tf && ids.image && (!camera || ids.cameraInfo);
    }

    void advance(Stream &stream) {
        stream.pending = stream.reader.next(stream.next);
        if (progress)
            progress(base + offsets(), total);
    }

    uint64_t offsets() const {
        uint64_t sum = 0;
        for (const Stream &stream : streams)
            sum += stream.reader.offset();
        return sum;
    }

    // The stream whose next record is the earliest; ties go to the first.
    Stream *earliest() {
        Stream *first = nullptr;
        for (Stream &stream : streams)
            if (stream.pending && (first == nullptr || stream.next.seconds < first->next.seconds))
                first = &stream;
        return first;
    }

    bool put(uint16_t id, uint64_t time, const std::string &message) {
        return writer.write(id, time, time, message, report.error);
    }

    bool writeRecord(Stream &stream) {
        ++stream.read;
        const RecordView &record = stream.next;
        const uint64_t time = nanoseconds(record.seconds);
        const uint8_t *body = record.bytes.data() + RecordLayout::headerBytes;
        switch (stream.kind) {
        case RecordKind::Cloud:
            return writeCloud(record, time, body);
        case RecordKind::Pose:
            return writePose(record, time);
        case RecordKind::Image:
            break;
        }
        const RosHeader header{rosStamp(time), cameraFrame};
        ++report.images;
        return put(ids.image, time, Ros2::compressedImage(header, "jpeg", body, record.count)) &&
               (!camera || put(ids.cameraInfo, time, Ros2::cameraInfo(header, *camera)));
    }

    bool writeCloud(const RecordView &record, uint64_t time, const uint8_t *points) {
        report.pointsRead += record.count;
        if (record.count > largestCloud) {
            report.problems.push_back("clouds: cloud " + std::to_string(record.sequence) +
                                      " has more points than a PointCloud2 holds; left out");
            return true;
        }
        ++report.clouds;
        report.pointsWritten += record.count;
        return put(ids.points, time,
                   Ros2::pointCloud2({rosStamp(time), mapFrame}, points, record.count));
    }

    bool writePose(const RecordView &record, uint64_t time) {
        RosPose pose;
        if (!rosPose(record, pose)) {
            ++report.posesWithoutRotation;
            return true;
        }
        ++report.poses;
        const RosHeader header{rosStamp(time), mapFrame};
        return put(ids.pose, time, Ros2::poseStamped(header, pose)) &&
               put(ids.tf, time, Ros2::tfMessage(header, deviceFrame, pose));
    }

    const RecordingFiles &files;
    ExportReport &report;
    const ExportProgress &progress;
    uint64_t base, total;
    Stream streams[3] = {{RecordKind::Cloud, "clouds", {}, {}},
                         {RecordKind::Pose, "poses", {}, {}},
                         {RecordKind::Image, "images", {}, {}}};
    McapWriter writer;
    std::optional<RosCameraModel> camera;
    Channels ids;
};

} // namespace

std::string mcapFileName(const std::string &folder) {
    return fs::path(locateRecording(folder).folder).filename().string() + ".mcap";
}

bool exportMcap(const RecordingFiles &files, const std::string &path, ExportReport &report,
                const ExportProgress &progress, uint64_t base, uint64_t total) {
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty() && !makeExportFolder(parent.string(), report.error))
        return false;
    return McapExport(files, report, progress, base, total).run(path);
}
