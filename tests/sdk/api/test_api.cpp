// The lidar_* entry points through the whole stack on the virtual bus.
#include "sdk/comm/protocol/protocol.h"
#include "tests/sdk/api/api_harness.h"

#include <gmock/gmock.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <future>

using namespace kest_test;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

class Api : public ApiTest {};

size_t lines_with(const std::string &fragment) {
    size_t count = 0;
    for (const std::string &line : captured_lines())
        count += line.find(fragment) != std::string::npos;
    return count;
}

} // namespace

TEST_F(Api, EveryCallBeforeInitIsRefusedAndInitOnlyOnce) {
    lidar_device_info_t info{};
    lidar_device_t *handle = nullptr;
    lidar_device_t stack_device{};
    lidar_imu_parameter_t imu{};
    uint32_t value = 0;
    lidar_stream_callback_t callback{nullptr, nullptr};
    int results[] = {
        lidar_system_deinit(),
        lidar_create_device(&info, &handle),
        lidar_destory_device(&stack_device),
        lidar_open_device(&stack_device),
        lidar_close_device(&stack_device),
        lidar_set_mode(&stack_device, 0),
        lidar_start_stream(&stack_device, 0, &value),
        lidar_stop_stream(&stack_device, 0),
        lidar_activate_stream_type(&stack_device, 2),
        lidar_register_stream_callback(&stack_device, &callback),
        lidar_unregister_stream_callback(&stack_device),
        lidar_get_calib_file(&stack_device, "unused"),
        lidar_get_version(&stack_device),
        lidar_set_imu_parameter(&stack_device, &imu),
        lidar_set_depth_parameter(&stack_device, &value),
    };
    for (int result : results)
        EXPECT_EQ(result, -1);
    EXPECT_EQ(lines_with("SDK not initialized."), sizeof results / sizeof results[0]);
    EXPECT_EQ(lines_with("<ERROR><api.cpp:lidar_open_device:"), 1u) << "each names its call";

    ASSERT_EQ(lidar_system_init(nullptr), 0);
    EXPECT_TRUE(log_contains(
        "SLAM synchronizer started (cloud=REQUIRED, odom=REQUIRED, wiwc=OPTIONAL_LATEST)"));
    EXPECT_EQ(lidar_system_init(nullptr), -1);
    EXPECT_TRUE(log_contains("SDK already initialized."));
    EXPECT_EQ(lidar_system_deinit(), 0);
    EXPECT_TRUE(log_contains("SLAM synchronizer stopped"));
    EXPECT_EQ(lidar_system_init(nullptr), 0) << "and again after de-initialisation";
}

TEST_F(Api, AttachSequenceOfTheApplicationRunsOnTheNotificationThread) {
    auto dir = std::make_shared<temp_dir>(); // the hook's: a callback may outlive this body
    auto future = on_first_attach([dir] {
        lidar_device_info_t info{};
        lidar_device_t *handle = nullptr;
        uint32_t rate = 0, depth = 0;
        lidar_imu_parameter_t imu{2, 1, 1};
        lidar_stream_callback_t callback{[](const lidar_stream_data_t *, void *) {}, nullptr};
        return std::vector<int>{
            lidar_create_device(&info, &handle),
            lidar_open_device(handle),
            lidar_get_calib_file(handle, (dir->path() / "files/recv").c_str()),
            lidar_get_version(handle),
            lidar_set_mode(handle, 1),
            lidar_register_stream_callback(handle, &callback),
            lidar_set_depth_parameter(handle, &depth),
            lidar_set_imu_parameter(handle, &imu),
            lidar_start_stream(handle, 0, &rate),
            lidar_activate_stream_type(handle, 16),
            static_cast<int>(rate),
        };
    });
    std::string out = capture_stdout([&] { bring_up(); });
    ASSERT_EQ(future.wait_for(patience()), std::future_status::ready);
    // The rate is the subframe rate of what the device sends: four per depth frame.
    const int subframes = static_cast<int>(std::lround(kest_sim::stream_settings{}.dtof_hz * 4));
    EXPECT_THAT(future.get(), ElementsAre(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, subframes));
    EXPECT_THAT(device->state().requests, ElementsAre(1, 16, 27, 12, 33, 30, 31, 32, 7, 24));
    EXPECT_THAT(out, HasSubstr("\n [device_version]: kernel_version:V5.10.110 \n"));
    EXPECT_THAT(out, HasSubstr("\n [device_version]: soc_app_version:V2.4.1 \n"));
    EXPECT_THAT(out, HasSubstr("\n [device_version]: iq_md5: 5f4dcc3b5aa765d61d8327deb882cf99 \n"));
    EXPECT_LT(out.find("kernel_version"), out.find("soc_app_version"));
    EXPECT_TRUE(log_contains("device attach."));
    ASSERT_EQ(attaches().size(), 1u) << "the USB attach itself is only logged";
    EXPECT_TRUE(attaches()[0].attached);
    EXPECT_NE(attaches()[0].thread, std::this_thread::get_id());

    kest_sim::bus_unplug(device_id);
    ASSERT_TRUE(wait_attach_events(2));
    EXPECT_FALSE(attaches()[1].attached);
    EXPECT_TRUE(log_contains("device dettach."));
}

