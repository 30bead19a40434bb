// Plug and unplug again and again while data flows both ways: nothing is lost
// track of, nothing is torn, and every transfer and handle is released.
#include "tests/sdk/comm/transport_harness.h"

#include <atomic>
#include <thread>

using namespace kest_test;

namespace {

constexpr size_t message_size = 1000;

bytes message(uint64_t sequence) {
    bytes out(message_size);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<uint8_t>(sequence * 131 + i * 7);
    for (size_t i = 0; i < 8; ++i)
        out[i] = static_cast<uint8_t>(sequence >> (8 * i));
    return out;
}

bool intact(const bytes &payload) {
    uint64_t sequence = 0;
    for (size_t i = 0; i < 8 && i < payload.size(); ++i)
        sequence |= static_cast<uint64_t>(payload[i]) << (8 * i);
    return payload == message(sequence);
}

class TransportStress : public TransportTest {
protected:
    void SetUp() override {
        TransportTest::SetUp();
        capture_logs(KEST_LOG_VALUE_WARN);
        channels_follow_device();
    }

    // Sends numbered messages on tx while the device is attached.
    void send_until_stopped() {
        uint64_t sequence = 0;
        while (!stop) {
            if (xfer->xfer_is_detached() == 0) {
                bytes out = message(sequence++);
                xfer->xfer_async_send(0, out.data(), out.size());
            }
            std::this_thread::yield();
        }
    }

    // Feeds the imu channel from the device side, a few frames ahead at most.
    void feed_imu_until_stopped() {
        while (!stop) {
            int id = current_device.load();
            if (id != 0 && kest_sim::bus_in_backlog(id, ep_imu) <= 4)
                kest_sim::bus_queue_in(id, ep_imu, frame({1, 2, 3, 4}));
            std::this_thread::yield();
        }
    }

    void cycle(size_t round) {
        size_t echoes_before = data_on(1).size();
        plug();
        device->echo(ep_tx, ep_rx);
        current_device = device_id;
        ASSERT_TRUE(wait_events(XFER_EVENT_ATTACH, round + 1)) << "attach " << round;
        ASSERT_TRUE(eventually([&] { return data_on(1).size() > echoes_before; },
                               "an echo in round " + std::to_string(round)));
        current_device = 0;
        kest_sim::bus_unplug(device_id);
        ASSERT_TRUE(wait_events(XFER_EVENT_DETACH, round + 1)) << "detach " << round;
    }

    void run_cycles(bool hotplug, size_t rounds) {
        start(hotplug);
        std::thread sender([this] { send_until_stopped(); });
        std::thread feeder([this] { feed_imu_until_stopped(); });
        for (size_t round = 0; round < rounds && !HasFatalFailure(); ++round)
            cycle(round);
        stop = true;
        sender.join();
        feeder.join();
        xfer->xfer_deinit();
        for (const bytes &payload : data_on(1))
            ASSERT_TRUE(intact(payload)) << "a torn or mixed message was delivered";
        for (const bytes &payload : data_on(2))
            ASSERT_EQ(payload, bytes({1, 2, 3, 4}));
        EXPECT_TRUE(bus_released());
        EXPECT_EQ(kest_sim::bus_get_stats().closed_with_transfers_in_flight, 0u);
        EXPECT_EQ(kest_sim::bus_get_stats().transfers_freed_in_flight, 0u);
    }

    std::atomic<bool> stop{false};
    std::atomic<int> current_device{0};
};

} // namespace

TEST_F(TransportStress, TwoHundredHotplugCyclesWithTrafficBothWays) {
    run_cycles(true, 200);
}

TEST_F(TransportStress, PollingCyclesWithTrafficBothWays) {
    run_cycles(false, 3);
}
