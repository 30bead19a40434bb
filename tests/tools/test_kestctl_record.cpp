// kestctl record end to end against the virtual KestOne; inspect and playback read what it made.
#include "tests/support/recording_files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <gmock/gmock.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <sys/wait.h>

using namespace kest_test;
namespace fs = std::filesystem;

namespace {

struct run_result {
    int status = -1;
    std::string out;
};

run_result run_kestctl(const std::string &arguments) {
    run_result result;
    std::string command = std::string(KESTCTL_PATH) + " " + arguments + " 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return result;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        result.out.append(chunk, n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// Small pictures: a sanitizer makes the virtual camera's rays many times dearer.
const std::string light_camera = " --virtual-set image_width=160 --virtual-set image_height=120";

// kestctl record from device for the seconds given (scaled) into dir.
run_result record(const std::string &device, int seconds, const std::string &dir) {
    return run_kestctl(device + " record --seconds " + std::to_string(seconds * time_scale()) +
                       " --dir " + dir);
}

// The folder kestctl record names, or empty with the output in a failure.
fs::path recorded(const run_result &run) {
    std::smatch folder;
    EXPECT_EQ(run.status, 0) << run.out;
    if (!std::regex_search(run.out, folder, std::regex("recording: (\\S+)\n")))
        return {};
    return fs::path(folder[1].str());
}

// The copy is the original from some record on (the first may be missed) to its end: the same times
// and bytes after the sequence number, points within the device's 0.1 mm.
void expect_same_records(const read_file &original, const read_file &copy,
                         const std::string &what) {
    SCOPED_TRACE(what);
    ASSERT_FALSE(copy.records.empty());
    size_t start = 0;
    while (start < original.records.size() &&
           original.records[start].seconds < copy.records[0].seconds)
        ++start;
    ASSERT_EQ(start + copy.records.size(), original.records.size())
        << "records missing or added after the first one recorded again";
    for (size_t k = 0; k < copy.records.size(); ++k) {
        const read_record &record = copy.records[k];
        const read_record &source = original.records[start + k];
        ASSERT_EQ(source.seconds, record.seconds);
        ASSERT_EQ(source.bytes.size(), record.bytes.size());
        if (what != "clouds") {
            EXPECT_TRUE(
                std::equal(source.bytes.begin() + 4, source.bytes.end(), record.bytes.begin() + 4));
            continue;
        }
        for (size_t point = 0, at = 16; point < record.count; ++point, at += 15) {
            for (size_t axis = 0; axis < 3; ++axis)
                ASSERT_NEAR(stored<float>(&record.bytes[at + 4 * axis]),
                            stored<float>(&source.bytes[at + 4 * axis]), 1.0e-4 + 1e-6)
                    << "cloud at " << record.seconds << " s, point " << point;
            ASSERT_TRUE(
                std::equal(&source.bytes[at + 12], &source.bytes[at + 15], &record.bytes[at + 12]))
                << "the colour of point " << point;
        }
    }
}

} // namespace

// Then inspect finds it sound, and once its last cloud is cut off, says where.
TEST(KestctlRecord, WritesARecordingThatMatchesItsSummaryAndInspectFindsItsFaults) {
    temp_dir dir(true); // the calibration goes to ./files/recv
    const run_result run = record("--virtual-device" + light_camera, 2, dir.file("recordings"));
    const fs::path folder = recorded(run);
    ASSERT_FALSE(folder.empty()) << run.out;
    EXPECT_EQ(folder.parent_path(), dir.path() / "recordings");
    const std::array<fs::path, 3> paths = recording_paths(folder);
    const std::array<read_file, 3> files = read_recording(folder);
    const char *labels[] = {"poses", "clouds", "images"};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(labels[i]);
        std::smatch line;
        ASSERT_TRUE(std::regex_search(
            run.out, line,
            std::regex(std::string(labels[i]) + " +([0-9]+) records +([0-9]+) bytes")));
        EXPECT_EQ(files[i].fault, "");
        EXPECT_EQ(numbering_fault(files[i]), "");
        EXPECT_GT(files[i].records.size(), 0u);
        EXPECT_EQ(line[1].str(), std::to_string(files[i].records.size()));
        EXPECT_EQ(line[2].str(), std::to_string(fs::file_size(paths[i])));
    }
    const run_result sound = run_kestctl("inspect " + folder.string());
    EXPECT_EQ(sound.status, 0) << sound.out;
    EXPECT_THAT(sound.out, testing::HasSubstr("sound: no faults"));
    ASSERT_GT(files[1].records.size(), 1u);
    const uintmax_t size = fs::file_size(paths[1]);
    fs::resize_file(paths[1], size - 3);
    const run_result cut = run_kestctl("inspect " + folder.string());
    EXPECT_EQ(cut.status, 1) << cut.out;
    EXPECT_THAT(cut.out,
                testing::HasSubstr("clouds: the last record, at byte " +
                                   std::to_string(size - files[1].records.back().bytes.size()) +
                                   ", is cut off"));
}

