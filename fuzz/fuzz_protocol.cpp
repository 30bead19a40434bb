// What the protocol layer reads from the device: arbitrary messages into the
// sender's data path (with and without a caller waiting for an answer), and
// arbitrary file data messages into the calibration file handler. The first
// input byte chooses: bit 0 a waiter, bit 1 the file handler, bit 2 the file
// chunk's offset and size as they come (else brought into a small file).
#include "sdk/comm/protocol/protocol.h"
#include "sdk/common/byte_order.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t file_payload_len = 3146173;

zev_sdk::sender &the_sender() {
    static zev_sdk::sender *instance = new zev_sdk::sender();
    return *instance;
}

// On tmpfs where there is one: the handler writes and hashes a file per input.
// Removed with its file when the fuzzer exits, as tmpfs is memory.
char made_dir[64] = {};

void remove_scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(made_dir, ignored);
}

const std::string &scratch_dir() {
    static const std::string dir = [] {
        const bool shm = access("/dev/shm", W_OK) == 0;
        snprintf(made_dir, sizeof made_dir, "%s/kest_fuzz_protocol_XXXXXX",
                 shm ? "/dev/shm" : "/tmp");
        if (mkdtemp(made_dir) == nullptr)
            return std::string("/tmp");
        atexit(remove_scratch);
        return std::string(made_dir);
    }();
    return dir;
}

void feed_data_path(const uint8_t *data, size_t size, bool waiter) {
    zev_sdk::sender &s = the_sender();
    if (waiter)
        s.expect_answer(1);
    // A heap block of exactly the received length, as the transport hands it up.
    std::unique_ptr<uint8_t[]> message(new uint8_t[size > 0 ? size : 1]);
    if (size > 0)
        memcpy(message.get(), data, size);
    zev_sdk::sender::dxfer_evt_cb(1, XFER_EVENT_DATA, message.get(), static_cast<uint32_t>(size));
}

// The chunk's layout in a file message, as the device sends it.
constexpr size_t chunk_offset_offset = 16, chunk_offset_size = 24;
constexpr uint64_t chunk_data_area = 3145728;
// The handler hashes the file it wrote, and a file of megabytes takes the
// instrumented hash milliseconds: files stay this small unless raw.
constexpr uint64_t small_file = 4096;

// One file message, kept between inputs: allocating and clearing its 3 MB for
// every input held the target to a few hundred inputs a second. Only the bytes
// the last input wrote are cleared.
struct file_message {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(CMD_HEADER_SIZE + file_payload_len, 0);
    size_t written = 0; // payload bytes the last input set
};

// The chunk's offset and size: brought into a small file, or (raw) left as
// they came; a raw chunk that the handler would take and that ends past a
// small file is skipped, as it runs the small file's code over more bytes.
bool shape_chunk(uint8_t *chunk, bool raw) {
    const uint64_t offset = get_le64(chunk + chunk_offset_offset);
    const uint64_t size = get_le32(chunk + chunk_offset_size);
    if (raw)
        return offset > chunk_data_area || size > chunk_data_area ||
               offset + size > chunk_data_area || offset + size <= small_file;
    put_le64(chunk + chunk_offset_offset, offset % small_file);
    put_le32(chunk + chunk_offset_size,
             static_cast<uint32_t>(size % (small_file - offset % small_file + 1)));
    return true;
}

void feed_file_handler(const uint8_t *data, size_t size, bool raw) {
    // The handler sees only messages whose length matched their header; the
    // fuzzer picks the type and the file chunk's content.
    static file_message held;
    uint8_t *message = held.bytes.data();
    memset(message + CMD_HEADER_SIZE, 0, held.written);
    put_be16(message, size > 0 ? static_cast<uint16_t>(15 + (data[0] & 3)) : CMD_FILE_DATA);
    put_be32(message + CMD_OFFSET_PAYLOAD_LEN, file_payload_len);
    held.written = size > 1 ? std::min(size - 1, static_cast<size_t>(file_payload_len)) : 0;
    if (held.written > 0)
        memcpy(message + CMD_HEADER_SIZE, data + 1, held.written);
    held.written = std::max(held.written, chunk_offset_size + 4); // shape_chunk may write there
    if (!shape_chunk(message + CMD_HEADER_SIZE, raw))
        return;
    zev_sdk::sender &s = the_sender();
    if (s.open_recv_file(scratch_dir().c_str()) == 0)
        s.recv_small_file_handler(message);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    uint8_t mode = data[0];
    if (mode & 2)
        feed_file_handler(data + 1, size - 1, (mode & 4) != 0);
    else
        feed_data_path(data + 1, size - 1, (mode & 1) != 0);
    return 0;
}
