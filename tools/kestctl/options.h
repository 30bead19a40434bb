// What kestctl's command line asks for, once parsed, and the exit statuses it
// promises. main.cpp fills the record; the device session and the commands read it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kestctl {

enum exit_status : int {
    exit_ok = 0,
    exit_request_failed = 1,
    exit_no_device = 2,
    exit_usage = 64,         // EX_USAGE of sysexits.h
    exit_not_recording = 66, // EX_NOINPUT: a folder that is not a recording
};

// Each command has its own fields, so two commands can give an option of the
// same name different defaults without one overwriting the other.
struct info_options {
    std::string dir = "./files/recv"; // where calib.yaml goes
};

struct calib_options {
    std::string dir;
};

struct stream_options {
    int seconds = 5;
};

struct record_options {
    int seconds = 10;
    std::string dir; // empty: where the viewer records
};

struct inspect_options {
    std::string folder;
};

struct export_options {
    std::string folder;
    std::string format = "ply";
    std::string out; // clouds go here
    bool ascii = false;
    bool merge = false;
    double voxel = 0;
    std::string tum;
    std::string images;
};

struct slice_options {
    std::string folder;
    double from = 0;
    std::optional<double> to; // the recording's end if not given
    std::string out;
};

struct options {
    bool virtual_device = false;
    std::string preset = "demo";
    std::vector<std::string> overrides; // KEY=VALUE for the virtual KestOne
    int timeout = 10;                   // seconds to wait for a device

    info_options info;
    calib_options calib;
    stream_options stream;
    record_options record;
    inspect_options inspect;
    export_options export_;
    slice_options slice;
};

} // namespace kestctl
