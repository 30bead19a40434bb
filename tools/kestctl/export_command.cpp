// export: a recording's clouds as PLY, PCD, CSV or LAS files (one per cloud, or
// one map), its poses as a TUM trajectory, its pictures as numbered JPEG files,
// or the whole recording as one MCAP file of ROS 2 messages.
#include "recording/recording_export.h"
#include "recording/recording_summary.h"
#include "tools/kestctl/commands.h"
#include "tools/kestctl/progress_line.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>

namespace kestctl {

namespace {

CLI::App *add_export(CLI::App &app, options &opts) {
    export_options &o = opts.export_;
    CLI::App *sub = app.add_subcommand(
        "export", "write a recording's clouds as PLY, PCD, CSV or LAS files, its poses as a "
                  "TUM trajectory, its pictures as JPEG files, or all of it as one MCAP file");
    sub->add_option("REC", o.folder, "the recording's folder")->required();
    CLI::Option *out = sub->add_option("--out", o.out,
                                       "folder for the clouds (cloud_NNNNNN.EXT and clouds.csv, "
                                       "or map.EXT with --merge), or for REC-NAME.mcap")
                           ->type_name("DIR");
    sub->add_option("--format", o.format,
                    "point file format, or mcap: the clouds, poses and pictures as ROS 2 "
                    "messages")
        ->check(CLI::IsMember({"ply", "pcd", "csv", "las", "mcap"}))
        ->capture_default_str()
        ->needs(out);
    sub->add_flag("--ascii", o.ascii, "text PLY or PCD instead of binary")->needs(out);
    CLI::Option *merge =
        sub->add_flag("--merge", o.merge, "one map of every cloud instead of a file per cloud")
            ->needs(out);
    sub->add_option("--voxel", o.voxel, "with --merge: keep one point per voxel of this edge")
        ->type_name("METRES")
        ->check(CLI::Range(0.001, 1000.0))
        ->needs(merge);
    sub->add_option("--tum", o.tum,
                    "write the poses as a TUM trajectory (timestamp tx ty tz "
                    "qx qy qz qw)")
        ->type_name("FILE");
    sub->add_option("--images", o.images,
                    "folder for the pictures (image_NNNNNN.jpg and "
                    "images.csv)")
        ->type_name("DIR");
    return sub;
}

ExportRequest request_of(const export_options &o) {
    ExportRequest request;
    if (o.format == "mcap") {
        request.mcapPath = (std::filesystem::path(o.out) / mcapFileName(o.folder)).string();
        return request;
    }
    request.clouds.dir = o.out;
    request.clouds.format = *pointFileFormatNamed(o.format); // checked while parsing
    request.clouds.ascii = o.ascii;
    request.clouds.merge = o.merge;
    request.clouds.voxel = static_cast<float>(o.voxel);
    request.tumPath = o.tum;
    request.imageDir = o.images;
    return request;
}

void print_report(const ExportRequest &request, const ExportReport &report) {
    if (!request.clouds.dir.empty())
        printf("clouds: %llu clouds, %llu points read, %llu written to %s\n", ull(report.clouds),
               ull(report.pointsRead), ull(report.pointsWritten), request.clouds.dir.c_str());
    if (!request.mcapPath.empty())
        printf("mcap:   %llu messages (%llu clouds, %llu poses, %llu pictures) written to %s\n",
               ull(report.messages), ull(report.clouds), ull(report.poses), ull(report.images),
               request.mcapPath.c_str());
    if (!request.tumPath.empty())
        printf("poses:  %llu written to %s%s\n", ull(report.poses), request.tumPath.c_str(),
               report.posesWithoutRotation > 0 ? " (poses without a rotation left out)" : "");
    if (!request.imageDir.empty())
        printf("images: %llu written to %s\n", ull(report.images), request.imageDir.c_str());
    if (report.posesWithoutRotation > 0)
        fprintf(stderr, "kestctl: %llu poses have a zero quaternion and were left out\n",
                ull(report.posesWithoutRotation));
    for (const std::string &problem : report.problems)
        fprintf(stderr, "kestctl: %s\n", problem.c_str());
}

// The option given that the chosen format has no use for, if any. An MCAP file
// holds the poses and pictures itself.
const char *inapplicable(const export_options &o) {
    const bool mcap = o.format == "mcap";
    if (o.ascii && (mcap || o.format == "las"))
        return "--ascii";
    if (mcap && o.merge)
        return "--merge";
    if (mcap && !o.tum.empty())
        return "--tum";
    if (mcap && !o.images.empty())
        return "--images";
    return nullptr;
}

int run_export(const options &opts, device_session &) {
    const export_options &o = opts.export_;
    if (o.out.empty() && o.tum.empty() && o.images.empty()) {
        fprintf(stderr, "kestctl: export needs --out, --tum or --images (see kestctl export "
                        "--help)\n");
        return exit_usage;
    }
    if (const char *option = inapplicable(o)) {
        fprintf(stderr, "kestctl: %s does not apply to --format %s\n", option, o.format.c_str());
        return exit_usage;
    }
    if (!locateRecording(o.folder).isRecording) {
        fprintf(stderr, "kestctl: %s %s\n", o.folder.c_str(),
                std::filesystem::exists(o.folder) ? "is not a recording" : "does not exist");
        return exit_not_recording;
    }
    const ExportRequest request = request_of(o);
    progress_line progress("export");
    const ExportReport report = exportRecording(
        o.folder, request, [&](uint64_t done, uint64_t total) { progress.update(done, total); });
    progress.finish();
    if (!report.error.empty()) {
        fprintf(stderr, "kestctl: export stopped: %s\n", report.error.c_str());
        return exit_request_failed;
    }
    print_report(request, report);
    return report.problems.empty() ? exit_ok : exit_request_failed;
}

} // namespace

const command export_command{add_export, run_export, false, true};

} // namespace kestctl
