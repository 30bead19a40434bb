// The USB transport through its real code on the virtual USB bus: detection,
// opening, channels, sends, receives, every transfer status, and plugging again
// and again while data flows both ways.
#include "sdk/comm/interface/data_xfer.h"
#include "sdk/common/byte_order.h"
#include "sdk/common/stats/counters.h"
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
#include <thread>
#include <vector>

using namespace kest_test;

namespace {

using bytes = std::vector<uint8_t>;

constexpr uint32_t big_transfer = 262144;
constexpr uint32_t imu_transfer = 1024;
constexpr uint8_t ep_rx = 0x81, ep_tx = 0x01, ep_imu = 0x82, ep_rgb = 0x83, ep_dtof = 0x84;

struct raised_event {
    int32_t channel;
    uint32_t event;
    bytes data;
};

class Transport : public bus_test {
protected:
    void SetUp() override {
        bus_test::SetUp();
        recorded.clear();
        active_hook = &hook;
    }
    void TearDown() override {
        if (xfer)
            xfer->xfer_deinit();
        xfer.reset();
        active_hook = nullptr;
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
        return recorded.wait(
            [&](const std::vector<raised_event> &all) {
                return static_cast<size_t>(std::count_if(all.begin(), all.end(), [&](auto &e) {
                           return e.event == event;
                       })) >= count;
            },
            std::to_string(count) + " events of kind " + std::to_string(event));
    }
    std::vector<raised_event> events(uint32_t event) const {
        std::vector<raised_event> matching;
        for (raised_event &entry : recorded.snapshot())
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
    // A frame around payload, built with the transport's own builder.
    bytes frame(const bytes &payload, uint8_t flags = 0, uint16_t word = 0x0101) const {
        bytes out(PKT_OVERHEAD + payload.size());
        xfer->packet_construct(out.data(), 0, 0, flags, word, 0, payload.data(),
                               static_cast<uint32_t>(payload.size()));
        return out;
    }

    // Hot-plug mode with the channels made inside the attach event.
    void attach_with_channels() {
        channels_follow_device();
        start(true);
        plug();
        ASSERT_TRUE(wait_events(XFER_EVENT_ATTACH, 1));
    }
    void expect_balanced() {
        EXPECT_TRUE(eventually(
            [] {
                kest_sim::bus_stats stats = kest_sim::bus_get_stats();
                return stats.transfers_allocated == stats.transfers_freed &&
                       stats.handles_open == 0;
            },
            "every transfer freed and every handle closed"));
        kest_sim::bus_stats stats = kest_sim::bus_get_stats();
        EXPECT_EQ(stats.closed_with_transfers_in_flight, 0u);
        EXPECT_EQ(stats.transfers_freed_in_flight, 0u);
    }
    testing::AssertionResult polling_passes(size_t count) {
        const uint64_t lists = kest_sim::bus_get_stats().device_lists;
        return eventually([&] { return kest_sim::bus_get_stats().device_lists >= lists + count; },
                          std::to_string(count) + " polling passes");
    }
    std::unique_ptr<data_xfer> xfer;
    std::shared_ptr<kest_sim::script_device> device;
    int device_id = 0;
    // Runs inside every raised event, on the transport's thread.
    std::function<void(uint32_t event)> hook;
    std::atomic<int> destroyed{0};

private:
    static inline recorder<raised_event> recorded;
    static inline std::function<void(uint32_t)> *active_hook = nullptr;
    static void record_event(int32_t channel, uint32_t event, uint8_t *data, uint32_t len) {
        if (active_hook != nullptr && *active_hook)
            (*active_hook)(event);
        recorded.add({channel, event, bytes(data, data + len)});
    }
};

bytes message(uint64_t sequence) {
    bytes out(1000);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<uint8_t>(i < 8 ? sequence >> (8 * i) : sequence * 131 + i * 7);
    return out;
}

bool intact(const bytes &payload) {
    uint64_t sequence = 0;
    for (size_t i = 0; i < 8 && i < payload.size(); ++i)
        sequence |= static_cast<uint64_t>(payload[i]) << (8 * i);
    return payload == message(sequence);
}

} // namespace

// A failed enumeration keeps the device; one replaced between two passes leaves
// and comes; the channels may be destroyed inside the detach event.
TEST_F(Transport, PollingFollowsTheDevice) {
    kest_sim::bus_set_hotplug(false);
    channels_follow_device();
    plug();
    start(false);
    ASSERT_TRUE(wait_events(XFER_EVENT_ATTACH, 1));

    kest_sim::bus_set_device_list_error(LIBUSB_ERROR_NO_MEM);
    ASSERT_TRUE(polling_passes(3));
    kest_sim::bus_set_device_list_error(0);
    ASSERT_TRUE(polling_passes(2));
    EXPECT_TRUE(events(XFER_EVENT_DETACH).empty());
    EXPECT_EQ(xfer->xfer_is_detached(), 0);
    EXPECT_TRUE(kest_sim::bus_interface_claimed(device_id));

    kest_sim::bus_unplug(device_id);
    plug(); // back before the next pass
    ASSERT_TRUE(wait_events(XFER_EVENT_DETACH, 1));
    ASSERT_TRUE(wait_events(XFER_EVENT_ATTACH, 2));
    EXPECT_TRUE(kest_sim::bus_interface_claimed(device_id));

    auto unplugged = std::chrono::steady_clock::now();
    kest_sim::bus_unplug(device_id);
    ASSERT_TRUE(wait_events(XFER_EVENT_DETACH, 2));
    EXPECT_LT(std::chrono::steady_clock::now() - unplugged, scaled(std::chrono::seconds(5)))
        << "polling looks once a second";
    EXPECT_EQ(destroyed, 10) << "channels can be destroyed inside the detach event";
    EXPECT_TRUE(
        eventually([&] { return xfer->xfer_is_detached() == 1; }, "the transport detached"));
    expect_balanced();
}

// Hot-plug mode finds a device connected before the start; a second KestOne is
// ignored while one is open, and its departure detaches nothing.
TEST_F(Transport, HotplugFollowsOneDeviceAtATime) {
    channels_follow_device();
    plug();
    start(true);
    ASSERT_TRUE(wait_events(XFER_EVENT_ATTACH, 1));
    EXPECT_TRUE(kest_sim::bus_interface_claimed(device_id));
    const int first = device_id;
    int second =
        kest_sim::bus_plug(kest_sim::kestone_desc(), std::make_shared<kest_sim::script_device>());
    EXPECT_TRUE(eventually_logged("arrived while one is open; ignored."));
    kest_sim::bus_unplug(second);
    EXPECT_TRUE(eventually_logged("found no open device, this should not happen!!!!"));
    EXPECT_TRUE(events(XFER_EVENT_DETACH).empty()) << "the open device has not left";
    EXPECT_EQ(xfer->xfer_is_detached(), 0);

    kest_sim::bus_unplug(first);
    ASSERT_TRUE(wait_events(XFER_EVENT_DETACH, 1));
    EXPECT_TRUE(
        eventually([&] { return xfer->xfer_is_detached() == 1; }, "the transport detached"));
    EXPECT_EQ(events(XFER_EVENT_ATTACH).size(), 1u);
    expect_balanced();
}

// A failed claim (the driver given back) or open closes the device, raises no attach
// and is not retried while it stays; a driver that lets go is given back at close.
TEST_F(Transport, KernelDriversAndFailedOpens) {
    kest_sim::device_desc desc = kest_sim::kestone_desc();
    desc.driver = kest_sim::kernel_driver::sticky;
    plug(desc);
    start(false);
    EXPECT_TRUE(eventually_logged("cannot claim interface: LIBUSB_ERROR_BUSY"));
    ASSERT_TRUE(eventually([&] { return kest_sim::bus_open_handles(device_id) == 0; },
                           "the device closed after the failed claim"));
    EXPECT_EQ(sdk_counters::read().last_open_error, LIBUSB_ERROR_BUSY);
    EXPECT_TRUE(kest_sim::bus_kernel_driver_active(device_id));
    EXPECT_EQ(kest_sim::bus_get_stats().kernel_driver_attaches, 1u);

    kest_sim::bus_unplug(device_id);
    desc = kest_sim::kestone_desc();
    desc.open_error = LIBUSB_ERROR_ACCESS;
    plug(desc);
    EXPECT_TRUE(eventually_logged("cannot open device 2207:0019: LIBUSB_ERROR_ACCESS"));
    kest_sim::bus_set_open_error(device_id, 0);
    ASSERT_TRUE(polling_passes(2));
    EXPECT_TRUE(events(XFER_EVENT_ATTACH).empty()) << "not retried while it stays";
    kest_sim::bus_unplug(device_id);
    desc = kest_sim::kestone_desc();
    desc.driver = kest_sim::kernel_driver::detachable;
    plug(desc);
    ASSERT_TRUE(wait_events(XFER_EVENT_ATTACH, 1));
    EXPECT_TRUE(events(XFER_EVENT_DETACH).empty()) << "nothing was attached before";
    EXPECT_EQ(kest_sim::bus_get_stats().kernel_driver_detaches, 2u) << "the sticky one's and this";
    EXPECT_FALSE(kest_sim::bus_kernel_driver_active(device_id));
    EXPECT_EQ(xfer->xfer_deinit(), 0);
    EXPECT_TRUE(kest_sim::bus_kernel_driver_active(device_id))
        << "given back when the device is closed";
    EXPECT_EQ(kest_sim::bus_open_handles(device_id), 0);
}

TEST_F(Transport, InitFailuresAndCallsTooEarlyAreRefused) {
    xfer.reset(data_xfer_create(0));
    xfer_config config{0, nullptr, 0x0019, 0x2207};
    kest_sim::bus_set_init_error(LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(xfer->xfer_init(config), LIBUSB_ERROR_NO_MEM);
    kest_sim::bus_set_init_error(0);
    const uint8_t byte = 1;
    EXPECT_EQ(xfer->xfer_async_send(0, &byte, 1), -1);
    EXPECT_EQ(xfer->xfer_init(config), 0) << "a failed init leaves nothing behind";
    EXPECT_EQ(xfer->xfer_init(config), -1);
    EXPECT_EQ(xfer->xfer_chanel_create({0, 1, 0, big_transfer}), -1) << "no device attached";
    EXPECT_EQ(xfer->xfer_chanel_destroy(0), -1);
}

// A corrupt frame or a short transfer loses its frame, not the channel: the
// stream goes on with the next transfer, and each loss is counted.
TEST_F(Transport, DamagedFramesAndShortTransfersAreDroppedAndCounted) {
    attach_with_channels();
    const uint64_t drops = sdk_counters::read().device_drops;
    bytes bad = frame({1});
    bad[0] = 0x00;
    kest_sim::bus_queue_in(device_id, ep_rx, bad);
    kest_sim::bus_queue_in(device_id, ep_rx, frame({2}));
    ASSERT_TRUE(wait_events(XFER_EVENT_DATA, 1));
    kest_sim::bus_inject(device_id, ep_rx, kest_sim::fault::corrupt, 1, 21);
    kest_sim::bus_queue_in(device_id, ep_rx, frame({3, 3}));
    kest_sim::bus_queue_in(device_id, ep_rx, frame({4}));
    ASSERT_TRUE(wait_events(XFER_EVENT_DATA, 2));
    EXPECT_EQ(sdk_counters::read().device_drops, drops + 2);

    kest_sim::bus_inject(device_id, ep_rx, kest_sim::fault::short_length, 1, 100);
    kest_sim::bus_queue_in(device_id, ep_rx, frame({5}));
    EXPECT_TRUE(eventually_logged("tansfer error, fix len 262144, actual 100."));
    kest_sim::bus_queue_in(device_id, ep_rx, frame({6}));
    ASSERT_TRUE(wait_events(XFER_EVENT_DATA, 3));
    EXPECT_EQ(data_on(1), (std::vector<bytes>{{2}, {4}, {6}}));
    EXPECT_EQ(sdk_counters::read().device_drops, drops + 3);
}

TEST_F(Transport, SplitsMessagesIntoFixedSizeTransfers) {
    attach_with_channels();
    const size_t cap = big_transfer - PKT_OVERHEAD;
    bytes message(cap + 1);
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<uint8_t>(i * 7);

    ASSERT_EQ(xfer->xfer_async_send(0, message.data(), cap), 0);
    ASSERT_TRUE(device->wait_received(ep_tx, 1, patience()));
    bytes one = device->received(ep_tx)[0];
    ASSERT_EQ(one.size(), big_transfer);
    EXPECT_EQ(bytes(one.begin() + 11, one.begin() + 14), bytes({0, 1, 1})) << "a lone frame";
    EXPECT_EQ(get_be32(one.data() + 15), cap);

    ASSERT_EQ(xfer->xfer_async_send(0, message.data(), cap + 1), 0);
    ASSERT_TRUE(device->wait_received(ep_tx, 3, patience()));
    bytes first = device->received(ep_tx)[1], second = device->received(ep_tx)[2];
    ASSERT_EQ(second.size(), big_transfer);
    EXPECT_EQ(bytes(first.begin() + 11, first.begin() + 14), bytes({PKT_FLAG_GROUP, 2, 1}));
    EXPECT_EQ(bytes(second.begin() + 11, second.begin() + 14), bytes({PKT_FLAG_GROUP, 2, 2}));
    EXPECT_EQ(get_be32(second.data() + 15), 1u);
    EXPECT_EQ(second[20], message[cap]);
    EXPECT_TRUE(xfer->packet_valid(second.data(), second.size()));
}

TEST_F(Transport, TransferStatusesAreHandledAsTheirKind) {
    attach_with_channels();
    kest_sim::bus_halt(device_id, ep_rx);
    EXPECT_TRUE(eventually_logged("transfer stall: LIBUSB_TRANSFER_STALL."));
    // The stall is logged before the halt is cleared.
    EXPECT_TRUE(
        eventually([] { return kest_sim::bus_get_stats().clear_halts >= 1; }, "the halt cleared"));
    EXPECT_EQ(kest_sim::bus_get_stats().clear_halts, 1u);

    kest_sim::bus_inject(device_id, ep_rx, kest_sim::fault::timeout, 2);
    EXPECT_TRUE(eventually_logged("transfer timeout: LIBUSB_TRANSFER_TIMED_OUT."));
    kest_sim::bus_queue_in(device_id, ep_rx, frame({1}));
    ASSERT_TRUE(wait_events(XFER_EVENT_DATA, 1)) << "stalled and timed-out transfers go out again";
    const std::vector<std::string> lines = captured_lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](auto &line) { return line.find("transfer timeout") != line.npos; }),
              2);

    kest_sim::bus_inject(device_id, ep_imu, kest_sim::fault::error);
    EXPECT_TRUE(eventually_logged("transfer error: LIBUSB_TRANSFER_ERROR."));
    kest_sim::bus_inject(device_id, ep_rgb, kest_sim::fault::overflow);
    EXPECT_TRUE(eventually_logged("transfer overflow: LIBUSB_TRANSFER_OVERFLOW."));
    kest_sim::bus_queue_in(device_id, ep_imu, frame({2}));
    kest_sim::bus_queue_in(device_id, ep_rgb, frame({3}));
    kest_sim::bus_queue_in(device_id, ep_dtof, frame({4}));
    ASSERT_TRUE(wait_events(XFER_EVENT_DATA, 3));
    EXPECT_EQ(data_on(4).size(), 1u);
    EXPECT_TRUE(data_on(2).empty()) << "an error ends the channel's receiving";
    EXPECT_EQ(data_on(3).size(), 1u) << "an overflow loses its data, not the channel";

    kest_sim::bus_unplug(device_id);
    ASSERT_TRUE(wait_events(XFER_EVENT_DETACH, 1));
    EXPECT_TRUE(log_contains("transfer no device: LIBUSB_TRANSFER_NO_DEVICE."));
    expect_balanced();
}

