// Bringing the layer up and down, and devices that fall silent or are slow.
#include "sdk/api/api_context.h"
#include "sim/usb_bus.h"
#include "tests/sdk/api/api_harness.h"
#include "tests/support/heartbeat_timing.h"

#include <gmock/gmock.h>

#include <atomic>
#include <cstdarg>
#include <filesystem>
#include <future>

using namespace kest_test;
using steady = std::chrono::steady_clock;

namespace {

class ApiLifecycle : public ApiTest {};

// Holds the start's closing line until the attach callback has run: whatever the start does
// before that line, a soft attach can meet.
std::mutex gate_mutex;
std::condition_variable gate;
bool attach_handled = false;

int sink_holding_the_start_line(const char *format, ...) {
    if (strstr(format, "SLAM synchronizer started") != nullptr) {
        std::unique_lock<std::mutex> lock(gate_mutex);
        gate.wait_for(lock, patience(), [] { return attach_handled; });
    }
    return 0;
}

} // namespace

TEST_F(ApiLifecycle, DeviceSoftAttachedWhileTheStartFinishesFindsTheLayerUp) {
    auto result = on_first_attach([] {
        lidar_device_info_t info{};
        lidar_device_t *handle = nullptr;
        int created = lidar_create_device(&info, &handle);
        if (created == 0)
            lidar_destory_device(handle);
        std::lock_guard<std::mutex> lock(gate_mutex);
        attach_handled = true;
        gate.notify_all();
        return std::vector<int>{created};
    });
    attach_handled = false;
    device_id = kest_sim::bus_plug(kest_sim::kestone_desc(), device);
    log_sink = sink_holding_the_start_line;
    ASSERT_EQ(lidar_system_init(attach_recorder()), 0);
    ASSERT_EQ(result.wait_for(patience()), std::future_status::ready);
    EXPECT_EQ(result.get(), std::vector<int>{0}) << "the attach sequence met a layer not up";
}

// The attach callback keeps asking the device to open while the main thread de-initialises: the
// requests fail cleanly, the callback is waited for, nothing is used after it was freed.
TEST_F(ApiLifecycle, DeinitWhileAttachCallbacksAreRequesting) {
    struct cycle_state {
        std::atomic<int> running{0};
        std::atomic<int> requests{0};
        std::atomic<int> destroy_results{0};
    };
    for (int cycle = 0; cycle < 40 && !HasFatalFailure(); ++cycle) {
        auto state = std::make_shared<cycle_state>();
        on_attach = [state](bool attached) {
            if (!attached)
                return;
            ++state->running;
            lidar_device_info_t info{};
            lidar_device_t *handle = nullptr;
            if (lidar_create_device(&info, &handle) == 0) {
                while (lidar_open_device(handle) == 0)
                    ++state->requests;
                state->destroy_results += lidar_destory_device(handle);
            }
            --state->running;
        };
        device = std::make_shared<kest_sim::kestone>();
        ASSERT_EQ(lidar_system_init(attach_recorder()), 0);
        device_id = kest_sim::bus_plug(kest_sim::kestone_desc(), device);
        ASSERT_TRUE(eventually([&] { return state->requests.load() > 0; },
                               "the callback requesting in cycle " + std::to_string(cycle)));
        ASSERT_EQ(lidar_system_deinit(), 0);
        EXPECT_EQ(state->running.load(), 0) << "de-initialisation waited for the callback";
        EXPECT_EQ(state->destroy_results.load(), 0)
            << "the handle was destroyed, in cycle " << cycle;
        clear_on_attach();
        kest_sim::bus_unplug(device_id);
    }
}

TEST_F(ApiLifecycle, DeviceFallingSilentAfterOpenIsReportedDetachedPromptly) {
    context().sender.set_heartbeat_timing(scaled_heartbeat());
    auto silent_since = std::make_shared<steady::time_point>();
    auto dir = std::make_shared<temp_dir>();
    auto results = on_first_attach([silent_since, dir, dev = device] {
        lidar_device_info_t info{};
        lidar_device_t *handle = nullptr;
        lidar_create_device(&info, &handle);
        int opened = lidar_open_device(handle);
        dev->fall_silent();
        *silent_since = steady::now();
        return std::vector<int>{
            opened,
            lidar_get_calib_file(handle, (dir->path() / "files/recv").string().c_str()),
            lidar_get_version(handle),
            lidar_set_mode(handle, 1),
        };
    });
    bring_up();
    ASSERT_EQ(results.wait_for(patience()), std::future_status::ready);
    EXPECT_THAT(results.get(), testing::ElementsAre(0, -1, -1, -1));
    ASSERT_TRUE(wait_attach_events(2));
    double seconds = std::chrono::duration<double>(steady::now() - *silent_since).count();
    EXPECT_FALSE(attaches()[1].attached);
    // Declared gone 125 ms after it fell silent; the waiting request ends a second later, the
    // others fail at once (a ten-second wait each before).
    EXPECT_LT(seconds, 5.0 * time_scale())
        << "the detach came " << seconds << " s after the device fell silent";
}

// A device busy for a moment (no heartbeat answers, its answer 400 ms late) is declared gone, but
// the waiting request gets its answer. A slow calibration transfer's frames keep the device alive.
TEST_F(ApiLifecycle, SlowAnswersAndLongCalibrationTransfersKeepTheirRequests) {
    context().sender.set_heartbeat_timing(scaled_heartbeat());
    bring_up();
    device->set_rx_frame_gap(scaled(std::chrono::milliseconds(60))); // 13 frames: about 0.7 s
    lidar_device_t *handle = make_device();
    temp_dir dir;
    auto began = steady::now();
    EXPECT_EQ(lidar_get_calib_file(handle, dir.path().string().c_str()), 0);
    double seconds = std::chrono::duration<double>(steady::now() - began).count();
    EXPECT_GT(seconds, 0.6 * time_scale()) << "the transfer took several beat windows";
    EXPECT_FALSE(log_contains("device soft dettach."));
    EXPECT_EQ(attaches().size(), 1u);

    device->set_rx_frame_gap(std::chrono::milliseconds(0));
    device->answer_heartbeats(false);
    device->set_answer_delay(scaled(std::chrono::milliseconds(400)));
    EXPECT_EQ(lidar_open_device(handle), 0);
    EXPECT_TRUE(log_contains("device soft dettach.")) << "the device was declared gone meanwhile";
    device->set_answer_delay(std::chrono::milliseconds(0));
    device->answer_heartbeats(true);
    lidar_destory_device(handle);
}
