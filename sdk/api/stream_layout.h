// Where the fields of the device's buffer header and of the SLAM synchronizer's
// samples lie, named once. The buffer header (36 bytes, big-endian) leads every
// image, DTOF frame and SLAM cloud payload from the device; a SLAM sample is the
// layer's own copy of a cloud's header fields (36 bytes, little-endian) followed
// by its points, as the synchronizer carries it to the SLAM cloud assembly.
#pragma once

#include "sdk/api/api.h"
#include "sdk/sync/n_stream_sync.h"

#include <cstddef>
#include <cstdint>

constexpr size_t BUFFER_HEADER_BYTES = 36;

// Fills size, value1, timestamp, timestamp2, param1 and param2 from a buffer
// header; at least BUFFER_HEADER_BYTES must be readable at header.
void read_buffer_header(const uint8_t *header, lidar_stream_entry_t &entry);

constexpr size_t SLAM_SAMPLE_HEADER_BYTES = 36;

// Writes the header fields of entry at the start of a SLAM sample (room for
// SLAM_SAMPLE_HEADER_BYTES), and reads them back.
void write_slam_sample_header(uint8_t *sample, const lidar_stream_entry_t &entry);
void read_slam_sample_header(const uint8_t *sample, lidar_stream_entry_t &entry);

// The SLAM synchronizer's streams, in the order its configuration lists them.
enum slam_stream : size_t {
    SLAM_STREAM_CLOUD = 0,
    SLAM_STREAM_ODOMETRY = 1,
    SLAM_STREAM_WIWC = 2,
    SLAM_STREAM_COUNT = 3,
};

// The SLAM synchronizer's configuration: cloud and odometry required, the
// latest wiwc optional; 50 ms tolerance, 32 samples a stream, the oldest
// dropped, 1 s jump threshold, time stamps in nanoseconds.
zev_sync::sync_config slam_sync_config();
