// Arbitrary stream records into the application's decoders, with both cloud
// streams enabled and a recording in progress whose writers discard what they
// get. The first byte picks the record type, the second the entry count; each
// entry then takes a header (param1, param2, value1 and a 16-bit size) and as
// many of the following bytes as its size asks for, in a buffer of its own, so
// that a read past an entry is caught.
#include "app/stream_decoding.h"
#include "sdk/logger/logger.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const uint32_t types[] = {LIDAR_STREAM_IMAGE,       LIDAR_STREAM_IMU,      LIDAR_STREAM_DTOF,
                          LIDAR_STREAM_SLAM_CLOUD,  LIDAR_STREAM_ODOMETRY, LIDAR_STREAM_DEVICE_INFO,
                          LIDAR_STREAM_HF_ODOMETRY, LIDAR_STREAM_WIWC,     1};
constexpr size_t entry_header_bytes = 14;

int silent(const char *, ...) {
    return 0;
}

uint32_t take32(const uint8_t *&data, size_t &size) {
    uint32_t value = 0;
    size_t n = size < 4 ? size : 4;
    memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    log_config(KEST_LOG_VALUE_ERROR, silent);
    // The decoders' progress lines would drown the fuzzer's own output.
    return freopen("/dev/null", "w", stdout) != nullptr ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    lidar_stream_data_t record{};
    record.type = types[data[0] % (sizeof types / sizeof types[0])];
    record.count = data[1] % (LIDAR_MAX_ENTRIES + 1);
    data += 2;
    size -= 2;
    std::vector<std::vector<uint8_t>> buffers(record.count);
    for (uint32_t i = 0; i < record.count && size >= entry_header_bytes; ++i) {
        lidar_stream_entry_t &entry = record.entries[i];
        entry.param1 = take32(data, size);
        entry.param2 = take32(data, size);
        entry.value1 = take32(data, size);
        uint32_t wanted = uint32_t(data[0]) | uint32_t(data[1]) << 8;
        data += 2;
        size -= 2;
        size_t n = wanted < size ? wanted : size;
        buffers[i].assign(data, data + n);
        entry.size = static_cast<uint32_t>(n);
        entry.data = n > 0 ? buffers[i].data() : nullptr;
        data += n;
        size -= n;
    }
    std::atomic<uint32_t> poses{0}, clouds{0}, images{0};
    auto discard = [](std::vector<uint8_t> &&) {};
    StreamDecoding::RecordingTarget recording{poses, clouds, images, discard, discard, discard};
    StreamDecoding::decodeStreamRecord(record, StreamDecoding::StreamFlags{true, true}, &recording);
    return 0;
}
