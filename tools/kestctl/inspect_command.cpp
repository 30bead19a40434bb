// inspect: what a recording holds and whether it is sound, from its files
// alone. Exit status 0 for a sound recording, 1 when the reader met faults,
// 66 for a folder that is not a recording.
#include "recording/recording_summary.h"
#include "tools/kestctl/commands.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

namespace kestctl {

namespace {

const char *calibrationText(CalibrationState state) {
    switch (state) {
    case CalibrationState::Converted:
        return "converted from the device's file";
    case CalibrationState::Placeholder:
        return "placeholder only (the recording stopped without the device's file)";
    case CalibrationState::Missing:
        break;
    }
    return "missing";
}

void printCounts(const RecordFileSummary &file, const char *unit) {
    if (file.records == 0)
        return;
    printf("           %s per record: min %llu, mean %.1f, max %llu\n", unit, ull(file.minCount),
           static_cast<double>(file.totalCount) / file.records, ull(file.maxCount));
}

void printPictureSizes(const RecordFileSummary &file) {
    if (file.pictureSizes.empty())
        return;
    printf("           picture sizes:");
    const char *separator = " ";
    for (const auto &[size, count] : file.pictureSizes) {
        printf("%s%dx%d (%llu)", separator, size.first, size.second, ull(count));
        separator = ", ";
    }
    printf("\n");
}

void printFile(const RecordFileSummary &file) {
    if (!file.present) {
        printf("  %-8s %s: missing\n", file.label.c_str(), file.fileName.c_str());
        return;
    }
    printf("  %-8s %8llu records %12llu bytes %8.2f/s  %s\n", file.label.c_str(), ull(file.records),
           ull(file.bytes), file.rate(), file.fileName.c_str());
    if (file.records > 0)
        printf("           sequence %llu to %llu, time %.6f to %.6f s\n", ull(file.firstSequence),
               ull(file.lastSequence), file.firstSeconds, file.lastSeconds);
    if (file.label == "clouds")
        printCounts(file, "points");
    if (file.label == "images") {
        printCounts(file, "JPEG bytes");
        printPictureSizes(file);
    }
}

CLI::App *add_inspect(CLI::App &app, options &opts) {
    CLI::App *sub = app.add_subcommand(
        "inspect", "print what a recording holds (records, rates, point counts, picture "
                   "sizes, calibration) and its faults (gaps, times going back, a record cut off)");
    sub->add_option("REC", opts.inspect.folder, "the recording's folder")->required();
    return sub;
}

int run_inspect(const options &opts, device_session &) {
    const RecordingSummary summary = summariseRecording(opts.inspect.folder);
    if (!summary.isRecording) {
        fprintf(stderr,
                "kestctl: %s is not a recording (no KestPose.bin, MT*.kvx, KestImage.bin or "
                "image/info.txt there)\n",
                opts.inspect.folder.c_str());
        return exit_not_recording;
    }
    printf("recording: %s\n", summary.folder.c_str());
    printf("started:   %s\n",
           summary.startedAt.empty() ? "unknown (no image/info.txt)" : summary.startedAt.c_str());
    printf("duration:  %.3f s\n", summary.durationSeconds());
    if (summary.segmentCount() > 1)
        printf("segments:  %zu (the device clock went back %zu times; durations and rates are "
               "summed over the segments)\n",
               summary.segmentCount(), summary.segmentCount() - 1);
    printf("calibration: %s\n", calibrationText(summary.calibration));
    for (const RecordFileSummary *file : {&summary.poses, &summary.clouds, &summary.images})
        printFile(*file);
    const std::vector<std::string> faults = summary.faults();
    if (faults.empty()) {
        printf("sound: no faults\n");
        return exit_ok;
    }
    printf("faults:\n");
    for (const std::string &fault : faults)
        printf("  %s\n", fault.c_str());
    return exit_request_failed;
}

} // namespace

const command inspect_command{add_inspect, run_inspect, false, true};

} // namespace kestctl
