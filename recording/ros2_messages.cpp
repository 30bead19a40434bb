#include "recording/ros2_messages.h"

#include "sdk/common/byte_order.h"

#include <cstring>
#include <limits>

namespace {

constexpr size_t cdrHeaderBytes = 4;
constexpr uint8_t float32Type = 7; // sensor_msgs/PointField FLOAT32
constexpr uint32_t cloudPointBytes = 16;
constexpr size_t recordedPointBytes = 15, recordedColourAt = 12;

// Appends CDR values to a message, each aligned to its size from the end of
// the encapsulation header.
class CdrWriter {
public:
    CdrWriter() { out.assign({'\0', '\1', '\0', '\0'}); } // CDR, little-endian

    void u8(uint8_t value) { out += static_cast<char>(value); }
    void u32(uint32_t value) { put(value); }
    void i32(int32_t value) { put(value); }
    void f64(double value) { put(value); }
    void text(const std::string &value) { // length with its NUL, the bytes, the NUL
        u32(static_cast<uint32_t>(value.size() + 1));
        out.append(value.c_str(), value.size() + 1);
    }
    // A uint8[] of size bytes whose contents the caller writes at the result.
    uint8_t *bytes(size_t size) {
        u32(static_cast<uint32_t>(size));
        const size_t at = out.size();
        out.resize(at + size);
        return reinterpret_cast<uint8_t *>(&out[at]);
    }
    void header(const RosHeader &header) {
        i32(header.stamp.sec);
        u32(header.stamp.nanosec);
        text(header.frameId);
    }
    void pose(const RosPose &pose) {
        for (double v : pose.position)
            f64(v);
        for (double v : pose.orientation)
            f64(v);
    }
    std::string take() { return std::move(out); }

private:
    template <typename T>
    void put(T value) {
        while ((out.size() - cdrHeaderBytes) % sizeof(T) != 0)
            out += '\0';
        uint8_t bytes[sizeof(T)];
        if constexpr (sizeof(T) == 4) {
            uint32_t bits;
            std::memcpy(&bits, &value, sizeof bits);
            put_le32(bytes, bits);
        } else {
            uint64_t bits;
            std::memcpy(&bits, &value, sizeof bits);
            put_le64(bytes, bits);
        }
        out.append(reinterpret_cast<const char *>(bytes), sizeof(T));
    }

    std::string out;
};

const char *const separator = "\n================================================================"
                              "================\nMSG: ";

const char *const headerDefinition = "builtin_interfaces/Time stamp\nstring frame_id";
const char *const timeDefinition = "int32 sec\nuint32 nanosec";
const char *const poseDefinition =
    "geometry_msgs/Point position\ngeometry_msgs/Quaternion orientation";
const char *const pointDefinition = "float64 x\nfloat64 y\nfloat64 z";
const char *const quaternionDefinition = "float64 x\nfloat64 y\nfloat64 z\nfloat64 w";

struct Dependency {
    const char *name;
    const char *definition;
};

std::string definition(const char *own, std::initializer_list<Dependency> uses) {
    std::string text = own;
    for (const Dependency &use : uses)
        text += separator + std::string(use.name) + '\n' + use.definition;
    return text + '\n';
}

const Dependency header{"std_msgs/Header", headerDefinition};
const Dependency time{"builtin_interfaces/Time", timeDefinition};

} // namespace

RosStamp rosStamp(uint64_t nanoseconds) {
    constexpr uint64_t perSecond = 1000000000;
    const uint64_t seconds = nanoseconds / perSecond;
    if (seconds > uint64_t(std::numeric_limits<int32_t>::max()))
        return {std::numeric_limits<int32_t>::max(), uint32_t(perSecond - 1)};
    return {static_cast<int32_t>(seconds), static_cast<uint32_t>(nanoseconds % perSecond)};
}

