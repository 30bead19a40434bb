// The USB transport through its real code on the virtual USB bus: detection,
// opening, channels, sends, receives and every transfer status.
#include "sdk/common/byte_order.h"
#include "sdk/common/stats/counters.h"
#include "tests/sdk/comm/transport_harness.h"

#include <gmock/gmock.h>

using namespace kest_test;
using testing::HasSubstr;

namespace {

class Transport : public TransportTest {
protected:
    // Hot-plug mode with the channels made inside the attach event.
    void attach_with_channels() {
        channels_follow_device();
        start(true);
        plug();
        ASSERT_TRUE(wait_events(XFER_EVENT_ATTACH, 1));
    }
    void expect_balanced() {
        EXPECT_TRUE(bus_released());
        kest_sim::bus_stats stats = kest_sim::bus_get_stats();
        EXPECT_EQ(stats.closed_with_transfers_in_flight, 0u);
        EXPECT_EQ(stats.transfers_freed_in_flight, 0u);
    }
    testing::AssertionResult polling_passes(size_t count) {
        const uint64_t lists = kest_sim::bus_get_stats().device_lists;
        return eventually([&] { return kest_sim::bus_get_stats().device_lists >= lists + count; },
                          std::to_string(count) + " polling passes");
    }
    static size_t lines_with(const std::string &fragment) {
        size_t count = 0;
        for (const std::string &line : captured_lines())
            count += line.find(fragment) != std::string::npos;
        return count;
    }
};

} // namespace

