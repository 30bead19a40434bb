// The recorder's record layouts (see the header), named here once.
#include "recording/record_layout.h"

#include "sdk/common/byte_order.h"

#include <cstring>

namespace StreamDecoding {

namespace {

// Common head of the three records.
constexpr size_t record_sequence = 0;
constexpr size_t record_seconds = 4;
constexpr size_t record_count = RECORD_COUNT_AT; // n points or m JPEG bytes

// Cloud point, from the start of the point.
constexpr size_t point_x = 0;
constexpr size_t point_y = 4;
constexpr size_t point_z = 8;
constexpr size_t point_r = CLOUD_POINT_COLOUR_AT;
constexpr size_t point_g = 13;
constexpr size_t point_b = 14;
static_assert(point_b + 1 == CLOUD_RECORD_POINT_BYTES, "a recorded point is 15 bytes");

// Pose: the seven floats follow the time.
constexpr size_t pose_values = POSE_RECORD_VALUES_AT;
static_assert(pose_values + 4 * POSE_RECORD_VALUES == POSE_RECORD_BYTES,
              "a pose record is 40 bytes");

void put_float(uint8_t *p, float value) {
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    put_le32(p, bits);
}

void put_double(uint8_t *p, double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    put_le64(p, bits);
}

void put_head(uint8_t *record, uint32_t sequence, double seconds) {
    put_le32(record + record_sequence, sequence);
    put_double(record + record_seconds, seconds);
}

} // namespace

std::vector<uint8_t> buildCloudRecord(uint32_t sequence, double seconds,
                                      const std::vector<CloudPoint> &points) {
    std::vector<uint8_t> record(CLOUD_RECORD_HEADER_BYTES +
                                CLOUD_RECORD_POINT_BYTES * points.size());
    put_head(record.data(), sequence, seconds);
    put_le32(record.data() + record_count, static_cast<uint32_t>(points.size()));
    uint8_t *p = record.data() + CLOUD_RECORD_HEADER_BYTES;
    for (const CloudPoint &point : points) {
        put_float(p + point_x, point.x);
        put_float(p + point_y, point.y);
        put_float(p + point_z, point.z);
        p[point_r] = point.r;
        p[point_g] = point.g;
        p[point_b] = point.b;
        p += CLOUD_RECORD_POINT_BYTES;
    }
    return record;
}

std::vector<uint8_t> buildPoseRecord(uint32_t sequence, double seconds,
                                     const float (&values)[POSE_RECORD_VALUES]) {
    std::vector<uint8_t> record(POSE_RECORD_BYTES);
    put_head(record.data(), sequence, seconds);
    for (size_t i = 0; i < POSE_RECORD_VALUES; ++i)
        put_float(record.data() + pose_values + 4 * i, values[i]);
    return record;
}

std::vector<uint8_t> buildImageRecord(uint32_t sequence, double seconds, const uint8_t *jpeg,
                                      uint32_t size) {
    std::vector<uint8_t> record(IMAGE_RECORD_HEADER_BYTES + static_cast<size_t>(size));
    put_head(record.data(), sequence, seconds);
    put_le32(record.data() + record_count, size);
    if (size > 0)
        memcpy(record.data() + IMAGE_RECORD_HEADER_BYTES, jpeg, size);
    return record;
}

} // namespace StreamDecoding
