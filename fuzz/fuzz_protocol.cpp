// What the protocol layer reads from the device: arbitrary messages into the
// sender's data path (with and without a caller waiting for an answer), and
// arbitrary file data messages into the calibration file handler. The first
// input byte chooses: bit 0 a waiter, bit 1 the file handler.
#include "sdk/comm/protocol/protocol.h"
#include "sdk/common/byte_order.h"

#include <cstdlib>
#include <cstring>
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

const std::string &scratch_dir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/kest_fuzz_protocol_XXXXXX";
        const char *made = mkdtemp(pattern);
        return std::string(made != nullptr ? made : "/tmp");
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

void feed_file_handler(const uint8_t *data, size_t size) {
    // The handler sees only messages whose length matched their header; the
    // fuzzer picks the type and the file chunk's content.
    std::vector<uint8_t> message(CMD_HEADER_SIZE + file_payload_len, 0);
    put_be16(message.data(), size > 0 ? static_cast<uint16_t>(15 + (data[0] & 3)) : CMD_FILE_DATA);
    put_be32(message.data() + CMD_OFFSET_PAYLOAD_LEN, file_payload_len);
    if (size > 1)
        memcpy(message.data() + CMD_HEADER_SIZE, data + 1,
               std::min(size - 1, static_cast<size_t>(file_payload_len)));
    zev_sdk::sender &s = the_sender();
    if (s.open_recv_file(scratch_dir().c_str()) == 0)
        s.recv_small_file_handler(message.data());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    uint8_t mode = data[0];
    if (mode & 2)
        feed_file_handler(data + 1, size - 1);
    else
        feed_data_path(data + 1, size - 1, (mode & 1) != 0);
    return 0;
}