// Polling finds a device plugged before the start; an enumeration that fails
// says nothing about the device (kept, reported once); a device replaced
// between two passes is seen to leave and come; an unplug is seen within about
// a second, and the channels may be destroyed inside the detach event.
TEST_F(Transport, PollingFollowsTheDevice) {
    kest_sim::bus_set_hotplug(false);
    channels_follow_device();
    plug();
    start(false);
    ASSERT_TRUE(wait_events(XFER_EVENT_ATTACH, 1));
    EXPECT_TRUE(log_contains("Hotplug not supported, fallback to polling mode."));
    // Lines of the monitor thread's helpers carry the thread's own function.
    EXPECT_EQ(captured_line_with("device attached"),
              "<INFO><lib_usb.cpp:usb_data_xfer::event_monitor_routine:N>: device attached "
              "2207:0019\n");

    kest_sim::bus_set_device_list_error(LIBUSB_ERROR_NO_MEM);
    ASSERT_TRUE(polling_passes(3));
    kest_sim::bus_set_device_list_error(0);
    ASSERT_TRUE(polling_passes(2));
    EXPECT_TRUE(events(XFER_EVENT_DETACH).empty());
    EXPECT_EQ(xfer->xfer_is_detached(), 0);
    EXPECT_TRUE(kest_sim::bus_interface_claimed(device_id));
    EXPECT_EQ(lines_with("device enumeration failed"), 1u);
    EXPECT_THAT(captured_line_with("device enumeration failed"),
                HasSubstr("failed: LIBUSB_ERROR_NO_MEM; device state kept.\n"));

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
    EXPECT_TRUE(log_contains("device detached 2207:0019"));
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

// A driver that will not let go, a claim that fails after the detach (the driver
// is given back) and an open that fails: each closes the device, raises no
// attach, and is not retried until the device comes back. A driver that lets go
// is detached for the claim and given back when the device is closed.
TEST_F(Transport, KernelDriversAndFailedOpens) {
    kest_sim::device_desc desc = kest_sim::kestone_desc();
    desc.driver = kest_sim::kernel_driver::stuck;
    plug(desc);
    start(false);
    EXPECT_TRUE(eventually_logged("device attach detected, but open failed."));
    EXPECT_TRUE(log_contains("unable to detach kernel driver: LIBUSB_ERROR_ACCESS"));
    EXPECT_EQ(kest_sim::bus_open_handles(device_id), 0);
    EXPECT_EQ(xfer->xfer_is_detached(), 1);

    kest_sim::bus_unplug(device_id);
    desc.driver = kest_sim::kernel_driver::sticky;
    plug(desc);
    EXPECT_TRUE(eventually_logged("cannot claim interface: LIBUSB_ERROR_BUSY"));
    // The failure is logged first; the driver is given back and the handle closed after.
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
    kest_sim::bus_set_init_error(LIBUSB_ERROR_NO_MEM);
    xfer.reset(data_xfer_create(0));
    xfer_config config{0, nullptr, 0x0019, 0x2207};
    EXPECT_EQ(xfer->xfer_init(config), LIBUSB_ERROR_NO_MEM);
    EXPECT_TRUE(log_contains("cannot init libusb: LIBUSB_ERROR_NO_MEM"));
    kest_sim::bus_set_init_error(0);
    kest_sim::bus_set_hotplug_register_error(LIBUSB_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(xfer->xfer_init(config), LIBUSB_ERROR_NOT_SUPPORTED);
    EXPECT_TRUE(log_contains("register hotplug callback failed: LIBUSB_ERROR_NOT_SUPPORTED"));
    kest_sim::bus_set_hotplug_register_error(0);

    const uint8_t byte = 1;
    EXPECT_EQ(xfer->xfer_deinit(), 0);
    EXPECT_EQ(xfer->xfer_async_send(0, &byte, 1), -1);
    // The shared checks log in the name of the entry point that ran them.
    EXPECT_EQ(captured_line_with("module not init."),
              "<ERROR><lib_usb_channel.cpp:usb_data_xfer::xfer_async_send:N>: module not init.\n");

    EXPECT_EQ(xfer->xfer_init(config), 0) << "a failed init leaves nothing behind";
    EXPECT_EQ(xfer->xfer_init(config), -1);
    EXPECT_TRUE(log_contains("transport already initialised."));
    EXPECT_EQ(xfer->xfer_chanel_create({0, 1, 0, big_transfer}), -1);
    EXPECT_EQ(captured_line_with("usb device not attach."),
              "<ERROR><lib_usb_channel.cpp:usb_data_xfer::xfer_chanel_create:N>: usb device not "
              "attach.\n");
    EXPECT_EQ(xfer->xfer_chanel_destroy(0), -1);
}

TEST_F(Transport, ReceivesLoneFramesAndGroupsOnTheirChannels) {
    attach_with_channels();
    kest_sim::bus_queue_in(device_id, ep_rx, frame({'A', 'B', 'C'}));
    kest_sim::bus_queue_in(device_id, ep_imu, frame({9, 8, 7}));
    bytes a(100, 0xA1), b(100, 0xB2), c(40, 0xC3);
    kest_sim::bus_queue_in(device_id, ep_dtof, frame(a, PKT_FLAG_GROUP, 0x0301));
    kest_sim::bus_queue_in(device_id, ep_dtof, frame(b, PKT_FLAG_GROUP, 0x0302));
    kest_sim::bus_queue_in(device_id, ep_dtof, frame(c, PKT_FLAG_GROUP, 0x0303));
    bytes unchecked = frame({5, 5});
    unchecked[11] = PKT_FLAG_NO_CHECK;
    unchecked[19] ^= 0x5A;
    kest_sim::bus_queue_in(device_id, ep_rgb, unchecked);
    ASSERT_TRUE(wait_events(XFER_EVENT_DATA, 4));
    EXPECT_EQ(data_on(1), std::vector<bytes>{bytes({'A', 'B', 'C'})});
    EXPECT_EQ(data_on(2), std::vector<bytes>{bytes({9, 8, 7})});
    EXPECT_EQ(data_on(3), std::vector<bytes>{bytes({5, 5})});
    a.insert(a.end(), b.begin(), b.end());
    a.insert(a.end(), c.begin(), c.end());
    EXPECT_EQ(data_on(4), std::vector<bytes>{a}) << "a group is delivered once, when complete";
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
    EXPECT_TRUE(log_contains("packet total checksum fail"));
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

    uint64_t submits = kest_sim::bus_get_stats().submits;
    EXPECT_EQ(xfer->xfer_async_send(0, message.data(), 0), 0);
    EXPECT_EQ(kest_sim::bus_get_stats().submits, submits) << "an empty message sends nothing";
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
    // The data came after every injected time-out: exactly as many as asked for.
    EXPECT_EQ(lines_with("transfer timeout: LIBUSB_TRANSFER_TIMED_OUT."), 2u);

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

TEST_F(Transport, ChannelIdsEndpointsAndDirectionsAreChecked) {
    attach_with_channels();
    const uint8_t byte = 1;
    EXPECT_EQ(xfer->xfer_async_send(1, &byte, 1), -1);
    EXPECT_TRUE(log_contains("channel 1 is not to device channel."));
    EXPECT_EQ(xfer->xfer_async_send(9, &byte, 1), -1);
    EXPECT_TRUE(log_contains("channel 9 not exist."));
    EXPECT_EQ(xfer->xfer_chanel_destroy(9), -1);

    ASSERT_EQ(xfer->xfer_chanel_destroy(1), 0);
    EXPECT_TRUE(eventually_logged("transfer cancel."));
    EXPECT_EQ(xfer->xfer_chanel_create({0, 0, 1, big_transfer}), 5) << "id 4 is taken";
    EXPECT_TRUE(log_contains("channel id 4 is taken; the new channel gets id 5."));
    kest_sim::bus_queue_in(device_id, ep_dtof, frame({4}));
    kest_sim::bus_queue_in(device_id, ep_rx, frame({5}));
    ASSERT_TRUE(wait_events(XFER_EVENT_DATA, 2));
    EXPECT_EQ(data_on(4).size(), 1u) << "the existing channel 4 still receives";
    EXPECT_EQ(data_on(5).size(), 1u);

    EXPECT_EQ(xfer->xfer_chanel_create({0, 7, 1, big_transfer}), -1);
    EXPECT_TRUE(log_contains("endpoint index 7 out of range: interface 0 has 5 endpoints."));
    EXPECT_EQ(xfer->xfer_chanel_create({0, 1, 1, big_transfer}), -1);
    EXPECT_TRUE(log_contains("endpoint 1 (0x01) does not match the channel direction."));
    EXPECT_EQ(xfer->xfer_chanel_create({0, 0, 1, PKT_OVERHEAD}), -1);
    EXPECT_TRUE(log_contains("transfer size 26 leaves no room for a frame."));
    xfer->xfer_chanel_destroy(5);
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
    EXPECT_TRUE(log_contains("cannot read configuration descriptor: LIBUSB_ERROR_NOT_FOUND"));
    kest_sim::bus_unplug(device_id);
    ASSERT_TRUE(wait_events(XFER_EVENT_DETACH, 1));
    expect_balanced();
}

TEST_F(Transport, DeinitWithTheDeviceOpenReleasesEverything) {
    attach_with_channels();
    EXPECT_EQ(xfer->xfer_deinit(), 0);
    xfer.reset();
    EXPECT_EQ(kest_sim::bus_open_handles(device_id), 0);
    expect_balanced();
    EXPECT_FALSE(kest_sim::bus_interface_claimed(device_id));
}