// The application's detach handling is slow; the device comes back meanwhile.
// Its attach must wait for the detach to be handled, or the application would
// close the device it has just opened.
TEST_F(Api, AttachNotificationWaitsForTheDetachBeforeIt) {
    struct watch {
        std::mutex mutex;
        std::condition_variable changed;
        bool in_detach = false;
        bool attach_began = false;
        bool overtaken = false;
    };
    auto state = std::make_shared<watch>();
    bring_up();
    on_attach = [state](bool attached) {
        std::unique_lock<std::mutex> lock(state->mutex);
        if (attached) {
            state->overtaken = state->overtaken || state->in_detach;
            state->attach_began = true;
            state->changed.notify_all();
            return;
        }
        state->in_detach = true;
        state->changed.wait_for(lock, scaled(std::chrono::seconds(3)),
                                [&] { return state->attach_began; });
        state->in_detach = false;
    };
    kest_sim::bus_unplug(device_id);
    device_id = kest_sim::bus_plug(kest_sim::kestone_desc(), device);
    ASSERT_TRUE(wait_attach_events(3));
    std::lock_guard<std::mutex> lock(state->mutex);
    EXPECT_FALSE(state->overtaken) << "the attach callback ran while the detach was handled";
    EXPECT_FALSE(attaches()[1].attached);
    EXPECT_TRUE(attaches()[2].attached);
}

TEST_F(Api, RefusalsSendNothingAndFailedRequestsReportTheirStep) {
    bring_up();
    lidar_device_t *handle = make_device();
    size_t before = device->state().requests.size();
    EXPECT_EQ(lidar_set_mode(handle, 2), -1);
    EXPECT_TRUE(log_contains("Unknown lidar mode: 2"));
    for (int type : {1, 64, 3})
        EXPECT_EQ(lidar_activate_stream_type(handle, type), -1);
    EXPECT_TRUE(log_contains("Unknown stream type: 64"));

    uint32_t rate = 0;
    ASSERT_EQ(lidar_start_stream(handle, 0, &rate), 0);
    lidar_imu_parameter_t imu{2, 1, 1};
    uint32_t depth = 0;
    size_t streaming = device->state().requests.size();
    EXPECT_EQ(lidar_set_imu_parameter(handle, &imu), -1);
    EXPECT_EQ(lidar_set_depth_parameter(handle, &depth), -1);
    EXPECT_EQ(lines_with("Device is streaming."), 2u);
    EXPECT_EQ(device->state().requests.size(), streaming);
    ASSERT_EQ(lidar_stop_stream(handle, 0), 0);
    EXPECT_EQ(lidar_set_imu_parameter(handle, &imu), 0);
    EXPECT_EQ(lidar_set_depth_parameter(handle, &depth), 0);
    EXPECT_EQ(device->state().requests.size(), before + 2 + 4);

    device->fail_code(CTRL_SET_IMU_ACC_RANGE, 5);
    EXPECT_EQ(lidar_set_imu_parameter(handle, &imu), -1);
    EXPECT_TRUE(log_contains("set imu accel fsr fail."));
    EXPECT_EQ(device->state().requests.back(), CTRL_SET_IMU_ACC_RANGE) << "it stops there";
    device->fail_code(CTRL_OPEN_DEVICE);
    EXPECT_EQ(lidar_open_device(handle), -1);
    EXPECT_TRUE(log_contains("open device fail."));
    device->fail_code(CTRL_START_STREAM);
    rate = 99;
    EXPECT_EQ(lidar_start_stream(handle, 3, &rate), -1);
    EXPECT_TRUE(log_contains("device start stream 3 fail."));
    EXPECT_EQ(rate, 99u);
    device->set_version_length(155);
    EXPECT_EQ(lidar_get_version(handle), -1) << "only a 156-byte record is printed";
    EXPECT_TRUE(log_contains("get device version fail."));
}

// A device that cannot be opened never reaches the attach callback; only the
// statistics tell the host that one is there.
TEST_F(Api, StatisticsTellOfADeviceThatCannotBeOpenedAndStartAfreshAtInit) {
    kest_sim::device_desc desc = kest_sim::kestone_desc();
    desc.open_error = LIBUSB_ERROR_ACCESS;
    device_id = kest_sim::bus_plug(desc, device);
    ASSERT_EQ(lidar_system_init(attach_recorder()), 0);
    ASSERT_TRUE(eventually_logged("cannot open device 2207:0019: LIBUSB_ERROR_ACCESS"));
    lidar_statistics_t stats{};
    // The failure is logged before it is counted.
    ASSERT_TRUE(
        eventually([&] { return lidar_get_statistics(&stats) == 0 && stats.open_failures >= 1; },
                   "the failed open counted"));
    EXPECT_EQ(stats.open_failures, 1u);
    EXPECT_EQ(stats.last_open_error, LIBUSB_ERROR_ACCESS);
    EXPECT_TRUE(attaches().empty());

    ASSERT_EQ(lidar_system_deinit(), 0);
    kest_sim::bus_unplug(device_id);
    ASSERT_EQ(lidar_system_init(attach_recorder()), 0);
    ASSERT_EQ(lidar_get_statistics(&stats), 0);
    EXPECT_EQ(stats.open_failures, 0u);
    EXPECT_EQ(stats.last_open_error, 0);
}
