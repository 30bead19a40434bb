// The ROS 2 messages of an MCAP export, in CDR as ROS 2 publishes them
// (little-endian, XCDR1 plain, the 4-byte encapsulation header first), and
// their definitions as ROS 2 tools expect them in a schema: the message's own
// .msg text, then each type it uses after a line of 80 '=' and "MSG: name".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct RosStamp {
    int32_t sec = 0;
    uint32_t nanosec = 0;
};
// A time in nanoseconds as builtin_interfaces/Time (seconds beyond 2^31 - 1 saturate).
RosStamp rosStamp(uint64_t nanoseconds);

struct RosHeader {
    RosStamp stamp;
    std::string frameId;
};

struct RosPose {
    std::array<double, 3> position{};
    std::array<double, 4> orientation{0, 0, 0, 1}; // x, y, z, w
};

// What sensor_msgs/CameraInfo carries of a calibrated camera.
struct RosCameraModel {
    uint32_t width = 0, height = 0;
    std::string distortionModel;
    std::vector<double> d;
    std::array<double, 9> k{}, r{};
    std::array<double, 12> p{};
};

namespace Ros2 {

// The schema names (as MCAP's ros2 profile names them) and definitions.
struct MessageType {
    const char *name;
    std::string definition;
};
MessageType pointCloud2();
MessageType poseStamped();
MessageType tfMessage();
MessageType compressedImage();
MessageType cameraInfo();

// sensor_msgs/PointCloud2 of count points in the recorded layout (x y z f32,
// r g b u8): fields x, y, z (FLOAT32) and rgb (FLOAT32 whose bits are
// 0x00RRGGBB, as PCL and RViz read it), 16 bytes a point, one row.
std::string pointCloud2(const RosHeader &header, const uint8_t *points, uint32_t count);
std::string poseStamped(const RosHeader &header, const RosPose &pose);
// tf2_msgs/TFMessage with one transform: childFrame's pose in the header's frame.
std::string tfMessage(const RosHeader &header, const std::string &childFrame, const RosPose &pose);
std::string compressedImage(const RosHeader &header, const std::string &format, const uint8_t *data,
                            size_t size);
std::string cameraInfo(const RosHeader &header, const RosCameraModel &camera);

} // namespace Ros2
