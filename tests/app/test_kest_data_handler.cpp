// The data handler's attach and detach sequences and its scan mode, with the real device layer and
// the virtual KestOne on the virtual bus.
#include "tests/app/data_handler_test.h"

#include <gmock/gmock.h>

#include <QMetaMethod>
#include <QMetaObject>

#include <chrono>
#include <filesystem>

using namespace kest_test;
using status = DataHandler::status;

namespace {

// Control codes of the requests the attach sequence makes.
constexpr uint16_t code_open = 1, code_start = 7, code_mode1 = 12, code_imu_rate = 30,
                   code_depth = 33;

} // namespace

TEST_F(DataHandler, AttachSequenceReachesStreamingWithTwoStatuses) {
    std::string out = capture_stdout([&] {
        plug();
        ASSERT_TRUE(wait_status("Device connected and streaming"));
    });
    EXPECT_THAT(statuses->snapshot(),
                testing::ElementsAre(status{false, "Device attached, initializing..."},
                                     status{true, "Device connected and streaming"}));
    EXPECT_EQ(handler()->deviceState(), KestDataHandler::DeviceState::Streaming);
    const uint64_t before = handler()->bytesReceived();
    EXPECT_TRUE(eventually([&] { return handler()->bytesReceived() > before; }, "bytes counted"));
    EXPECT_TRUE(handler()->calibrationFetched());
    EXPECT_EQ(handler()->calibrationDir(),
              QString::fromStdString((folder().path() / "files/recv").string()));
    EXPECT_TRUE(std::filesystem::exists(folder().path() / "files/recv/calib.yaml"));
    EXPECT_THAT(sequence_lines(),
                testing::ElementsAre("[Lidar] Device attached\n", "[Lidar] Device created.\n",
                                     "[Lidar] Device opened.\n", "[Lidar] Device get calib file.\n",
                                     "get version success.\n", "[Lidar] Device set mode.\n",
                                     "[Lidar] Device registered stream callback.\n",
                                     "[Lidar] lidar_set_depth_parameter.\n",
                                     "[Lidar] lidar_set_imu_parameter.\n",
                                     "[Lidar] Device started stream.\n"));

    unplug();
    ASSERT_TRUE(wait_status("Device disconnected"));
    EXPECT_TRUE(eventually([&] { return !handler()->hasDevice(); }, "the handle cleared"));
    EXPECT_EQ(handler()->deviceState(), KestDataHandler::DeviceState::NoDevice);
    EXPECT_THAT(out, testing::Not(testing::HasSubstr("destory device failed.")));
    // The detach ran after the whole attach sequence: after the start of the streams, the depth
    // frames' activation (code 4), and nothing else.
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

// Each refused step ends the sequence with its own status and line; the steps after the parameters
// leave no handle, so the detach that follows reports it cannot destroy one, once, and destroys
// nothing twice.
TEST_F(DataHandler, RefusedStepEndsTheSequenceAndNamesTheFailure) {
    const struct {
        uint16_t code;
        const char *line;
        const char *status;
        bool handle_kept;
    } steps[] = {
        {code_open, "[Lidar] Failed to open device.\n", "Failed to open device", true},
        {code_mode1, "[Lidar] Failed to set mode.\n", "Failed to set device mode", true},
        {code_depth, "set depth parameter failed.\n", "Failed to set depth parameter", false},
        {code_imu_rate, "set imu parameter failed.\n", "Failed to set IMU parameter", false},
        {code_start, "[Lidar] Failed to start stream.\n", "Failed to start data stream", false},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.status);
        statuses->clear();
        device = std::make_shared<kest_sim::kestone>();
        device->fail_code(step.code);
        testing::internal::CaptureStdout();
        plug();
        testing::AssertionResult ended = wait_status(step.status);
        const auto state = handler()->deviceState();
        const std::vector<std::string> lines = sequence_lines();
        const bool kept = handler()->hasDevice();
        unplug();
        testing::AssertionResult detached = wait_status("Device disconnected");
        lidar_system_deinit(); // returns once the detach sequence has ended
        bool cleared = !handler()->hasDevice();
        std::string out = testing::internal::GetCapturedStdout();
        // A fresh capture for the next step, set while no device-layer thread runs.
        reset_logger();
        capture_logs(KEST_LOG_VALUE_DEBUG);
        ASSERT_TRUE(KestDataHandler::initSdk());
        ASSERT_TRUE(ended);
        ASSERT_TRUE(detached);
        ASSERT_TRUE(cleared);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), step.line);
        EXPECT_EQ(kept, step.handle_kept);
        EXPECT_EQ(state, KestDataHandler::DeviceState::Failed);
        const auto reported = out.find("destory device failed.\n");
        EXPECT_EQ(reported != std::string::npos, !step.handle_kept);
        EXPECT_EQ(out.rfind("destory device failed.\n"), reported) << "reported once at most";
        EXPECT_EQ(statuses->size(), 3u) << "initializing, the failure, disconnected";
    }
}

