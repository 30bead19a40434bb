// slice: the records of a recording between two moments, written as a
// recording of its own (numbers from 0, times as recorded, the calibration
// and info files with them).
#include "recording/recording_slice.h"
#include "tools/kestctl/commands.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>

namespace kestctl {

namespace {

CLI::App *add_slice(CLI::App &app, options &opts) {
    slice_options &o = opts.slice;
    CLI::App *sub = app.add_subcommand(
        "slice", "write the records between two moments of a recording as a new recording");
    sub->add_option("REC", o.folder, "the recording's folder")->required();
    sub->add_option("--from", o.from,
                    "where the slice starts, in seconds from the recording's "
                    "start (its segments laid end to end)")
        ->type_name("SECONDS")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    sub->add_option("--to", o.to,
                    "where the slice ends, in seconds (the recording's end if not "
                    "given)")
        ->type_name("SECONDS")
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--out", o.out, "the new recording's folder (new or empty)")
        ->type_name("DIR")
        ->required();
    return sub;
}

int run_slice(const options &opts, device_session &) {
    const slice_options &o = opts.slice;
    RecordingTimeline timeline;
    std::string error;
    if (!readTimeline(o.folder, timeline, error)) {
        fprintf(stderr, "kestctl: %s\n", error.c_str());
        return exit_not_recording;
    }
    const double to = o.to.value_or(timeline.length);
    SliceCounts counts;
    if (o.from > to) {
        fprintf(stderr, "kestctl: --from %g is after --to %g\n", o.from, to);
        return exit_usage;
    }
    if (!sliceRecording(timeline, o.from, to, o.out, counts, error)) {
        fprintf(stderr, "kestctl: slice failed: %s\n", error.c_str());
        return exit_request_failed;
    }
    printf("slice %.3f to %.3f s of %.3f s: %llu poses, %llu clouds, %llu pictures written to "
           "%s\n",
           o.from, to, timeline.length, ull(counts.poses), ull(counts.clouds), ull(counts.images),
           o.out.c_str());
    return exit_ok;
}

} // namespace

const command slice_command{add_slice, run_slice, false, true};

} // namespace kestctl
