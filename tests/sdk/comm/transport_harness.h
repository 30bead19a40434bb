// Runs the real USB transport on the virtual bus and records what it raises.
#pragma once

#include "sdk/comm/interface/data_xfer.h"
#include "sim/script_device.h"
#include "sim/usb_bus.h"
#include "tests/support/bus_test.h"
#include "tests/support/recorder.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
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
    void SetUp() override {
        bus_test::SetUp();
        recorded().clear();
        active_hook() = &hook;
    }
    void TearDown() override {
        if (xfer)
            xfer->xfer_deinit();
        xfer.reset();
        active_hook() = nullptr;
        bus_test::TearDown();
    }

    // Creates, initialises and starts the transport on the virtual bus.
    void start(bool hotplug) {
        kest_sim::bus_set_hotplug(hotplug);
        xfer.reset(data_xfer_create(0));
        ASSERT_EQ(xfer->xfer_init({0, record_event, 0x0019, 0x2207}), 0);
        ASSERT_EQ(xfer->xfer_start(), 0);
    }
    // Plugs a KestOne-shaped scripted device.
    void plug(const kest_sim::device_desc &desc = kest_sim::kestone_desc()) {
        device = std::make_shared<kest_sim::script_device>();
        device_id = kest_sim::bus_plug(desc, device);
    }
    // The hook creates the five channels in the attach event and destroys them
    // in the detach event (counting the destroys), as the sender does.
    void channels_follow_device() {
        hook = [this](uint32_t event) {
            const chan_config configs[] = {
                {0, 1, 0, big_transfer}, {0, 0, 1, big_transfer}, {0, 2, 1, imu_transfer},
                {0, 3, 1, big_transfer}, {0, 4, 1, big_transfer},
            };
            if (event == XFER_EVENT_ATTACH) {
                for (const chan_config &config : configs)
                    EXPECT_GE(xfer->xfer_chanel_create(config), 0);
            }
            if (event == XFER_EVENT_DETACH)
                for (int32_t id = 0; id < 5; ++id)
                    destroyed += xfer->xfer_chanel_destroy(id) == 0;
        };
    }

    testing::AssertionResult wait_events(uint32_t event, size_t count) {
        return recorded().wait(
            [&](const std::vector<raised_event> &all) {
                return static_cast<size_t>(std::count_if(all.begin(), all.end(), [&](auto &e) {
                           return e.event == event;
                       })) >= count;
            },
            std::to_string(count) + " events of kind " + std::to_string(event));
    }
    std::vector<raised_event> events(uint32_t event) const {
        std::vector<raised_event> matching;
        for (raised_event &entry : recorded().snapshot())
            if (entry.event == event)
                matching.push_back(std::move(entry));
        return matching;
    }
    std::vector<bytes> data_on(int32_t channel) const {
        std::vector<bytes> data;
        for (const raised_event &entry : events(XFER_EVENT_DATA))
            if (entry.channel == channel)
                data.push_back(entry.data);
        return data;
    }
    // Waits until every transfer allocated on the bus was freed and every handle closed.
    static testing::AssertionResult bus_released() {
        return eventually(
            [] {
                kest_sim::bus_stats stats = kest_sim::bus_get_stats();
                return stats.transfers_allocated == stats.transfers_freed &&
                       stats.handles_open == 0;
            },
            "every transfer freed and every handle closed");
    }
    // A frame around payload, built with the transport's own builder.
    bytes frame(const bytes &payload, uint8_t flags = 0, uint16_t word = 0x0101) const {
        bytes out(PKT_OVERHEAD + payload.size());
        xfer->packet_construct(out.data(), 0, 0, flags, word, 0, payload.data(),
                               static_cast<uint32_t>(payload.size()));
        return out;
    }

    std::unique_ptr<data_xfer> xfer;
    std::shared_ptr<kest_sim::script_device> device;
    int device_id = 0;
    // Runs inside every raised event, on the transport's thread.
    std::function<void(uint32_t event)> hook;
    std::atomic<int> destroyed{0};

private:
    static recorder<raised_event> &recorded() {
        static recorder<raised_event> all;
        return all;
    }
    static std::function<void(uint32_t)> *&active_hook() {
        static std::function<void(uint32_t)> *current = nullptr;
        return current;
    }
    static void record_event(int32_t channel, uint32_t event, uint8_t *data, uint32_t len) {
        if (active_hook() != nullptr && *active_hook())
            (*active_hook())(event);
        recorded().add({channel, event, bytes(data, data + len)});
    }
};

} // namespace kest_test
