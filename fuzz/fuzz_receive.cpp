// Arbitrary received transfers through validation, group staging and delivery,
// exactly as a receiving channel handles them. The input is a sequence of
// pieces: one control byte (bit 0: a 1024-byte imu transfer, else 262144),
// a 16-bit big-endian length, then that many bytes, which start the transfer;
// the rest of the transfer is filler, as the device sends it.
#include "sdk/comm/interface/data_xfer.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr size_t imu_transfer = 1024;
constexpr size_t bulk_transfer = 262144;

struct sink {
    uint32_t deliveries = 0;
    uint8_t mix = 0;
};

void take(void *context, uint8_t *data, uint32_t length) {
    auto *out = static_cast<sink *>(context);
    out->deliveries++;
    // Touch every delivered byte, so a length past the data is caught.
    for (uint32_t i = 0; i < length; ++i)
        out->mix ^= data[i];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static std::unique_ptr<data_xfer> xfer(data_xfer_create(0));
    packet_group group{};
    sink delivered;
    size_t at = 0;
    while (at + 3 <= size) {
        size_t transfer_size = (data[at] & 1) ? imu_transfer : bulk_transfer;
        size_t length = static_cast<size_t>(data[at + 1]) << 8 | data[at + 2];
        at += 3;
        length = std::min(length, std::min(size - at, transfer_size));
        // Heap blocks of exactly the transfer's size, so any read past one is caught.
        static std::unique_ptr<uint8_t[]> imu(new uint8_t[imu_transfer]);
        static std::unique_ptr<uint8_t[]> bulk(new uint8_t[bulk_transfer]);
        uint8_t *transfer = transfer_size == imu_transfer ? imu.get() : bulk.get();
        memcpy(transfer, data + at, length);
        memset(transfer + length, 0, transfer_size - length);
        at += length;
        xfer->packet_receive(transfer, transfer_size, &group, take, &delivered);
        if (group.buffer != nullptr && group.filled > group.capacity)
            abort();
    }
    packet_group_release(&group);
    return 0;
}
