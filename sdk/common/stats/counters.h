// Process-wide counts of what the device layer had to give up, kept where it
// happens (transport, protocol, dispatch, callback queue) and read through
// lidar_get_statistics, so that a host can show whether it keeps up without
// parsing log lines. Lock-free; any thread.
#pragma once

#include <cstdint>

namespace sdk_counters {

// Frames, groups and messages from the device dropped as malformed or unusable.
void count_device_drop();
// Stream records never delivered: the stream callback fell behind, or they
// were still queued when their device went or the layer stopped.
void count_callback_drop();
// SLAM clouds given up on the host: unmatched, cleared or not movable.
void count_cloud_drops(uint64_t count);
// A device seen on the bus that could not be opened or claimed; error is the
// libusb error code (negative).
void count_open_failure(int error);

struct snapshot {
    uint64_t device_drops;
    uint64_t callback_drops;
    uint64_t cloud_drops;
    uint64_t open_failures;
    int last_open_error;
};
snapshot read();
// Back to zero, as at a fresh start of the layer.
void reset();

} // namespace sdk_counters