namespace Ros2 {

MessageType pointCloud2() {
    return {"sensor_msgs/msg/PointCloud2",
            definition("std_msgs/Header header\nuint32 height\nuint32 width\n"
                       "sensor_msgs/PointField[] fields\nbool is_bigendian\nuint32 point_step\n"
                       "uint32 row_step\nuint8[] data\nbool is_dense",
                       {header,
                        time,
                        {"sensor_msgs/PointField",
                         "uint8 INT8=1\nuint8 UINT8=2\nuint8 INT16=3\nuint8 UINT16=4\n"
                         "uint8 INT32=5\nuint8 UINT32=6\nuint8 FLOAT32=7\nuint8 FLOAT64=8\n"
                         "string name\nuint32 offset\nuint8 datatype\nuint32 count"}})};
}

MessageType poseStamped() {
    return {"geometry_msgs/msg/PoseStamped",
            definition("std_msgs/Header header\ngeometry_msgs/Pose pose",
                       {header,
                        time,
                        {"geometry_msgs/Pose", poseDefinition},
                        {"geometry_msgs/Point", pointDefinition},
                        {"geometry_msgs/Quaternion", quaternionDefinition}})};
}

MessageType tfMessage() {
    return {"tf2_msgs/msg/TFMessage",
            definition("geometry_msgs/TransformStamped[] transforms",
                       {{"geometry_msgs/TransformStamped",
                         "std_msgs/Header header\nstring child_frame_id\n"
                         "geometry_msgs/Transform transform"},
                        header,
                        time,
                        {"geometry_msgs/Transform", "geometry_msgs/Vector3 translation\n"
                                                    "geometry_msgs/Quaternion rotation"},
                        {"geometry_msgs/Vector3", pointDefinition},
                        {"geometry_msgs/Quaternion", quaternionDefinition}})};
}

MessageType compressedImage() {
    return {"sensor_msgs/msg/CompressedImage",
            definition("std_msgs/Header header\nstring format\nuint8[] data", {header, time})};
}

MessageType cameraInfo() {
    return {"sensor_msgs/msg/CameraInfo",
            definition("std_msgs/Header header\nuint32 height\nuint32 width\n"
                       "string distortion_model\nfloat64[] d\nfloat64[9] k\nfloat64[9] r\n"
                       "float64[12] p\nuint32 binning_x\nuint32 binning_y\n"
                       "sensor_msgs/RegionOfInterest roi",
                       {header,
                        time,
                        {"sensor_msgs/RegionOfInterest", "uint32 x_offset\nuint32 y_offset\n"
                                                         "uint32 height\nuint32 width\n"
                                                         "bool do_rectify"}})};
}

std::string pointCloud2(const RosHeader &header, const uint8_t *points, uint32_t count) {
    CdrWriter cdr;
    cdr.header(header);
    cdr.u32(1);
    cdr.u32(count);
    cdr.u32(4);
    const char *const names[] = {"x", "y", "z", "rgb"};
    for (uint32_t i = 0; i < 4; ++i) {
        cdr.text(names[i]);
        cdr.u32(4 * i);
        cdr.u8(float32Type);
        cdr.u32(1);
    }
    cdr.u8(0); // little-endian
    cdr.u32(cloudPointBytes);
    cdr.u32(cloudPointBytes * count);
    uint8_t *to = cdr.bytes(size_t{cloudPointBytes} * count);
    for (uint32_t i = 0; i < count; ++i, to += cloudPointBytes, points += recordedPointBytes) {
        std::memcpy(to, points, recordedColourAt);
        const uint8_t *rgb = points + recordedColourAt;
        put_le32(to + recordedColourAt, uint32_t(rgb[0]) << 16 | uint32_t(rgb[1]) << 8 | rgb[2]);
    }
    cdr.u8(1); // dense: the device sends no invalid points
    return cdr.take();
}

std::string poseStamped(const RosHeader &header, const RosPose &pose) {
    CdrWriter cdr;
    cdr.header(header);
    cdr.pose(pose);
    return cdr.take();
}

std::string tfMessage(const RosHeader &header, const std::string &childFrame, const RosPose &pose) {
    CdrWriter cdr;
    cdr.u32(1);
    cdr.header(header);
    cdr.text(childFrame);
    cdr.pose(pose); // translation and rotation: the same doubles as a pose
    return cdr.take();
}

std::string compressedImage(const RosHeader &header, const std::string &format, const uint8_t *data,
                            size_t size) {
    CdrWriter cdr;
    cdr.header(header);
    cdr.text(format);
    if (size > 0)
        std::memcpy(cdr.bytes(size), data, size);
    else
        cdr.bytes(0);
    return cdr.take();
}

std::string cameraInfo(const RosHeader &header, const RosCameraModel &camera) {
    CdrWriter cdr;
    cdr.header(header);
    cdr.u32(camera.height);
    cdr.u32(camera.width);
    cdr.text(camera.distortionModel);
    cdr.u32(static_cast<uint32_t>(camera.d.size()));
    for (double v : camera.d)
        cdr.f64(v);
    for (double v : camera.k)
        cdr.f64(v);
    for (double v : camera.r)
        cdr.f64(v);
    for (double v : camera.p)
        cdr.f64(v);
    cdr.u32(1); // binning: none
    cdr.u32(1);
    for (int i = 0; i < 4; ++i) // region of interest: the whole picture
        cdr.u32(0);
    cdr.u8(0);
    return cdr.take();
}

} // namespace Ros2
