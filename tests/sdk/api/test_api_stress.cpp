// Soft attach and detach again and again while the device streams, and the process ending with
// the layer still up.
#include "sdk/api/api_context.h"
#include "sdk/comm/libusb/usb_backend.h"
#include "sim/usb_bus.h"
#include "tests/sdk/api/api_harness.h"

#include <atomic>

using namespace kest_test;
using bytes = std::vector<uint8_t>;

using ApiStress = ApiTest;

TEST_F(ApiStress, HundredSoftAttachCyclesWithMessagesFlowing) {
    keep_a_handle(false);
    // Quick heartbeats so that a silent device soft-detaches in a few milliseconds.
    context().sender.set_heartbeat_timing(
        {std::chrono::milliseconds(20), std::chrono::milliseconds(2)});
    bring_up();

    // Any message is a sign of life, so the device stops streaming when it falls silent.
    std::atomic<bool> done{false}, talking{true};
    std::thread streamer([&] {
        bytes info(104, 3), odometry(688, 4);
        while (!done) {
            if (talking) {
                device->send(kest_sim::kestone::ep_dtof, CMD_DEVICE_INFO, info);
                device->send(kest_sim::kestone::ep_dtof, CMD_HF_ODOMETRY, odometry);
            }
            std::this_thread::yield();
        }
    });
    for (size_t cycle = 1; cycle <= 100 && !HasFailure(); ++cycle) { // the streamer is joined
        talking = false;
        device->answer_heartbeats(false);
        EXPECT_TRUE(wait_attach_events(2 * cycle)) << "no soft detach in cycle " << cycle;
        device->resume();
        talking = true;
        EXPECT_TRUE(wait_attach_events(2 * cycle + 1)) << "no soft attach in cycle " << cycle;
    }
    done = true;
    streamer.join();
    std::vector<seen_attach> events = attaches();
    for (size_t i = 0; i < events.size(); ++i)
        EXPECT_EQ(events[i].attached, i % 2 == 0) << "attach and detach alternate, event " << i;
    EXPECT_FALSE(records().empty());
}

// The application never de-initialises the layer: the process must still end.
void run_and_exit_with_the_layer_up() {
    usb_backend_select(kest_sim::bus_backend());
    auto device = std::make_shared<kest_sim::kestone>();
    lidar_system_init(nullptr);
    kest_sim::bus_plug(kest_sim::kestone_desc(), device);
    lidar_device_info_t info{};
    lidar_device_t *handle = nullptr;
    lidar_create_device(&info, &handle);
    lidar_stream_callback_t callback{[](const lidar_stream_data_t *, void *) {}, nullptr};
    lidar_register_stream_callback(handle, &callback);
    device->wait_state([](const kest_sim::kestone_state &s) { return s.heartbeats_answered > 2; },
                       patience());
    for (int i = 0; i < 50; ++i)
        device->send(kest_sim::kestone::ep_dtof, CMD_DEVICE_INFO, std::vector<uint8_t>(104, 1));
    exit(0);
}

TEST(ApiProcessEnd, ExitsNormallyWithTheLayerUpAndStreaming) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(run_and_exit_with_the_layer_up(), testing::ExitedWithCode(0), "");
}
