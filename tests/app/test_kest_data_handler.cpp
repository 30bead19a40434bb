// The data handler's attach and detach sequences with the device layer and the virtual KestOne.
#include "tests/app/data_handler_test.h"

#include <gmock/gmock.h>

#include <chrono>

using namespace kest_test;
using status = DataHandler::status;

namespace {

// Control codes of the requests the attach sequence makes.
constexpr uint16_t code_open = 1, code_start = 7, code_depth = 33;

} // namespace

// The device here sends a stream only once its type is activated: the viewer gets its depth frames,
// the one type the attach sequence activates, and nothing else.
TEST_F(DataHandler, AttachSequenceReachesStreamingWithTwoStatuses) {
    kest_sim::stream_settings settings = kest_sim::stream_preset("demo");
    settings.activation_required = true;
    device->set_streams(settings);
    std::string out = capture_stdout([&] {
        plug();
        ASSERT_TRUE(wait_status("Device connected and streaming"));
    });
    EXPECT_THAT(statuses->snapshot(),
                testing::ElementsAre(status{false, "Device attached, initializing..."},
                                     status{true, "Device connected and streaming"}));
    const uint64_t before = handler()->bytesReceived();
    EXPECT_TRUE(eventually([&] { return handler()->bytesReceived() > before; }, "bytes counted"));
    EXPECT_TRUE(handler()->calibrationFetched());
    EXPECT_TRUE(eventually([&] { return device->counters().sent[6] >= 2; }, "depth frames"));
    // SLAM clouds, odometry, wiwc, IMU, high-frequency odometry, pictures.
    for (uint16_t type : {0, 1, 21, 2, 18, 3})
        EXPECT_EQ(device->counters().sent[type], 0u) << "messages of type " << type;
    unplug();
    ASSERT_TRUE(wait_status("Device disconnected"));
    EXPECT_TRUE(eventually([&] { return !handler()->hasDevice(); }, "the handle cleared"));
    EXPECT_THAT(out, testing::Not(testing::HasSubstr("destory device failed.")));
    // The detach ran after the whole attach sequence, ending in the depth frames' activation (4).
    EXPECT_THAT(device->state().requests,
                testing::ElementsAre(1, 16, 27, 12, 33, 30, 31, 32, 7, 4));
}

// Quitting just as the device streams: the attach sequence is still activating the depth frames.
// The quit path waits for it instead of sending its stop on the same answer channel (where one
// request took the other's answer, and the stop waited ten seconds for an answer gone astray).
TEST_F(DataHandler, QuitWhileTheStreamsAreActivatedWaitsForThemAndStopsCleanly) {
    device->set_answer_delay(std::chrono::milliseconds(100));
    capture_stdout([&] {
        plug();
        ASSERT_TRUE(wait_status("Device connected and streaming"));
        handler()->shutdown();
    });
    for (const char *fault : {"missed ok response", "device stop stream 1 fail", "no answer on"})
        EXPECT_FALSE(log_contains(fault)) << fault;
    EXPECT_THAT(device->state().requests,
                testing::ElementsAre(1, 16, 27, 12, 33, 30, 31, 32, 7, 4, 8, 2))
        << "the activation, then the stop and the close";
    ASSERT_TRUE(KestDataHandler::initSdk()); // for the fixture's own teardown
}

// Each refused step ends the sequence with its own status; the steps after the parameters leave no
// handle, so the detach reports once that it cannot destroy one, and destroys nothing twice.
TEST_F(DataHandler, RefusedStepEndsTheSequenceAndNamesTheFailure) {
    const struct {
        uint16_t code;
        const char *status;
        bool handle_kept;
    } steps[] = {
        {code_open, "Failed to open device", true},
        {code_depth, "Failed to set depth parameter", false},
        {code_start, "Failed to start data stream", false},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.status);
        statuses->clear();
        device = std::make_shared<kest_sim::kestone>();
        device->fail_code(step.code);
        testing::internal::CaptureStdout();
        plug();
        testing::AssertionResult ended = wait_status(step.status);
        const bool kept = handler()->hasDevice();
        unplug();
        testing::AssertionResult detached = wait_status("Device disconnected");
        lidar_system_deinit(); // returns once the detach sequence has ended
        bool cleared = !handler()->hasDevice();
        std::string out = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(KestDataHandler::initSdk());
        ASSERT_TRUE(ended);
        ASSERT_TRUE(detached);
        ASSERT_TRUE(cleared);
        EXPECT_EQ(kept, step.handle_kept);
        const auto reported = out.find("destory device failed.\n");
        EXPECT_EQ(reported != std::string::npos, !step.handle_kept);
        EXPECT_EQ(out.rfind("destory device failed.\n"), reported) << "reported once at most";
        EXPECT_EQ(statuses->size(), 3u) << "initializing, the failure, disconnected";
    }
}
