// The records that the stream decoders build for the recorder while a
// recording is in progress, in the layouts of its three binary files: clouds
// (MT<time>.kvx), poses (KestPose.bin) and images (KestImage.bin). Every field
// is little-endian and packed; each file is a plain sequence of records. The
// recorder's writers take these vectors over as they are.
#pragma once

#include "recording/cloud_point.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace StreamDecoding {

// Cloud record: sequence (u32), time in seconds (f64), n (u32), then n points
// of x, y, z (f32, metres) and r, g, b (u8).
constexpr size_t CLOUD_RECORD_HEADER_BYTES = 16;
constexpr size_t CLOUD_RECORD_POINT_BYTES = 15;
// Pose record: sequence (u32), time in seconds (f64), position x, y, z and
// quaternion x, y, z, w as received (f32 each).
constexpr size_t POSE_RECORD_BYTES = 40;
constexpr size_t POSE_RECORD_VALUES = 7;
// Image record: sequence (u32), time in seconds (f64), m (u32), then m bytes of
// a complete JPEG file.
constexpr size_t IMAGE_RECORD_HEADER_BYTES = 16;
// Where a cloud or image record holds n or m; where a pose record's seven
// values start; where a recorded point's r, g, b start.
constexpr size_t RECORD_COUNT_AT = 12;
constexpr size_t POSE_RECORD_VALUES_AT = 12;
constexpr size_t CLOUD_POINT_COLOUR_AT = 12;
// image/cam_in_ex.txt until the calibration is converted, when a recording stops.
constexpr const char *PLACEHOLDER_CALIBRATION = "# camera intrinsics/extrinsics TBD\n";
// Added to a picture's time stamp before it is recorded: the device's offset.
constexpr uint64_t RECORDED_IMAGE_TIME_OFFSET_NS = 719060;

// Each returns a vector of exactly its record's size (capacity included).
std::vector<uint8_t> buildCloudRecord(uint32_t sequence, double seconds,
                                      const std::vector<CloudPoint> &points);
// values: px, py, pz, qx, qy, qz, qw.
std::vector<uint8_t> buildPoseRecord(uint32_t sequence, double seconds,
                                     const float (&values)[POSE_RECORD_VALUES]);
// jpeg: size readable bytes (size at most UINT32_MAX; the caller checks).
std::vector<uint8_t> buildImageRecord(uint32_t sequence, double seconds, const uint8_t *jpeg,
                                      uint32_t size);

} // namespace StreamDecoding
