// Recording through the data handler with the virtual KestOne streaming.
#include "recording/recording_summary.h"
#include "sim/kestone_wire.h"
#include "tests/app/data_handler_test.h"
#include "tests/support/full_rates.h"
#include "tests/support/scoped_env.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>

using namespace kest_test;
namespace fs = std::filesystem;

namespace {

constexpr uint16_t code_calib = 16;
const std::string placeholder = "# camera intrinsics/extrinsics TBD\n";

int thread_count() {
    return int(std::distance(fs::directory_iterator("/proc/self/task"), {}));
}

// KEST_HOTPLUG_CYCLES, else about two minutes' worth (less where a sanitizer slows every attach).
int hotplug_cycles() {
    const char *asked = getenv("KEST_HOTPLUG_CYCLES");
    return asked ? atoi(asked) : sanitized ? 60 : 1000;
}

} // namespace

// Ten seconds at the nominal rates: nothing is lost between the decoders and the files.
TEST_F(Recording, FullRateRecordingLosesNothing) {
    const kest_sim::stream_settings settings = full_rates();
    ASSERT_TRUE(stream(settings));
    record(true);
    EXPECT_TRUE(built_at_least({100, 100, 300})); // ten seconds of the "full" streams
    record(false);
    std::array<read_file, 3> files = expect_whole_recording(recording_folder());
    ASSERT_GE(files[1].records.size(), 100u);
    // A cloud holds the rays of a scan that came back: most, never more than were cast.
    for (const auto &cloud : files[1].records)
        ASSERT_TRUE(cloud.count > settings.cloud_points / 2 && cloud.count <= settings.cloud_points)
            << cloud.count << " points of a cloud";
}

// Replugged while recording (in the attach sequence, as the calibration is fetched, streaming): the
// device streams again after each, the one recording holds every record built, nothing leaks.
TEST_F(Recording, ReplugsWhileRecordingLoseNothingAndLeakNothing) {
    kest_sim::stream_settings settings = kest_sim::stream_preset("demo");
    settings.clock_survives_replug = true; // the recording's times run on
    ASSERT_TRUE(stream(settings));
    record(true);
    ASSERT_TRUE(built_at_least({2, 2, 2}));
    const int threads = thread_count();
    const kest_sim::bus_stats before = kest_sim::bus_get_stats();
    auto calibrations_in = [](const kest_sim::kestone_state &state) {
        return std::count(state.requests.begin(), state.requests.end(), code_calib);
    };
    // The device layer prints much on every attach: the first failing cycle is reported after.
    std::string failure;
    auto replug = [&] {
        unplug();
        testing::AssertionResult gone = wait_status("Device disconnected");
        if (!gone && failure.empty())
            failure = gone.message();
        plug();
    };
    testing::internal::CaptureStdout();
    const int cycles = hotplug_cycles();
    for (int cycle = 0; cycle < cycles && failure.empty(); ++cycle) {
        const std::array<uint32_t, 3> built = handler()->recordsBuilt();
        replug();
        if (cycle % 3 == 0) { // somewhere in the attach sequence
            const size_t asked = device->state().requests.size() + cycle % 7;
            device->wait_state(
                [&](const kest_sim::kestone_state &s) { return s.requests.size() >= asked; },
                scaled(std::chrono::seconds(5)));
            replug();
        } else if (cycle % 3 == 1) { // the calibration file on its way
            const auto calibrations = calibrations_in(device->state());
            device->wait_state(
                [&](const kest_sim::kestone_state &s) { return calibrations_in(s) > calibrations; },
                scaled(std::chrono::seconds(5)));
            replug();
        }
        testing::AssertionResult streams = wait_status("Device connected and streaming");
        if (streams)
            streams = built_at_least({built[0] + 1, built[1] + 1, built[2] + 1});
        if (!streams && failure.empty())
            failure = "cycle " + std::to_string(cycle) + ": " + streams.message();
    }
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(failure, "");
    EXPECT_TRUE(eventually([&] { return thread_count() == threads; },
                           "threads back to the " + std::to_string(threads) + " counted first"))
        << thread_count() << " threads";
    record(false);
    expect_whole_recording(recording_folder());
    EXPECT_TRUE(
        eventually([&] { return kest_sim::bus_get_stats().handles_open == before.handles_open; },
                   "one handle open, the current device's"));
}