TEST_F(Transport, ChannelIdsEndpointsAndDirectionsAreCheckedAndDeinitReleasesEverything) {
    attach_with_channels();
    const uint8_t byte = 1;
    EXPECT_EQ(xfer->xfer_async_send(1, &byte, 1), -1) << "rx does not go to the device";
    EXPECT_EQ(xfer->xfer_async_send(9, &byte, 1), -1);
    EXPECT_EQ(xfer->xfer_chanel_destroy(9), -1);
    EXPECT_EQ(xfer->xfer_chanel_create({0, 7, 1, big_transfer}), -1) << "interface 0 has 5";
    EXPECT_EQ(xfer->xfer_chanel_create({0, 1, 1, big_transfer}), -1) << "0x01 is not in";
    EXPECT_EQ(xfer->xfer_chanel_create({0, 0, 1, PKT_OVERHEAD}), -1) << "no room for a frame";

    ASSERT_EQ(xfer->xfer_chanel_destroy(1), 0);
    EXPECT_TRUE(eventually_logged("transfer cancel."));
    EXPECT_EQ(xfer->xfer_chanel_create({0, 0, 1, big_transfer}), 5) << "id 4 is taken";
    kest_sim::bus_queue_in(device_id, ep_dtof, frame({4}));
    kest_sim::bus_queue_in(device_id, ep_rx, frame({5}));
    ASSERT_TRUE(wait_events(XFER_EVENT_DATA, 2));
    EXPECT_EQ(data_on(4).size(), 1u) << "the existing channel 4 still receives";
    EXPECT_EQ(data_on(5).size(), 1u);
    EXPECT_EQ(xfer->xfer_deinit(), 0) << "with the device open";
    xfer.reset();
    EXPECT_EQ(kest_sim::bus_open_handles(device_id), 0);
    expect_balanced();
    EXPECT_FALSE(kest_sim::bus_interface_claimed(device_id));
}