TEST(KestctlRecord, RefusesZeroSecondsAndInspectRefusesWhatIsNotARecording) {
    temp_dir dir;
    EXPECT_EQ(run_kestctl("--virtual-device record --seconds 0 --dir " + dir.file("r")).status, 64);
    EXPECT_FALSE(fs::exists(dir.path() / "r"));
    EXPECT_EQ(run_kestctl("inspect " + dir.path().string()).status, 66);
}

// Record the virtual KestOne, play the recording back through the whole host and record it again:
// the same clouds (to the device's unit), poses and pictures.
TEST(KestctlPlayback, ARecordingOfAPlaybackIsTheOriginal) {
    temp_dir dir(true);
    const fs::path original =
        recorded(record("--virtual-device" + light_camera, 2, dir.file("first")));
    ASSERT_FALSE(original.empty());
    // Poses removed from a copy: its clouds come with odometry of the device's own.
    fs::copy(original, dir.path() / "bare");
    fs::rename(dir.path() / "bare" / recording_paths(original)[1].filename(),
               recording_paths(dir.path() / "bare")[1]);
    fs::remove(dir.path() / "bare/KestPose.bin");
    const std::array<read_file, 3> first = read_recording(original);
    ASSERT_GT(first[1].records.size(), 2u);
    for (const std::string &source : {original.string(), dir.file("bare")}) {
        SCOPED_TRACE(source);
        const fs::path again =
            recorded(record("--virtual-device=play:" + source + " --virtual-set speed=2", 3,
                            dir.file("again-" + fs::path(source).filename().string())));
        ASSERT_FALSE(again.empty());
        const std::array<read_file, 3> second = read_recording(again);
        expect_same_records(first[1], second[1], "clouds");
        expect_same_records(first[2], second[2], "images");
        if (source == original.string())
            expect_same_records(first[0], second[0], "poses");
    }
}

// A recording made of three (the device clock restarting twice, as at a replug) inspects with its
// summed length, plays every segment in order at four times the rate (at 1x it could not end
// within the time given), and a slice of one segment inspects sound.
TEST(KestctlPlayback, ClockRestartsAreSegmentsThatPlayInOrderAndSlicesInspectSound) {
    temp_dir dir(true);
    const fs::path one = recorded(record("--virtual-device" + light_camera, 2, dir.file("one")));
    ASSERT_FALSE(one.empty());
    const fs::path three = dir.path() / "three";
    fs::copy(one, three, fs::copy_options::recursive);
    fs::rename(recording_paths(three)[1].parent_path() / recording_paths(one)[1].filename(),
               recording_paths(three)[1]);
    const std::array<fs::path, 3> files = recording_paths(three);
    for (const fs::path &file : files) {
        const std::vector<uint8_t> bytes = file_bytes(file.string());
        append_file(file, bytes);
        append_file(file, bytes);
    }
    // Its real length is three times that of the recording it was made of.
    const auto inspected_seconds = [](const fs::path &folder) {
        const run_result inspect = run_kestctl("inspect " + folder.string());
        std::smatch duration;
        EXPECT_TRUE(std::regex_search(inspect.out, duration, std::regex("duration: +([0-9.]+) s")))
            << inspect.out;
        return duration.empty() ? -1.0 : std::stod(duration[1].str());
    };
    const double single = inspected_seconds(one);
    EXPECT_GT(single, 1.0);
    EXPECT_NEAR(inspected_seconds(three), 3 * single, 1.0);
    const run_result inspect = run_kestctl("inspect " + three.string());
    EXPECT_THAT(inspect.out,
                testing::HasSubstr("segments:  3 (the device clock went back 2 times"));

    const fs::path again =
        recorded(record("--virtual-device=play:" + three.string() + " --virtual-set speed=4", 3,
                        dir.file("again")));
    ASSERT_FALSE(again.empty());
    std::vector<double> played, recorded_times;
    const std::array<read_file, 3> copy = read_recording(again), source = read_recording(three);
    for (const read_record &record : copy[1].records)
        played.push_back(record.seconds);
    for (const read_record &record : source[1].records)
        recorded_times.push_back(record.seconds);
    ASSERT_GE(played.size(), 2u);
    // The first cloud may come before the recorder starts; from there on, all in recorded order.
    const std::vector<double> tail(recorded_times.end() - std::ptrdiff_t(played.size()),
                                   recorded_times.end());
    EXPECT_EQ(played, tail);
    EXPECT_GE(played.size() + 2, recorded_times.size());

    const run_result slice =
        run_kestctl("slice " + three.string() + " --from 0.5 --to 1.5 --out " + dir.file("cut"));
    EXPECT_EQ(slice.status, 0) << slice.out;
    const run_result sound = run_kestctl("inspect " + dir.file("cut"));
    EXPECT_EQ(sound.status, 0) << sound.out;
    EXPECT_EQ(
        run_kestctl("slice " + three.string() + " --from 2 --to 1 --out " + dir.file("x")).status,
        64);
}
