// Stream decoding (see the header): the point cloud and odometry layouts as the
// application reads them, named once here, the decoders that read them, and
// the dispatch of a record to its decoder and its buffer.
#include "app/stream_decoding.h"

#include "app/stream_decoding_input.h"
#include "recording/record_layout.h"
#include "sdk/common/byte_order.h"
#include "sdk/logger/console.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

SwapBuffer<std::vector<CloudPoint>> g_slamCloudBuffer;
SwapBuffer<std::vector<CloudPoint>> g_dtofCloudBuffer;
SwapBuffer<cv::Mat> g_imageBuffer;
SwapBuffer<PoseRecord> g_poseBuffer;
SwapBuffer<WiwcRecord> g_wiwcBuffer;

namespace StreamDecoding {

namespace {

// SLAM cloud point: seven little-endian int32 words.
constexpr size_t slam_point_bytes = 28;
constexpr size_t slam_x = 0;
constexpr size_t slam_y = 4;
constexpr size_t slam_z = 8;
constexpr size_t slam_r = 12; // r, g, b: the low byte of each word
constexpr size_t slam_g = 16;
constexpr size_t slam_b = 20;
constexpr float slam_units_per_metre = 10000.0f; // units of 0.1 mm

// DTOF frame: float32 x, y, z in millimetres, then (count 3) a fourth float.
constexpr uint32_t dtof_compact_count = 4; // the record count of the compact form
constexpr size_t dtof_compact_point_bytes = 12;
constexpr size_t dtof_wide_point_bytes = 16;
constexpr size_t dtof_x = 0;
constexpr size_t dtof_y = 4;
constexpr size_t dtof_z = 8;
constexpr float dtof_mm_per_metre = 1000.0f;
// 16-bit intensities map linearly to grey: 10 and below to 0, 12500 and above to 255.
constexpr float dtof_intensity_floor = 10.0f;
constexpr float dtof_intensity_span = 12490.0f;
constexpr float grey_max = 255.0f;

// Odometry: the first 64 bytes of the record, eight little-endian 64-bit integers.
constexpr uint32_t odometry_record_bytes = 688;
constexpr uint32_t odometry_read_bytes = 64;
constexpr size_t odometry_time = 0;   // uint64, nanoseconds
constexpr size_t odometry_values = 8; // int64 px, py, pz, qx, qy, qz, qw, each x 1e6
constexpr double odometry_scale = 1000000.0;
constexpr float odometry_record_scale = 1000000.0f;
constexpr double nanoseconds_per_second = 1e9;

uint8_t grey_from_intensity(uint16_t value) {
    float grey =
        (static_cast<float>(value) - dtof_intensity_floor) * grey_max / dtof_intensity_span;
    return static_cast<uint8_t>(std::min(std::max(grey, 0.0f), grey_max));
}

uint32_t frame_label(const lidar_stream_entry_t &entry) {
    return static_cast<uint32_t>(entry.value1);
}

// Appends the valid ones of n points of PointBytes each from points, with grey
// values that grey(i) reads from the intensity entry. One pass, no allocation.
template <size_t PointBytes, typename Grey>
void append_dtof_points(std::vector<CloudPoint> &out, const uint8_t *points, size_t n,
                        uint32_t label, Grey grey) {
    for (size_t i = 0; i < n; ++i, points += PointBytes) {
        float px = get_le_float(points + dtof_x);
        float py = get_le_float(points + dtof_y);
        float pz = get_le_float(points + dtof_z);
        // A pixel without a return comes as (0, 0, 0); drawn, it would pile
        // up at the sensor. A non-finite one has no place at all.
        if ((px == 0 && py == 0 && pz == 0) || !std::isfinite(px) || !std::isfinite(py) ||
            !std::isfinite(pz))
            continue;
        uint8_t value = grey(i);
        CloudPoint point;
        point.x = pz / dtof_mm_per_metre;
        point.y = -px / dtof_mm_per_metre;
        point.z = py / dtof_mm_per_metre;
        point.r = point.g = point.b = point.intensity = value;
        point.label = label;
        out.push_back(point);
    }
}

} // namespace

StreamFlags streamFlagsFor(ScanMode mode, StreamFlags current) {
    switch (mode) {
    case ScanMode::SLAM:
        return StreamFlags{false, true};
    case ScanMode::DTOF:
        return StreamFlags{true, false};
    }
    return current;
}

DecodedCloud decodeSlamCloud(const lidar_stream_data_t &record, size_t entryIndex,
                             std::atomic<uint32_t> *cloudSeq) {
    DecodedCloud cloud;
    if (entryIndex >= LIDAR_MAX_ENTRIES) {
        log_drop(DropKind::SlamCloud,
                 "slam cloud entry %zu is past the record's %u entries; dropped", entryIndex,
                 LIDAR_MAX_ENTRIES);
        return cloud;
    }
    const lidar_stream_entry_t &entry = record.entries[entryIndex];
    size_t n = bytesPresent(entry) / slam_point_bytes;
    if (n == 0 && entry.size >= slam_point_bytes) {
        log_drop(DropKind::SlamCloud, "slam cloud entry of %u bytes has no data; dropped",
                 entry.size);
        return cloud;
    }
    // Both progress lines are read by users and scripts: kept verbatim.
    console_print("recv pc2xyzrgba num_points = %d.\n", static_cast<int>(n));

    cloud.points.reserve(n);
    uint32_t label = frame_label(entry);
    const uint8_t *p = entry.data;
    for (size_t i = 0; i < n; ++i, p += slam_point_bytes) {
        CloudPoint point;
        point.x = static_cast<float>(get_le32s(p + slam_x)) / slam_units_per_metre;
        point.y = static_cast<float>(get_le32s(p + slam_y)) / slam_units_per_metre;
        point.z = static_cast<float>(get_le32s(p + slam_z)) / slam_units_per_metre;
        point.r = static_cast<uint8_t>(get_le32(p + slam_r));
        point.g = static_cast<uint8_t>(get_le32(p + slam_g));
        point.b = static_cast<uint8_t>(get_le32(p + slam_b));
        point.intensity = 0;
        point.label = label;
        cloud.points.push_back(point);
    }
    console_print("cloud size = %zu.\n", cloud.points.size());

    if (cloudSeq != nullptr && n > 0) {
        double seconds = static_cast<double>(entry.timestamp) / nanoseconds_per_second;
        cloud.record = buildCloudRecord(cloudSeq->fetch_add(1), seconds, cloud.points);
    }
    return cloud;
}

std::vector<CloudPoint> decodeDtofCloud(const lidar_stream_data_t &record, size_t pointEntry) {
    std::vector<CloudPoint> points;
    if (pointEntry + 1 >= LIDAR_MAX_ENTRIES) {
        log_drop(DropKind::DtofFrame,
                 "dtof point entry %zu leaves no intensity entry in the record's %u; dropped",
                 pointEntry, LIDAR_MAX_ENTRIES);
        return points;
    }
    const lidar_stream_entry_t &pointsEntry = record.entries[pointEntry];
    const lidar_stream_entry_t &intensityEntry = record.entries[pointEntry + 1];
    auto cols = static_cast<int32_t>(pointsEntry.param1);
    auto rows = static_cast<int32_t>(pointsEntry.param2);
    if (cols == 0 || rows == 0)
        return points;
    if (cols < 0 || rows < 0) {
        log_drop(DropKind::DtofFrame,
                 "dtof frame of %d x %d points has a negative dimension; dropped", cols, rows);
        return points;
    }

    bool compact = record.count == dtof_compact_count;
    size_t pointBytes = compact ? dtof_compact_point_bytes : dtof_wide_point_bytes;
    size_t intensityBytes = compact ? sizeof(uint8_t) : sizeof(uint16_t);
    // At most (2^31 - 1)^2: no overflow in 64 bits. Compared by division, so
    // the byte counts are never formed.
    uint64_t n = static_cast<uint64_t>(cols) * static_cast<uint64_t>(rows);
    uint32_t pointsPresent = bytesPresent(pointsEntry);
    uint32_t intensitiesPresent = bytesPresent(intensityEntry);
    if (n > pointsPresent / pointBytes) {
        log_drop(DropKind::DtofFrame,
                 "dtof frame of %d x %d points does not fit the %u bytes of its point entry "
                 "(%zu per point); dropped",
                 cols, rows, pointsPresent, pointBytes);
        return points;
    }
    if (n > intensitiesPresent / intensityBytes) {
        log_drop(DropKind::DtofFrame,
                 "dtof frame of %d x %d points does not fit the %u bytes of its intensity "
                 "entry (%zu per point); dropped",
                 cols, rows, intensitiesPresent, intensityBytes);
        return points;
    }

    points.reserve(n);
    uint32_t label = frame_label(pointsEntry);
    const uint8_t *intensities = intensityEntry.data;
    if (compact)
        append_dtof_points<dtof_compact_point_bytes>(
            points, pointsEntry.data, n, label, [intensities](size_t i) { return intensities[i]; });
    else
        append_dtof_points<dtof_wide_point_bytes>(
            points, pointsEntry.data, n, label,
            [intensities](size_t i) { return grey_from_intensity(get_le16(intensities + 2 * i)); });
    return points;
}

DecodedPose decodePose(const lidar_stream_data_t &record, std::atomic<uint32_t> *poseSeq) {
    DecodedPose result;
    const lidar_stream_entry_t &entry = record.entries[0];
    if (entry.size != odometry_record_bytes && entry.size != odometry_read_bytes) {
        log_drop(DropKind::Odometry,
                 "odometry entry of %u bytes is neither %u nor %u bytes; dropped", entry.size,
                 odometry_record_bytes, odometry_read_bytes);
        return result;
    }
    if (bytesPresent(entry) < odometry_read_bytes) {
        log_drop(DropKind::Odometry, "odometry entry of %u bytes has no data; dropped", entry.size);
        return result;
    }
    uint64_t time = get_le64(entry.data + odometry_time);
    int64_t v[POSE_RECORD_VALUES]; // px, py, pz, qx, qy, qz, qw
    for (size_t i = 0; i < POSE_RECORD_VALUES; ++i)
        v[i] = get_le64s(entry.data + odometry_values + 8 * i);

    if (poseSeq != nullptr) {
        float values[POSE_RECORD_VALUES];
        for (size_t i = 0; i < POSE_RECORD_VALUES; ++i)
            values[i] = static_cast<float>(v[i]) / odometry_record_scale;
        result.record = buildPoseRecord(poseSeq->fetch_add(1),
                                        static_cast<double>(time) / nanoseconds_per_second, values);
    }
    auto scaled = [&v](size_t i) { return static_cast<double>(v[i]) / odometry_scale; };
    result.pose = makePose(scaled(0), scaled(1), scaled(2), scaled(6), scaled(3), scaled(4),
                           scaled(5), static_cast<double>(time));
    return result;
}

PoseRecord makePose(double px, double py, double pz, double qw, double qx, double qy, double qz,
                    double time) {
    double norm = qx * qx + qy * qy + qz * qz + qw * qw;
    if (norm > 0.0) {
        double length = std::sqrt(norm);
        qx /= length;
        qy /= length;
        qz /= length;
        qw /= length;
    }
    PoseRecord pose;
    pose.time = time;
    double *r = pose.rotation;              // column-major
    r[0] = 1.0 - 2.0 * (qy * qy + qz * qz); // R00
    r[1] = 2.0 * (qx * qy + qz * qw);       // R10
    r[2] = 2.0 * (qx * qz - qy * qw);       // R20
    r[3] = 2.0 * (qx * qy - qz * qw);       // R01
    r[4] = 1.0 - 2.0 * (qx * qx + qz * qz); // R11
    r[5] = 2.0 * (qy * qz + qx * qw);       // R21
    r[6] = 2.0 * (qx * qz + qy * qw);       // R02
    r[7] = 2.0 * (qy * qz - qx * qw);       // R12
    r[8] = 1.0 - 2.0 * (qx * qx + qy * qy); // R22
    pose.translation[0] = px;
    pose.translation[1] = py;
    pose.translation[2] = pz;
    return pose;
}

bool copyWiwc(const lidar_stream_entry_t &entry, WiwcRecord &out) {
    if (entry.size != WIWC_RECORD_BYTES)
        return false;
    if (entry.data == nullptr) {
        log_drop(DropKind::Wiwc, "wiwc entry of %u bytes has no data; dropped", entry.size);
        return false;
    }
    memcpy(out.data(), entry.data, WIWC_RECORD_BYTES);
    return true;
}

void decodeStreamRecord(const lidar_stream_data_t &record, StreamFlags flags,
                        const RecordingTarget *recording, FrameListener *listener) {
    auto hand = [](const RecordWriter &writer, std::vector<uint8_t> &&built) {
        if (writer && !built.empty())
            writer(std::move(built));
    };
    switch (record.type) {
    case LIDAR_STREAM_IMAGE: {
        DecodedImage image =
            decodeImage(record.entries[0], recording ? &recording->imageSeq : nullptr);
        if (recording)
            hand(recording->imageWriter, std::move(image.record));
        if (image.image.empty())
            break;
        if (listener != nullptr)
            listener->image(record.entries[0].timestamp, image.image);
        g_imageBuffer.publish(std::move(image.image));
        break;
    }
    case LIDAR_STREAM_IMU:
        break;
    case LIDAR_STREAM_DTOF:
        if (flags.dtofEnabled) {
            std::vector<CloudPoint> points = decodeDtofCloud(record);
            if (points.empty())
                break;
            if (listener != nullptr)
                listener->cloud(FrameListener::CloudKind::Dtof, record.entries[0].timestamp,
                                points);
            g_dtofCloudBuffer.publish(std::move(points));
        }
        break;
    case LIDAR_STREAM_SLAM_CLOUD:
        if (flags.slamEnabled) {
            DecodedCloud cloud =
                decodeSlamCloud(record, 0, recording ? &recording->cloudSeq : nullptr);
            if (recording)
                hand(recording->cloudWriter, std::move(cloud.record));
            if (cloud.points.empty())
                break;
            if (listener != nullptr)
                listener->cloud(FrameListener::CloudKind::Slam, record.entries[0].timestamp,
                                cloud.points);
            g_slamCloudBuffer.publish(std::move(cloud.points));
        }
        break;
    case LIDAR_STREAM_ODOMETRY:
    case LIDAR_STREAM_HF_ODOMETRY: {
        // Only plain odometry is recorded.
        bool recordable = recording && record.type == LIDAR_STREAM_ODOMETRY;
        DecodedPose pose = decodePose(record, recordable ? &recording->poseSeq : nullptr);
        if (recordable)
            hand(recording->poseWriter, std::move(pose.record));
        if (!pose.pose)
            break;
        if (listener != nullptr && record.type == LIDAR_STREAM_ODOMETRY)
            listener->pose(*pose.pose);
        g_poseBuffer.publish(*pose.pose);
        break;
    }
    case LIDAR_STREAM_DEVICE_INFO:
        printDeviceInfo(record.entries[0]);
        break;
    case LIDAR_STREAM_WIWC: {
        WiwcRecord wiwc;
        if (copyWiwc(record.entries[0], wiwc))
            g_wiwcBuffer.publish(wiwc);
        break;
    }
    default:
        // Kept verbatim: readers of standard output rely on it.
        console_print("[Lidar] Unknown data type: %u\n", record.type);
        break;
    }
}

} // namespace StreamDecoding