// Quitting while recording flushes and closes the files before the device layer goes down.
TEST_F(Recording, QuitWhileRecordingStopsTheRecordingFirst) {
    ASSERT_TRUE(stream(kest_sim::stream_preset("demo")));
    record(true);
    ASSERT_TRUE(built_at_least({3, 3, 3}));
    capture_stdout([] { handler()->shutdown(); });
    EXPECT_FALSE(handler()->isRecording());
    EXPECT_FALSE(handler()->hasDevice());
    expect_whole_recording(recording_folder());
    ASSERT_TRUE(KestDataHandler::initSdk()); // for the fixture's own teardown
}

// A calib.yaml this run did not fetch may be another device's: it is not converted.
TEST_F(Recording, CalibrationNotFetchedInThisRunIsNotConverted) {
    fs::path stale = fs::path(handler()->calibrationDir().toStdString()) / "calib.yaml";
    fs::create_directories(stale.parent_path());
    write_file(stale.string(), kest_sim::kestone::calibration_yaml());
    device->fail_code(code_calib);
    ASSERT_TRUE(stream(kest_sim::stream_preset("demo")));
    ASSERT_FALSE(handler()->calibrationFetched());
    record(true);
    record(false);
    EXPECT_EQ(file_text(recording_folder() / "image/cam_in_ex.txt"), placeholder);
}

// The calibration the device serves, with Tcl_0 as its top three rows, is converted whole: the
// bottom row 0, 0, 0, 1 is added, and no key is missing.
TEST_F(Recording, ThreeRowCalibrationIsConvertedWithItsBottomRow) {
    kest_sim::stream_settings settings = kest_sim::stream_preset("demo");
    settings.camera.tcl_values = 12;
    ASSERT_TRUE(stream(settings));
    ASSERT_TRUE(handler()->calibrationFetched());
    record(true);
    record(false);
    EXPECT_THAT(file_text(recording_folder() / "image/cam_in_ex.txt"),
                testing::HasSubstr("\n        0.000000, 0.000000, 0.000000, 1.000000]\ncam_0: \n"));
    EXPECT_FALSE(log_contains("[Recorder] The calibration")) << "nothing missing, nothing wrong";
}

// Where nothing can be written (the root, KEST_DATA_DIR, the per-user data folder) no recording
// starts, and the stop that follows leaves the last recording alone.
TEST_F(Recording, NothingStartsWhereNothingCanBeWritten) {
    record(true);
    record(false);
    const fs::path last = recording_folder();
    write_file((last / "image/cam_in_ex.txt").string(), "the last recording's calibration\n");
    write_file(root.file("plain"), "a file where folders would go");
    const std::string blocked = root.file("plain/below");
    handler()->setRecordingRoot(QString::fromStdString(blocked));
    scoped_env data("KEST_DATA_DIR", blocked), share("XDG_DATA_HOME", blocked);
    record(true);
    EXPECT_FALSE(handler()->isRecording());
    EXPECT_TRUE(log_contains("[Recorder] No recording started: none of " + blocked));
    EXPECT_EQ(recording_folder(), last);
    record(false);
    EXPECT_EQ(file_text(last / "image/cam_in_ex.txt"), "the last recording's calibration\n");
}

// The decoders print on standard output; a reader that went away must not end the program.
TEST_F(Recording, ClosedStandardOutputDoesNotEndTheProgram) {
    struct sigaction current {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_IGN);
}

