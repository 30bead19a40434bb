// A scripted virtual device for transport tests: it records every OUT transfer
// per endpoint and, where told, echoes OUT transfers back on an IN endpoint.
#pragma once

#include "sim/usb_bus.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

namespace kest_sim {

class script_device : public usb_device_model {
public:
    void plugged(int device) override;
    void on_out(uint8_t endpoint, const uint8_t *data, size_t length) override;

    // From now on every OUT transfer on out_endpoint is queued back on in_endpoint.
    void echo(uint8_t out_endpoint, uint8_t in_endpoint);

    int device() const;
    std::vector<std::vector<uint8_t>> received(uint8_t endpoint) const;
    // Waits until at least count OUT transfers arrived on endpoint; false on time-out.
    bool wait_received(uint8_t endpoint, size_t count, std::chrono::milliseconds timeout) const;

private:
    mutable std::mutex mutex;
    mutable std::condition_variable arrived;
    int id = 0;
    std::map<uint8_t, std::vector<std::vector<uint8_t>>> transfers;
    std::map<uint8_t, uint8_t> echoes;
};

} // namespace kest_sim
