// The real sender over the real transport on the virtual bus, with the virtual
// KestOne as the device. Records what the sender hands up.
#pragma once

#include "sdk/comm/protocol/protocol.h"
#include "sim/kestone.h"
#include "tests/support/bus_test.h"
#include "tests/support/recorder.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

namespace kest_test {

struct handed_up {
    uint16_t type;
    std::vector<uint8_t> payload;
    bool heartbeat_thread_gone; // at the moment of the call
};

class ProtocolTest : public bus_test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Initialises the sender and plugs the device; waits for the soft attach if asked.
    void start(bool wait_soft_attach = true);
    void plug();
    testing::AssertionResult wait_handed_up(uint16_t type, size_t count = 1);
    std::vector<handed_up> handed(uint16_t type) const;
    std::vector<uint16_t> handed_types() const;
    // The next message of this type handed up keeps the transport's thread for
    // this long, as a slow consumer would: the host hears nothing meanwhile.
    void hold_the_host_on(uint16_t type, std::chrono::nanoseconds how_long);
    // Sends a control command and returns its answer (null on failure).
    std::unique_ptr<uint8_t, decltype(&free)> request(uint8_t *msg);

    std::unique_ptr<zev_sdk::sender> sender;
    std::shared_ptr<kest_sim::kestone> device;
    int device_id = 0;
};

} // namespace kest_test
