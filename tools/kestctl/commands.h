// kestctl's commands. Each one adds its subcommand, with the options only it
// takes, to the command line, and runs on the opened device. A new command is
// one more of these, listed in main.cpp.
#pragma once

#include "tools/kestctl/options.h"

#include <cstdint>

namespace CLI {
class App;
} // namespace CLI

namespace kestctl {

// A count as printf's %llu takes it.
inline unsigned long long ull(uint64_t value) {
    return static_cast<unsigned long long>(value);
}

class device_session;

struct command {
    // Adds the subcommand to app, its options bound to fields of opts; returns it.
    CLI::App *(*add)(CLI::App &app, options &opts);
    // Runs once the device is open; returns an exit status.
    int (*run)(const options &opts, device_session &device);
    // True for a command that brings the device layer up itself: it runs with
    // the virtual KestOne plugged in (if asked for) and no handle.
    bool own_attach = false;
    // True for a command on files alone: no device layer, no device.
    bool no_device = false;
};

extern const command info_command;
extern const command calib_command;
extern const command stream_command;
#ifdef KESTCTL_RECORD
extern const command record_command;
extern const command inspect_command;
extern const command export_command;
extern const command slice_command;
#endif

} // namespace kestctl