// With the buffer at 5 s, saving after 8 s of streaming gives the last 5 s (by device time, within
// a frame), whole, sound and with its calibration; saving again and going on records on after the
// buffered seconds, numbered on. At the full rate the buffer never holds more than its budget.
TEST_F(Recording, TheReplayBufferSavesTheLastSecondsAndCanRecordOn) {
    const kest_sim::stream_settings settings = full_rates();
    handler()->setReplayLimits(5, ReplayBuffer::defaultBudgetBytes);
    ASSERT_TRUE(stream(settings));
    ASSERT_TRUE(eventually(
        [&] {
            return device->counters().sent[kest_sim::wire::type_cloud] >= 8 * settings.cloud_hz;
        },
        "8 s of clouds", std::chrono::seconds(120)));
    const double newest = handler()->replayBuffer().secondsHeld();
    EXPECT_NEAR(newest, 5.0, 0.2);
    capture_stdout([] { ASSERT_TRUE(handler()->saveReplay(false)); });
    EXPECT_FALSE(handler()->isRecording());
    const fs::path saved = recording_folder();
    std::array<read_file, 3> files = read_recording(saved);
    ASSERT_FALSE(files[1].records.empty());
    double first = files[1].records.front().seconds, last = files[1].records.back().seconds;
    for (const read_file &file : files) {
        EXPECT_EQ(file.fault, "");
        EXPECT_EQ(numbering_fault(file), "");
        for (const read_record &record : file.records) {
            first = std::min(first, record.seconds);
            last = std::max(last, record.seconds);
        }
    }
    EXPECT_NEAR(last - first, 5.0, 1.0 / settings.cloud_hz + 0.05)
        << "the last 5 s, within a frame";
    const RecordingSummary summary = summariseRecording(saved.string());
    EXPECT_TRUE(summary.sound()) << testing::PrintToString(summary.faults());
    EXPECT_EQ(summary.calibration, CalibrationState::Converted);

    // A recording's folder is named by the second it starts in: the next one in a new second.
    ASSERT_TRUE(eventually(
        [&] {
            return QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_HHmmss")) !=
                   QString::fromStdString(saved.filename().string());
        },
        "the next second"));
    capture_stdout([] { ASSERT_TRUE(handler()->saveReplay(true)); });
    ASSERT_TRUE(handler()->isRecording());
    const std::array<uint32_t, 3> buffered = handler()->recordsBuilt();
    EXPECT_FALSE(handler()->saveReplay(true)) << "not while recording";
    EXPECT_TRUE(built_at_least({buffered[0] + 20, buffered[1] + 5, buffered[2] + 10}));
    record(false);
    files = expect_whole_recording(recording_folder());
    EXPECT_GT(files[1].records.size(), buffered[1] + 4u);

    // A budget below 5 s of the full streams: held to it, the oldest let go first.
    const uint64_t budget = uint64_t{sanitized ? 512 : 4096} << 10;
    handler()->setReplayLimits(5, budget);
    for (int check = 0; check < 20; ++check) {
        ASSERT_TRUE(eventually([&] { return handler()->replayBuffer().bytesHeld() > budget / 2; },
                               "the buffer filling"));
        ASSERT_LE(handler()->replayBuffer().bytesHeld(), budget);
    }
    EXPECT_LT(handler()->replayBuffer().secondsHeld(), 5.0);
    handler()->setReplayLimits(0, budget);
    EXPECT_EQ(handler()->replayBuffer().bytesHeld(), 0u);
}

// The buffer's window is device time: a stream that lags is not a restart, a stream whose clock
// goes back is one (its records laid after the others), and what is taken is numbered from 0.
TEST(ReplayBuffer, KeepsTheLastSecondsAcrossLagsAndClockRestarts) {
    ReplayBuffer buffer;
    buffer.setLimits(2.05, ReplayBuffer::defaultBudgetBytes);
    const float values[StreamDecoding::POSE_RECORD_VALUES] = {0, 0, 0, 0, 0, 0, 1};
    const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xD9};
    for (int i = 0; i <= 50; ++i) // poses to 105 s; pictures 1.5 s behind them
        buffer.push(0, StreamDecoding::buildPoseRecord(uint32_t(100 + i), 100 + i * 0.1, values));
    for (int i = 0; i <= 5; ++i)
        buffer.push(2, StreamDecoding::buildImageRecord(7, 102 + i * 0.3, jpeg, sizeof jpeg));
    EXPECT_NEAR(buffer.secondsHeld(), 2.0, 1e-6) << "a lagging stream moves no window";
    for (int i = 1; i <= 10; ++i) // the clock starts again near 0.5 s
        buffer.push(0, StreamDecoding::buildPoseRecord(uint32_t(i), 0.55 + i * 0.1, values));
    EXPECT_NEAR(buffer.secondsHeld(), 2.0, 1e-6);
    const ReplayBuffer::Records taken = buffer.take();
    ASSERT_EQ(taken[0].size(), 22u) << "1.1 s before the restart and 0.9 s after";
    EXPECT_TRUE(taken[2].empty()) << "the pictures, the last at 103.5 s, fell out of the window";
    EXPECT_EQ(stored<uint32_t>(taken[0].front().data()), 0u);
    EXPECT_EQ(stored<uint32_t>(taken[0].back().data()), 21u);
    EXPECT_EQ(stored<double>(taken[0].back().data() + 4), 1.55) << "times as recorded";
    EXPECT_EQ(buffer.recordsHeld(), 0u);
}
