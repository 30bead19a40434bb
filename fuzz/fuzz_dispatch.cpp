// Arbitrary device messages into the dispatcher, with a current device whose
// stream callback reads every delivered byte and with the SLAM synchronizer
// running. The first input byte picks the message type; the rest is the payload.
#include "sdk/api/api.h"
#include "sdk/api/api_context.h"
#include "sdk/comm/libusb/usb_backend.h"
#include "sdk/common/byte_order.h"
#include "sim/usb_bus.h"

#include <vector>

namespace {

uint8_t mixed;

void read_everything(const lidar_stream_data_t *data, void *) {
    uint8_t mix = 0;
    for (uint32_t i = 0; i < data->count; ++i)
        for (uint32_t b = 0; data->entries[i].data != nullptr && b < data->entries[i].size; ++b)
            mix ^= data->entries[i].data[b];
    mixed ^= mix;
}

bool bring_up() {
    usb_backend_select(kest_sim::bus_backend()); // no device: nothing but the dispatcher runs
    if (lidar_system_init(nullptr) != 0)
        return false;
    lidar_device_info_t info{};
    lidar_device_t *device = nullptr;
    lidar_create_device(&info, &device);
    lidar_stream_callback_t callback{read_everything, nullptr};
    return lidar_register_stream_callback(device, &callback) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = bring_up();
    if (!ready || size == 0)
        return 0;
    // Types 4, 5, 9 and 10 are the sender's own events, never the device's.
    uint16_t type = data[0] % 24;
    if (type == CMD_ATTACH || type == CMD_DETACH || type == CMD_SOFT_ATTACH ||
        type == CMD_SOFT_DETACH)
        return 0;
    // As the sender hands it over: a header whose length matches the bytes present.
    std::vector<uint8_t> message(CMD_HEADER_SIZE + size - 1, 0);
    put_be16(message.data(), type);
    put_be32(message.data() + CMD_OFFSET_PAYLOAD_LEN, static_cast<uint32_t>(size - 1));
    std::copy(data + 1, data + size, message.begin() + CMD_HEADER_SIZE);
    cmd_data_deal(message.data(), nullptr);
    return 0;
}
