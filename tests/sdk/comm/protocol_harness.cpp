#include "tests/sdk/comm/protocol_harness.h"

#include "sdk/common/byte_order.h"
#include "sim/usb_bus.h"
#include "tests/support/heartbeat_timing.h"

#include <atomic>
#include <thread>

namespace kest_test {

namespace {

recorder<handed_up> all_handed;
std::atomic<int> held_type{-1};
std::atomic<int64_t> held_ns{0};

void record(uint8_t *msg, void *context) {
    auto *owner = static_cast<zev_sdk::sender *>(context);
    int type = get_be16(msg);
    handed_up entry{
        get_be16(msg),
        std::vector<uint8_t>(msg + CMD_HEADER_SIZE, msg + CMD_HEADER_SIZE + cmd_payload_len(msg)),
        owner != nullptr && !owner->has_heartbeat_thread()};
    all_handed.add(std::move(entry));
    // Recorded first, so that a test sees the hold begin.
    if (held_type.load() == type && held_type.exchange(-1) == type)
        std::this_thread::sleep_for(std::chrono::nanoseconds(held_ns.load()));
}

} // namespace

void ProtocolTest::SetUp() {
    bus_test::SetUp();
    all_handed.clear();
    held_type = -1;
    device = std::make_shared<kest_sim::kestone>();
    sender = std::make_unique<zev_sdk::sender>();
    sender->set_heartbeat_timing(scaled_heartbeat());
}

void ProtocolTest::TearDown() {
    sender.reset();
    bus_test::TearDown();
}

void ProtocolTest::start(bool wait_soft_attach) {
    ASSERT_EQ(sender->sender_init({record, sender.get()}), 0);
    plug();
    ASSERT_TRUE(wait_handed_up(CMD_ATTACH));
    if (wait_soft_attach) {
        ASSERT_TRUE(wait_handed_up(CMD_SOFT_ATTACH));
    }
}

void ProtocolTest::plug() {
    device_id = kest_sim::bus_plug(kest_sim::kestone_desc(), device);
}

testing::AssertionResult ProtocolTest::wait_handed_up(uint16_t type, size_t count) {
    return all_handed.wait(
        [&](const std::vector<handed_up> &all) {
            size_t seen = 0;
            for (const handed_up &entry : all)
                seen += entry.type == type;
            return seen >= count;
        },
        std::to_string(count) + " messages of type " + std::to_string(type) + " handed up");
}

std::vector<handed_up> ProtocolTest::handed(uint16_t type) const {
    std::vector<handed_up> matching;
    for (const handed_up &entry : all_handed.snapshot())
        if (entry.type == type)
            matching.push_back(entry);
    return matching;
}

void ProtocolTest::hold_the_host_on(uint16_t type, std::chrono::nanoseconds how_long) {
    held_ns = how_long.count();
    held_type = type;
}

std::vector<uint16_t> ProtocolTest::handed_types() const {
    std::vector<uint16_t> types;
    for (const handed_up &entry : all_handed.snapshot())
        types.push_back(entry.type);
    return types;
}

std::unique_ptr<uint8_t, decltype(&free)> ProtocolTest::request(uint8_t *msg) {
    std::unique_ptr<uint8_t, decltype(&free)> owned(msg, free);
    uint8_t *answer = nullptr;
    if (!msg || sender->transact(msg, &answer) != 0)
        return {nullptr, free};
    return {answer, free};
}

} // namespace kest_test