TEST_F(Transport, MissingConfigurationDescriptorFailsTheChannel) {
    hook = [this](uint32_t event) {
        if (event == XFER_EVENT_ATTACH) {
            EXPECT_EQ(xfer->xfer_chanel_create({0, 0, 1, big_transfer}), -1);
        }
    };
    kest_sim::device_desc desc = kest_sim::kestone_desc();
    desc.has_config = false;
    start(true);
    plug(desc);
    ASSERT_TRUE(wait_events(XFER_EVENT_ATTACH, 1));
    kest_sim::bus_unplug(device_id);
    ASSERT_TRUE(wait_events(XFER_EVENT_DETACH, 1));
    expect_balanced();
}

TEST_F(Transport, StressTwoHundredHotplugCyclesWithTrafficBothWays) {
    capture_logs(KEST_LOG_VALUE_WARN);
    channels_follow_device();
    start(true);
    std::atomic<bool> stop{false};
    std::thread sender([&] { // numbered messages on tx while the device is attached
        for (uint64_t sequence = 0; !stop; std::this_thread::yield())
            if (xfer->xfer_is_detached() == 0) {
                bytes out = message(sequence++);
                xfer->xfer_async_send(0, out.data(), out.size());
            }
    });
    auto cycle = [&](size_t round) { // returns early on a failure, so the threads are joined
        size_t echoes_before = data_on(1).size();
        plug();
        device->echo(ep_tx, ep_rx);
        ASSERT_TRUE(wait_events(XFER_EVENT_ATTACH, round + 1)) << "attach " << round;
        ASSERT_TRUE(eventually([&] { return data_on(1).size() > echoes_before; },
                               "an echo in round " + std::to_string(round)));
        kest_sim::bus_unplug(device_id);
        ASSERT_TRUE(wait_events(XFER_EVENT_DETACH, round + 1)) << "detach " << round;
    };
    for (size_t round = 0; round < 200 && !HasFatalFailure(); ++round)
        cycle(round);
    stop = true;
    sender.join();
    xfer->xfer_deinit();
    for (const bytes &payload : data_on(1))
        ASSERT_TRUE(intact(payload)) << "a torn or mixed message was delivered";
    expect_balanced();
}
