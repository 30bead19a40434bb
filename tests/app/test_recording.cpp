// Recording through the data handler with the virtual KestOne streaming: what the decoders build
// reaches the files, whole and numbered, the calibration fetched in this run is converted at stop,
// and a recording that cannot be made is refused instead of pretended.
#include "app/calibration_conversion.h"
#include "tests/app/data_handler_test.h"
#include "tests/support/full_rates.h"

#include <gmock/gmock.h>

#include <QDir>

#include <algorithm>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace kest_test;
namespace fs = std::filesystem;

namespace {

constexpr uint16_t code_calib = 16;
const std::string placeholder = "# camera intrinsics/extrinsics TBD\n";

int thread_count() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0)
            return std::stoi(line.substr(8));
    return -1;
}

// Replug cycles: KEST_HOTPLUG_CYCLES, else a thousand (about two minutes; sixty where a sanitizer
// makes every attach sequence many times dearer).
int hotplug_cycles() {
    if (const char *asked = getenv("KEST_HOTPLUG_CYCLES"))
        return atoi(asked);
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    return 60;
#else
    return 1000;
#endif
}

} // namespace

// Ten seconds at the nominal rates: nothing is lost between the decoders and the files, and the
// calibration fetched becomes cam_in_ex.txt with decimal dots although the user's locale writes
// commas.
TEST_F(Recording, FullRateRecordingLosesNothingAndConvertsTheCalibration) {
    const kest_sim::stream_settings settings = full_rates();
    ASSERT_TRUE(stream(settings));
    ASSERT_TRUE(handler()->calibrationFetched());
    ASSERT_NE(setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "scripts/setup makes this locale";
    std::string started = capture_stdout([] { handler()->onRecordToggled(true); });
    EXPECT_TRUE(handler()->isRecording());
    // Other threads print too (device info, the sender); the recorder's line is whole.
    EXPECT_THAT(started, testing::HasSubstr("[Recorder] Started. Root: " +
                                            handler()->recordingFolder().toStdString() + "\n"));
    EXPECT_EQ(recording_folder().parent_path(), root.path());

    EXPECT_TRUE(built_at_least({100, 100, 300})); // ten seconds of the "full" streams
    std::string stopped = capture_stdout([] { handler()->onRecordToggled(false); });
    setlocale(LC_ALL, "C");
    EXPECT_FALSE(handler()->isRecording());
    EXPECT_THAT(stopped, testing::EndsWith("[Recorder] Stopped.\n"));
    std::array<read_file, 3> files = expect_whole_recording(recording_folder());
    ASSERT_GE(files[1].records.size(), 100u);
    // A cloud holds the rays of a scan that came back: most, never more than were cast.
    for (const auto &cloud : files[1].records) {
        ASSERT_GT(cloud.count, settings.cloud_points / 2) << "points of a cloud";
        ASSERT_LE(cloud.count, settings.cloud_points) << "points of a cloud";
    }

    fs::path expected = root.path() / "expected.txt";
    ASSERT_TRUE(convertCalibration(QDir(handler()->calibrationDir()).filePath("calib.yaml"),
                                   qpath(expected)));
    std::string converted = file_text(recording_folder() / "image/cam_in_ex.txt");
    EXPECT_EQ(converted, file_text(expected));
    EXPECT_THAT(converted, testing::Not(testing::ContainsRegex("[0-9],[0-9]")));
}

// Replugged again and again while recording (in the attach sequence, as the calibration is fetched,
// while streaming): the device streams again after each, the one recording holds every record
// built, and nothing leaks.
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
    // The device layer prints much on every attach: its output is held back, and the first failing
    // cycle is reported once it is released.
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
    // While streaming and recording, as when they were counted.
    EXPECT_TRUE(eventually([&] { return thread_count() == threads; },
                           "threads back to the " + std::to_string(threads) + " counted first"))
        << thread_count() << " threads";
    EXPECT_THAT(capture_stdout([] { handler()->onRecordToggled(false); }),
                testing::HasSubstr("[Recorder] Stopped.\n"));
    expect_whole_recording(recording_folder());

    // The last replug's old session is closed by the monitor thread.
    EXPECT_TRUE(
        eventually([&] { return kest_sim::bus_get_stats().handles_open == before.handles_open; },
                   "one handle open, the current device's"));
    // Each receiving channel (rx, imu, rgb, dtof) keeps one transfer out; a frame being sent (a
    // heartbeat) holds one more for a moment.
    EXPECT_TRUE(eventually(
        [] {
            const kest_sim::bus_stats now = kest_sim::bus_get_stats();
            return now.transfers_allocated - now.transfers_freed == 4;
        },
        "the current device's receiving transfers held, and nothing else"));
    EXPECT_EQ(kest_sim::bus_get_stats().closed_with_transfers_in_flight,
              before.closed_with_transfers_in_flight);
}

// Quitting while recording runs the normal stop: the files are flushed and closed before the device
// layer goes down. With DTOF chosen no SLAM cloud is decoded, but the recording still has its
// (empty) cloud file.
TEST_F(Recording, QuitWhileRecordingStopsTheRecordingFirst) {
    ASSERT_TRUE(stream("demo"));
    handler()->onScanModeChanged(ScanMode::DTOF);
    record(true);
    ASSERT_TRUE(built_at_least({3, 0, 3}));
    std::string out = capture_stdout([] { handler()->shutdown(); });
    EXPECT_FALSE(handler()->isRecording());
    EXPECT_FALSE(handler()->hasDevice());
    EXPECT_THAT(out, testing::HasSubstr("[Recorder] Stopped.\n"));
    EXPECT_TRUE(expect_whole_recording(recording_folder())[1].records.empty());
    EXPECT_EQ(fs::file_size(recording_paths(recording_folder())[1]), 0u);
    ASSERT_TRUE(KestDataHandler::initSdk()); // for the fixture's own teardown
}

