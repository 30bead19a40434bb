#include "sim/script_device.h"

namespace kest_sim {

void script_device::plugged(int device) {
    std::lock_guard<std::mutex> lock(mutex);
    id = device;
}

void script_device::on_out(uint8_t endpoint, const uint8_t *data, size_t length) {
    std::vector<uint8_t> bytes(data, data + length);
    int echo_device = 0;
    uint8_t echo_endpoint = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        transfers[endpoint].push_back(bytes);
        auto echo_to = echoes.find(endpoint);
        if (echo_to != echoes.end()) {
            echo_device = id;
            echo_endpoint = echo_to->second;
        }
    }
    arrived.notify_all();
    if (echo_device != 0)
        bus_queue_in(echo_device, echo_endpoint, std::move(bytes));
}

void script_device::echo(uint8_t out_endpoint, uint8_t in_endpoint) {
    std::lock_guard<std::mutex> lock(mutex);
    echoes[out_endpoint] = in_endpoint;
}

int script_device::device() const {
    std::lock_guard<std::mutex> lock(mutex);
    return id;
}

std::vector<std::vector<uint8_t>> script_device::received(uint8_t endpoint) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = transfers.find(endpoint);
    return found != transfers.end() ? found->second : std::vector<std::vector<uint8_t>>{};
}

bool script_device::wait_received(uint8_t endpoint, size_t count,
                                  std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(lock, timeout, [&] {
        auto found = transfers.find(endpoint);
        return found != transfers.end() && found->second.size() >= count;
    });
}

} // namespace kest_sim