// A device that sends a stream only once its type is activated gives the viewer its depth frames,
// the one type the attach sequence activates, and nothing else.
TEST_F(DataHandler, ADeviceThatWaitsForActivationSendsTheDepthFramesOnly) {
    kest_sim::stream_settings settings = kest_sim::stream_preset("demo");
    settings.activation_required = true;
    device->set_streams(settings);
    plug();
    ASSERT_TRUE(wait_status("Device connected and streaming"));
    EXPECT_TRUE(eventually([&] { return device->counters().sent[6] >= 2; }, "depth frames"));
    // SLAM clouds, odometry, wiwc, IMU, high-frequency odometry, pictures.
    for (uint16_t type : {0, 1, 21, 2, 18, 3})
        EXPECT_EQ(device->counters().sent[type], 0u) << "messages of type " << type;
}

// Peers address the handler's methods by index: the status signal, then the scan mode and record
// slots; the recorder's news live on its notifier.
TEST(DataHandlerMetaObject, HoldsTheStatusSignalThenItsTwoSlotsInOrder) {
    const QMetaObject &meta = KestDataHandler::staticMetaObject;
    EXPECT_STREQ(meta.className(), "KestDataHandler");
    const std::vector<std::pair<QMetaMethod::MethodType, QByteArray>> expected = {
        {QMetaMethod::Signal, "deviceStatusChanged(bool,QString)"},
        {QMetaMethod::Slot, "onScanModeChanged(ScanMode)"},
        {QMetaMethod::Slot, "onRecordToggled(bool)"}};
    ASSERT_GE(meta.methodCount() - meta.methodOffset(), static_cast<int>(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + static_cast<int>(i));
        EXPECT_EQ(method.methodType(), expected[i].first) << "index " << i;
        EXPECT_EQ(method.methodSignature(), expected[i].second) << "index " << i;
    }
}

TEST_F(DataHandler, ScanModeChoosesTheCloudStream) {
    KestDataHandler *handler = DataHandler::handler();
    using Flags = std::pair<bool, bool>; // DTOF, SLAM
    handler->onScanModeChanged(ScanMode::DTOF);
    EXPECT_EQ(Flags(handler->dtofEnabled(), handler->slamEnabled()), Flags(true, false));
    handler->onScanModeChanged(ScanMode::SLAM);
    EXPECT_TRUE(log_contains("Scan mode changed to 0"));
    EXPECT_EQ(Flags(handler->dtofEnabled(), handler->slamEnabled()), Flags(false, true));
    handler->onScanModeChanged(static_cast<ScanMode>(7));
    EXPECT_EQ(static_cast<int>(handler->scanMode()), 7);
    EXPECT_EQ(Flags(handler->dtofEnabled(), handler->slamEnabled()), Flags(false, true))
        << "an unknown mode leaves the flags";
    handler->onScanModeChanged(ScanMode::SLAM);
}
