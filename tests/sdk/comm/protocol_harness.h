// The real sender over the real transport on the virtual bus, with the virtual
// KestOne as the device. Records what the sender hands up.
#pragma once

#include "sdk/comm/protocol/protocol.h"
#include "sdk/common/byte_order.h"
#include "sim/kestone.h"
#include "sim/usb_bus.h"
#include "tests/support/bus_test.h"
#include "tests/support/heartbeat_timing.h"
#include "tests/support/recorder.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace kest_test {

struct handed_up {
    uint16_t type;
    std::vector<uint8_t> payload;
    bool heartbeat_thread_gone; // at the moment of the call
};

class ProtocolTest : public bus_test {
protected:
    void SetUp() override {
        bus_test::SetUp();
        all_handed().clear();
        held_type() = -1;
        device = std::make_shared<kest_sim::kestone>();
        sender = std::make_unique<zev_sdk::sender>();
        sender->set_heartbeat_timing(scaled_heartbeat());
    }
    void TearDown() override {
        sender.reset();
        bus_test::TearDown();
    }

    // Initialises the sender and plugs the device; waits for the soft attach if asked.
    void start(bool wait_soft_attach = true) {
        ASSERT_EQ(sender->sender_init({record, sender.get()}), 0);
        plug();
        ASSERT_TRUE(wait_handed_up(CMD_ATTACH));
        if (wait_soft_attach) {
            ASSERT_TRUE(wait_handed_up(CMD_SOFT_ATTACH));
        }
    }
    void plug() { device_id = kest_sim::bus_plug(kest_sim::kestone_desc(), device); }
    testing::AssertionResult wait_handed_up(uint16_t type, size_t count = 1) {
        return all_handed().wait(
            [&](const std::vector<handed_up> &all) {
                return static_cast<size_t>(std::count_if(all.begin(), all.end(), [&](auto &e) {
                           return e.type == type;
                       })) >= count;
            },
            std::to_string(count) + " messages of type " + std::to_string(type) + " handed up");
    }
    std::vector<handed_up> handed(uint16_t type) const {
        std::vector<handed_up> matching;
        for (const handed_up &entry : all_handed().snapshot())
            if (entry.type == type)
                matching.push_back(entry);
        return matching;
    }
    std::vector<uint16_t> handed_types() const {
        std::vector<uint16_t> types;
        for (const handed_up &entry : all_handed().snapshot())
            types.push_back(entry.type);
        return types;
    }
    // The next message of this type handed up keeps the transport's thread for
    // this long, as a slow consumer would: the host hears nothing meanwhile.
    void hold_the_host_on(uint16_t type, std::chrono::nanoseconds how_long) {
        held_ns() = how_long.count();
        held_type() = type;
    }
    // Sends a control command and returns its answer (null on failure).
    std::unique_ptr<uint8_t, decltype(&free)> request(uint8_t *msg) {
        std::unique_ptr<uint8_t, decltype(&free)> owned(msg, free);
        uint8_t *answer = nullptr;
        if (!msg || sender->transact(msg, &answer) != 0)
            return {nullptr, free};
        return {answer, free};
    }
    auto ask(uint16_t code) { return request(sender->construct_simple_control_cmd(code)); }

    std::unique_ptr<zev_sdk::sender> sender;
    std::shared_ptr<kest_sim::kestone> device;
    int device_id = 0;

private:
    static recorder<handed_up> &all_handed() {
        static recorder<handed_up> all;
        return all;
    }
    static std::atomic<int> &held_type() {
        static std::atomic<int> type{-1};
        return type;
    }
    static std::atomic<int64_t> &held_ns() {
        static std::atomic<int64_t> ns{0};
        return ns;
    }
    static void record(uint8_t *msg, void *context) {
        auto *owner = static_cast<zev_sdk::sender *>(context);
        const int type = get_be16(msg);
        all_handed().add({get_be16(msg),
                          {msg + CMD_HEADER_SIZE, msg + CMD_HEADER_SIZE + cmd_payload_len(msg)},
                          owner != nullptr && !owner->has_heartbeat_thread()});
        // Recorded first, so that a test sees the hold begin.
        if (held_type().load() == type && held_type().exchange(-1) == type)
            std::this_thread::sleep_for(std::chrono::nanoseconds(held_ns().load()));
    }
};

} // namespace kest_test
