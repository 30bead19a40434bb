// kestctl: drives a KestOne from the command line through the device layer's
// lidar_* API: device information, calibration file, live stream figures.
// With --virtual-device it runs against the virtual KestOne instead.
// This file reads the command line and hands over to the command asked for.
#include "sdk/common/version/version.h"
#include "sim/kestone.h"
#include "tools/kestctl/commands.h"
#include "tools/kestctl/device_session.h"
#include "tools/kestctl/options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace kestctl {

namespace {

// Every command kestctl knows, in the order --help lists them.
const command *const commands[] = {
    &info_command,
    &calib_command,
    &stream_command,
#ifdef KESTCTL_RECORD
    // On the files the application writes.
    &record_command,
    &inspect_command,
    &export_command,
    &slice_command,
#endif
};

const char *exit_statuses =
    "exit status: 0 success, 1 a request failed (inspect: the recording has faults), 2 no "
    "device appeared, 64 bad usage, 66 not a recording";

std::string footer() {
    return "Run 'kestctl COMMAND --help' for the options of one command. The options\n"
           "above may also follow the command.\n"
           "\n"
           "virtual settings (--virtual-set KEY=VALUE):\n" +
           kest_sim::stream_setting_keys(78, "  ") + "\n\n";
}

[[noreturn]] void fail_usage(const std::string &message) {
    fprintf(stderr, "kestctl: %s (see kestctl --help)\n", message.c_str());
    exit(exit_usage);
}

// Not CLI::IsMember: its message would not say that it is a preset that is unknown.
std::string check_preset(const std::string &name) {
    const std::vector<std::string> &names = kest_sim::stream_preset_names();
    if (std::find(names.begin(), names.end(), name) != names.end() || name.rfind("play:", 0) == 0)
        return {};
    return "unknown preset '" + name + "'";
}

// Fills opts and returns the command to run; on bad usage or --help it does not return.
const command &parse(int argc, char **argv, options &opts) {
    CLI::App app{"Drives a KestOne, or the virtual KestOne, through the device layer.", "kestctl"};
    // Subcommands take over the footer as it is when they are added, so theirs
    // is the short one.
    app.footer(std::string("The options of kestctl itself (kestctl --help) may follow the "
                           "command too.\n\n") +
               exit_statuses);
    // Lets the options above be given after the command name too, as kestctl
    // always allowed; set before the subcommands, which inherit it.
    app.fallthrough();
    // Options start with - everywhere: on Windows, CLI11 would also take /x
    // for one, and a path written with forward slashes along with it.
    app.allow_windows_style_options(false);
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("kestctl ") + kest_sdk_version());

    CLI::Option *virtual_device =
        app.add_option("--virtual-device", opts.preset,
                       "use the virtual KestOne instead of a device on USB (PRESET: " +
                           kest_sim::stream_preset_list() +
                           ", or play:REC to play the recording in folder REC back)")
            ->expected(0, 1)
            ->default_str("demo") // what a bare --virtual-device means
            ->type_name("[PRESET]")
            ->check(CLI::Validator(check_preset, ""));
    CLI::Option *virtual_set =
        app.add_option("--virtual-set", opts.overrides,
                       "override one setting of the virtual KestOne's streams (repeatable; "
                       "keys below)")
            ->type_name("KEY=VALUE")
            ->allow_extra_args(false); // one per --virtual-set, so stray words are errors
    app.add_option("--timeout", opts.timeout, "seconds to wait for a device")
        ->type_name("N")
        ->check(CLI::Range(0, 86400))
        ->capture_default_str();

    std::vector<std::pair<CLI::App *, const command *>> subcommands;
    for (const command *each : commands)
        subcommands.emplace_back(each->add(app, opts), each);
    app.footer(footer() + exit_statuses);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForVersion &version) {
        printf("%s\n", version.what());
        exit(exit_ok);
    } catch (const CLI::CallForHelp &) {
        // help() describes the subcommand when the flag followed one.
        fputs(app.help().c_str(), stdout);
        exit(exit_ok);
    } catch (const CLI::RequiredError &error) {
        // An unknown command or option leaves no command behind; naming it
        // helps more than saying that none was given.
        if (app.get_subcommands().empty() && app.remaining_size() > 0)
            fail_usage(CLI::ExtrasError(app.remaining()).what());
        fail_usage(error.what());
    } catch (const CLI::ParseError &error) {
        fail_usage(error.what());
    }

    const command *chosen = nullptr;
    for (const auto &[sub, each] : subcommands)
        if (sub->parsed())
            chosen = each;
    opts.virtual_device = virtual_device->count() > 0;
    if (virtual_set->count() > 0 && !opts.virtual_device)
        fail_usage("--virtual-set needs --virtual-device");
    // A bad setting is a usage error before anything starts.
    kest_sim::stream_settings streams;
    std::string error;
    if (!virtual_streams(opts, streams, error))
        fail_usage(error);
    return *chosen;
}

} // namespace

} // namespace kestctl

int main(int argc, char **argv) {
    kestctl::options opts;
    const kestctl::command &command = kestctl::parse(argc, argv, opts);
    kestctl::device_session device(opts);
    if (command.no_device)
        return command.run(opts, device);
    if (command.own_attach) {
        device.plug();
        return command.run(opts, device);
    }
    int status = device.open();
    if (status == kestctl::exit_ok)
        status = command.run(opts, device);
    return status;
}
