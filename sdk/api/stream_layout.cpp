// The buffer header and SLAM sample layouts (see the header).
#include "sdk/api/stream_layout.h"

#include "sdk/common/byte_order.h"

namespace {

// Buffer header, big-endian.
constexpr size_t header_size = 0;
constexpr size_t header_value1 = 4;
constexpr size_t header_timestamp = 12;
constexpr size_t header_timestamp2 = 20;
constexpr size_t header_param1 = 28;
constexpr size_t header_param2 = 32;
static_assert(header_param2 + 4 == BUFFER_HEADER_BYTES, "the buffer header is 36 bytes");

// SLAM sample header, little-endian.
constexpr size_t sample_timestamp = 0;
constexpr size_t sample_value1 = 8;
constexpr size_t sample_timestamp2 = 16;
constexpr size_t sample_size = 24;
constexpr size_t sample_param1 = 28;
constexpr size_t sample_param2 = 32;
static_assert(sample_param2 + 4 == SLAM_SAMPLE_HEADER_BYTES, "the sample header is 36 bytes");

} // namespace

void read_buffer_header(const uint8_t *header, lidar_stream_entry_t &entry) {
    entry.size = get_be32(header + header_size);
    entry.value1 = get_be64(header + header_value1);
    entry.timestamp = get_be64(header + header_timestamp);
    entry.timestamp2 = get_be64(header + header_timestamp2);
    entry.param1 = get_be32(header + header_param1);
    entry.param2 = get_be32(header + header_param2);
}

void write_slam_sample_header(uint8_t *sample, const lidar_stream_entry_t &entry) {
    put_le64(sample + sample_timestamp, entry.timestamp);
    put_le64(sample + sample_value1, entry.value1);
    put_le64(sample + sample_timestamp2, entry.timestamp2);
    put_le32(sample + sample_size, entry.size);
    put_le32(sample + sample_param1, entry.param1);
    put_le32(sample + sample_param2, entry.param2);
}

void read_slam_sample_header(const uint8_t *sample, lidar_stream_entry_t &entry) {
    entry.timestamp = get_le64(sample + sample_timestamp);
    entry.value1 = get_le64(sample + sample_value1);
    entry.timestamp2 = get_le64(sample + sample_timestamp2);
    entry.size = get_le32(sample + sample_size);
    entry.param1 = get_le32(sample + sample_param1);
    entry.param2 = get_le32(sample + sample_param2);
}

zev_sync::sync_config slam_sync_config() {
    zev_sync::sync_config config;
    config.stream_count = SLAM_STREAM_COUNT;
    config.policies = {zev_sync::REQUIRED, zev_sync::REQUIRED, zev_sync::OPTIONAL_LATEST};
    config.match_tolerance_ns = 50000000;
    config.queue_capacity = 32;
    config.drop_oldest = true;
    config.jump_threshold = 1000000000;
    config.unit_ratio = 1000000;
    return config;
}
