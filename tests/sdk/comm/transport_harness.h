// Runs the real USB transport on the virtual bus and records what it raises.
#pragma once

#include "sdk/comm/interface/data_xfer.h"
#include "sim/script_device.h"
#include "sim/usb_bus.h"
#include "tests/support/bus_test.h"
#include "tests/support/recorder.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kest_test {

using bytes = std::vector<uint8_t>;

constexpr uint32_t big_transfer = 262144;
constexpr uint32_t imu_transfer = 1024;
constexpr uint8_t ep_rx = 0x81, ep_tx = 0x01, ep_imu = 0x82, ep_rgb = 0x83, ep_dtof = 0x84;

struct raised_event {
    int32_t channel;
    uint32_t event;
    bytes data;
};

class TransportTest : public bus_test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates, initialises and starts the transport on the virtual bus.
    void start(bool hotplug);
    // Plugs a KestOne-shaped scripted device.
    int plug(const kest_sim::device_desc &desc = kest_sim::kestone_desc());
    // Creates the five channels in the usual order (inside the attach event if
    // called from the hook). Returns false if one fails.
    bool create_channels();
    void destroy_channels();

    // Waits until count events of the kind were raised.
    testing::AssertionResult wait_events(uint32_t event, size_t count);
    std::vector<raised_event> events(uint32_t event) const;
    std::vector<bytes> data_on(int32_t channel) const;

    // Waits until every transfer allocated on the bus was freed and every handle closed.
    static testing::AssertionResult bus_released();

    // A frame around payload, built with the transport's own builder.
    bytes frame(const bytes &payload, uint8_t flags = 0, uint16_t word = 0x0101) const;

    std::unique_ptr<data_xfer> xfer;
    std::shared_ptr<kest_sim::script_device> device;
    int device_id = 0;
    // Runs inside every raised event, on the transport's thread.
    std::function<void(uint32_t event)> hook;
};

} // namespace kest_test
