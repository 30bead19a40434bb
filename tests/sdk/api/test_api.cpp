// The lidar_* entry points through the whole stack on the virtual bus.
#include "sdk/comm/protocol/protocol.h"
#include "tests/sdk/api/api_harness.h"

#include <gmock/gmock.h>

#include <cmath>
#include <condition_variable>
#include <future>

using namespace kest_test;
using testing::ElementsAre;

namespace {

class Api : public ApiTest {};

} // namespace

// Before init no call may touch the handle it is given (one on the stack here).
TEST_F(Api, CallsBeforeInitAreRefusedAndInitOnlyOnce) {
    lidar_device_info_t info{};
    lidar_device_t *handle = nullptr;
    lidar_device_t stack_device{};
    uint32_t rate = 0;
    lidar_stream_callback_t callback{nullptr, nullptr};
    for (int result : {lidar_system_deinit(), lidar_create_device(&info, &handle),
                       lidar_destory_device(&stack_device), lidar_open_device(&stack_device),
                       lidar_start_stream(&stack_device, 0, &rate),
                       lidar_register_stream_callback(&stack_device, &callback)})
        EXPECT_EQ(result, -1);
    ASSERT_EQ(lidar_system_init(nullptr), 0);
    EXPECT_EQ(lidar_system_init(nullptr), -1);
    EXPECT_EQ(lidar_system_deinit(), 0);
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
            lidar_get_calib_file(handle, (dir->path() / "files/recv").string().c_str()),
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
    EXPECT_THAT(out, testing::HasSubstr("\n [device_version]: soc_app_version:V2.4.1 \n"));
    ASSERT_EQ(attaches().size(), 1u) << "the USB attach itself is only logged";
    EXPECT_TRUE(attaches()[0].attached);
    EXPECT_NE(attaches()[0].thread, std::this_thread::get_id());

    kest_sim::bus_unplug(device_id);
    ASSERT_TRUE(wait_attach_events(2));
    EXPECT_FALSE(attaches()[1].attached);
}

// The application's detach handling is slow and the device comes back meanwhile: its attach
// must wait, or the application would close the device it has just opened.
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

// Bad arguments and parameters changed while streaming send nothing; a failed step ends its
// request sequence there, and a short version record is not read.
TEST_F(Api, RefusalsSendNothingAndAFailedStepEndsItsSequence) {
    bring_up();
    lidar_device_t *handle = make_device();
    const size_t before = device->state().requests.size();
    EXPECT_EQ(lidar_set_mode(handle, 2), -1);
    for (int type : {1, 64, 3})
        EXPECT_EQ(lidar_activate_stream_type(handle, type), -1);
    uint32_t rate = 0, depth = 0;
    lidar_imu_parameter_t imu{2, 1, 1};
    ASSERT_EQ(lidar_start_stream(handle, 0, &rate), 0);
    EXPECT_EQ(lidar_set_imu_parameter(handle, &imu), -1);
    EXPECT_EQ(lidar_set_depth_parameter(handle, &depth), -1);
    ASSERT_EQ(lidar_stop_stream(handle, 0), 0);
    EXPECT_EQ(device->state().requests.size(), before + 2) << "the start and the stop only";

    device->fail_code(CTRL_SET_IMU_ACC_RANGE, 5);
    EXPECT_EQ(lidar_set_imu_parameter(handle, &imu), -1);
    EXPECT_EQ(device->state().requests.back(), CTRL_SET_IMU_ACC_RANGE) << "it stops there";
    device->fail_code(CTRL_START_STREAM);
    rate = 99;
    EXPECT_EQ(lidar_start_stream(handle, 3, &rate), -1);
    EXPECT_EQ(rate, 99u);
    lidar_version_t version{};
    ASSERT_EQ(lidar_get_version_info(handle, &version), 0);
    EXPECT_THAT(version.kernel, ElementsAre(5, 10, 110));
    EXPECT_THAT(version.slam_algo, ElementsAre(3, 1, 12));
    EXPECT_STREQ(version.iq_md5, "5f4dcc3b5aa765d61d8327deb882cf99");
    device->set_version_length(155);
    version.mcu[0] = 99;
    EXPECT_EQ(lidar_get_version_info(handle, &version), -1) << "only a 156-byte record is read";
    EXPECT_EQ(version.mcu[0], 99) << "and nothing of it is kept";
}