// A calib.yaml this run did not fetch may be another device's: it is not converted, and one line
// says the recording has no calibration.
TEST_F(Recording, CalibrationNotFetchedInThisRunIsNotConverted) {
    fs::path stale = fs::path(handler()->calibrationDir().toStdString()) / "calib.yaml";
    fs::create_directories(stale.parent_path());
    write_file(stale.string(), kest_sim::kestone::calibration_yaml());
    device->fail_code(code_calib);
    ASSERT_TRUE(stream("demo"));
    ASSERT_FALSE(handler()->calibrationFetched());
    record(true);
    record(false);
    EXPECT_EQ(file_text(recording_folder() / "image/cam_in_ex.txt"), placeholder);
    EXPECT_TRUE(log_contains("[Recorder] No calibration was fetched from the device in this run;"));
}

// Tcl_0 as its top three rows gets its bottom row 0, 0, 0, 1. A calibration that cannot be
// converted leaves the placeholder and a warning that says why; one that lacks keys gets their
// defaults and an INFO line naming them.
TEST_F(Recording, ThreeRowCalibrationIsConvertedWithItsBottomRow) {
    kest_sim::stream_settings settings = kest_sim::stream_preset("demo");
    settings.camera.tcl_values = 12;
    ASSERT_TRUE(stream(settings));
    ASSERT_TRUE(handler()->calibrationFetched());
    record(true);
    record(false);
    const fs::path converted = recording_folder() / "image/cam_in_ex.txt";
    EXPECT_THAT(file_text(converted), testing::StartsWith("Tcl_0: ["));
    EXPECT_THAT(file_text(converted),
                testing::HasSubstr("\n        0.000000, 0.000000, 0.000000, 1.000000]\ncam_0: \n"));
    EXPECT_FALSE(log_contains("[Recorder] The calibration"));

    const fs::path fetched = fs::path(handler()->calibrationDir().toStdString()) / "calib.yaml";
    write_file(fetched.string(), "cam_0: 3\n");
    record(true);
    record(false);
    EXPECT_EQ(file_text(recording_folder() / "image/cam_in_ex.txt"), placeholder);
    EXPECT_TRUE(log_contains("[Recorder] The calibration was not converted (" + fetched.string() +
                             ": cam_0 is a single value, not a map); "));

    write_file(fetched.string(), "cam_0: {image_width: 640}\n");
    record(true);
    record(false);
    EXPECT_THAT(file_text(recording_folder() / "image/cam_in_ex.txt"),
                testing::HasSubstr("   image_width: 640\n   image_height: 0\n"));
    EXPECT_TRUE(log_contains("[Recorder] The calibration file has no Tcl_0, cam_0/image_height, "
                             "cam_0/k2"));
}

// An unwritable recording root (an installed program's folder) falls back on KEST_DATA_DIR, then on
// the per-user data folder; when nothing can be written no recording starts, and the stop that
// follows converts nothing.
TEST_F(Recording, RootFallsBackAndNothingStartsWhereNothingCanBeWritten) {
    write_file(root.file("plain"), "a file where folders would go");
    std::string blocked = root.file("plain/below");
    handler()->setRecordingRoot(QString::fromStdString(blocked));
    ASSERT_EQ(setenv("KEST_DATA_DIR", root.file("data").c_str(), 1), 0);
    ASSERT_EQ(setenv("XDG_DATA_HOME", root.file("share").c_str(), 1), 0);

    record(true);
    EXPECT_EQ(recording_folder().parent_path(), root.path() / "data");
    record(false);

    setenv("KEST_DATA_DIR", blocked.c_str(), 1);
    record(true);
    EXPECT_EQ(recording_folder().parent_path(), root.path() / "share/kestviewer/recordData");
    record(false);
    fs::path last = recording_folder();
    write_file((last / "image/cam_in_ex.txt").string(), "the last recording's calibration\n");

    setenv("XDG_DATA_HOME", blocked.c_str(), 1);
    std::vector<std::pair<bool, QString>> changes;
    QMetaObject::Connection told =
        QObject::connect(handler()->recordingNotifier(), &RecordingNotifier::recordingChanged,
                         [&changes](bool recording, const QString &message) {
                             changes.emplace_back(recording, message);
                         });
    std::string out = capture_stdout([] { handler()->onRecordToggled(true); });
    QObject::disconnect(told);
    unsetenv("KEST_DATA_DIR");
    unsetenv("XDG_DATA_HOME");
    ASSERT_EQ(changes.size(), 1u) << "the panel learns that nothing records";
    EXPECT_FALSE(changes[0].first);
    EXPECT_TRUE(changes[0].second.startsWith("Recording not started: none of " +
                                             QString::fromStdString(blocked)));
    EXPECT_FALSE(handler()->isRecording());
    EXPECT_EQ(out, "") << "no \"[Recorder] Started.\" for a recording that did not start";
    EXPECT_TRUE(log_contains("[Recorder] No recording started: none of " + blocked));
    EXPECT_EQ(handler()->recordingFolder().toStdString(), last.string());
    EXPECT_EQ(capture_stdout([] { handler()->onRecordToggled(false); }), "");
    EXPECT_EQ(file_text(last / "image/cam_in_ex.txt"), "the last recording's calibration\n");
}

// The decoders print on standard output; a reader that went away must not end the program.
TEST_F(Recording, ClosedStandardOutputDoesNotEndTheProgram) {
    struct sigaction current {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_IGN);
}
