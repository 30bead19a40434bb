// kestctl: drives a KestOne from the command line through the device layer's
// lidar_* API: device information, calibration file, live stream figures.
// With --virtual-device it runs against the virtual KestOne instead.
#include "sdk/api/api.h"
#include "sdk/comm/libusb/usb_backend.h"
#include "sdk/logger/logger.h"
#include "sim/kestone.h"
#include "sim/usb_bus.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const char *usage =
    "usage: kestctl [options] COMMAND\n"
    "\n"
    "commands:\n"
    "  info              wait for a device, open it, fetch its calibration file and\n"
    "                    print its version\n"
    "  calib DIR         fetch the calibration file into DIR/calib.yaml\n"
    "  stream            run the attach sequence, start streaming and print, once a\n"
    "                    second, records, records/s and bytes/s per stream and drops\n"
    "\n"
    "options:\n"
    "  --virtual-device[=PRESET]  use the virtual KestOne (PRESET: demo, full, flood;\n"
    "                             default demo) instead of a device on USB\n"
    "  --virtual-set KEY=VALUE    override one setting of the virtual KestOne's\n"
    "                             streams (repeatable): cloud_hz, cloud_points,\n"
    "                             hf_odometry_hz, imu_hz, info_hz, dtof_hz,\n"
    "                             dtof_cols, dtof_rows, dtof_form (3|4), image_hz,\n"
    "                             image_width, image_height, image_format\n"
    "                             (jpeg|nv12), jpeg_quality, queue_capacity\n"
    "  --seconds N                how long stream runs (default 5)\n"
    "  --timeout N                seconds to wait for a device (default 10)\n"
    "  --dir DIR                  where info puts calib.yaml (default ./files/recv)\n"
    "  --help                     this text\n"
    "\n"
    "exit status: 0 success, 1 a request failed, 2 no device appeared, 64 bad usage\n";

struct options {
    std::string command;
    std::string dir = "./files/recv";
    bool virtual_device = false;
    std::string preset = "demo";
    std::vector<std::string> overrides; // KEY=VALUE for the virtual KestOne
    int seconds = 5;
    int timeout = 10;
};

[[noreturn]] void fail_usage(const std::string &message) {
    fprintf(stderr, "kestctl: %s (see kestctl --help)\n", message.c_str());
    exit(64);
}

int number(const std::string &text, const char *what) {
    char *end = nullptr;
    long value = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0 || value > 86400)
        fail_usage(std::string("bad ") + what + ": '" + text + "'");
    return static_cast<int>(value);
}

kest_sim::stream_settings virtual_settings(const options &opts) {
    kest_sim::stream_settings settings = kest_sim::stream_preset(opts.preset);
    for (const std::string &assignment : opts.overrides) {
        std::string error;
        if (!kest_sim::set_stream_setting(settings, assignment, error))
            fail_usage(error);
    }
    return settings;
}

options parse(int argc, char **argv) {
    options out;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char *what) {
            if (i + 1 >= argc)
                fail_usage(std::string(what) + " needs a value");
            return std::string(argv[++i]);
        };
        if (arg == "--help" || arg == "-h") {
            fputs(usage, stdout);
            exit(0);
        } else if (arg == "--virtual-device") {
            out.virtual_device = true;
        } else if (arg.rfind("--virtual-device=", 0) == 0) {
            out.virtual_device = true;
            out.preset = arg.substr(strlen("--virtual-device="));
            if (out.preset != "demo" && out.preset != "full" && out.preset != "flood")
                fail_usage("unknown preset '" + out.preset + "'");
        } else if (arg == "--virtual-set") {
            out.overrides.push_back(value("--virtual-set"));
        } else if (arg == "--seconds") {
            out.seconds = number(value("--seconds"), "--seconds");
        } else if (arg == "--timeout") {
            out.timeout = number(value("--timeout"), "--timeout");
        } else if (arg == "--dir") {
            out.dir = value("--dir");
        } else if (arg == "info" || arg == "stream") {
            out.command = arg;
        } else if (arg == "calib") {
            out.command = arg;
            out.dir = value("calib");
        } else {
            fail_usage("unknown argument '" + arg + "'");
        }
    }
    if (out.command.empty())
        fail_usage("no command given");
    if (!out.overrides.empty() && !out.virtual_device)
        fail_usage("--virtual-set needs --virtual-device");
    virtual_settings(out); // a bad setting is a usage error before anything starts
    return out;
}

// Warnings and errors of the device layer go to standard error; queue drops are counted.
std::atomic<uint64_t> queue_drops{0};

int stderr_sink(const char *format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (strstr(text, "Callback queue full") != nullptr)
        queue_drops++;
    return fputs(text, stderr);
}

std::mutex attach_mutex;
std::condition_variable attach_changed;
bool soft_attached = false;

void on_attach(const lidar_device_info_t *, bool attached) {
    std::lock_guard<std::mutex> lock(attach_mutex);
    soft_attached = attached;
    attach_changed.notify_all();
}

struct stream_tally {
    uint64_t records = 0;
    uint64_t bytes = 0;
};
std::mutex tally_mutex;
std::map<uint32_t, stream_tally> tallies;

void on_stream(const lidar_stream_data_t *data, void *) {
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < data->count && i < LIDAR_MAX_ENTRIES; ++i)
        bytes += data->entries[i].size;
    std::lock_guard<std::mutex> lock(tally_mutex);
    tallies[data->type].records++;
    tallies[data->type].bytes += bytes;
}

const char *stream_name(uint32_t type) {
    switch (type) {
    case LIDAR_STREAM_IMAGE:
        return "image";
    case LIDAR_STREAM_IMU:
        return "imu";
    case LIDAR_STREAM_DTOF:
        return "dtof frame";
    case LIDAR_STREAM_SLAM_CLOUD:
        return "slam cloud";
    case LIDAR_STREAM_ODOMETRY:
        return "odometry";
    case LIDAR_STREAM_DEVICE_INFO:
        return "device info";
    case LIDAR_STREAM_HF_ODOMETRY:
        return "hf odometry";
    case LIDAR_STREAM_WIWC:
        return "wiwc";
    default:
        return "other";
    }
}

bool wait_for_device(int seconds) {
    std::unique_lock<std::mutex> lock(attach_mutex);
    return attach_changed.wait_for(lock, std::chrono::seconds(seconds),
                                   [] { return soft_attached; });
}

int check(int result, const char *what) {
    if (result != 0)
        fprintf(stderr, "kestctl: %s failed (%d)\n", what, result);
    return result;
}

const char *endpoint_name(uint8_t endpoint) {
    switch (endpoint) {
    case kest_sim::kestone::ep_imu:
        return "imu";
    case kest_sim::kestone::ep_rgb:
        return "rgb";
    case kest_sim::kestone::ep_dtof:
        return "dtof";
    default:
        return "rx";
    }
}

void print_figures(double seconds, const std::map<uint32_t, stream_tally> &now,
                   const std::map<uint32_t, stream_tally> &before,
                   const kest_sim::kestone *device) {
    printf("[%5.1f s]\n", seconds);
    for (const auto &[type, tally] : now) {
        auto earlier = before.find(type);
        stream_tally last = earlier != before.end() ? earlier->second : stream_tally{};
        printf("  %-12s %8llu records %8llu/s %10.2f MB/s\n", stream_name(type),
               static_cast<unsigned long long>(tally.records),
               static_cast<unsigned long long>(tally.records - last.records),
               (tally.bytes - last.bytes) / 1e6);
    }
    printf("  drops: callback queue %llu", static_cast<unsigned long long>(queue_drops.load()));
    if (device != nullptr) {
        uint64_t dropped = 0;
        std::string by_endpoint;
        for (const auto &[endpoint, count] : device->counters().dropped) {
            dropped += count;
            if (count > 0)
                by_endpoint += std::string(by_endpoint.empty() ? " (" : ", ") +
                               endpoint_name(endpoint) + " " + std::to_string(count);
        }
        printf(", device queues %llu%s%s", static_cast<unsigned long long>(dropped),
               by_endpoint.c_str(), by_endpoint.empty() ? "" : ")");
    }
    printf("\n");
    fflush(stdout);
}

int run_stream(lidar_device_t *handle, const options &opts, const kest_sim::kestone *device) {
    lidar_stream_callback_t callback{on_stream, nullptr};
    uint32_t depth = 0, rate = 0;
    lidar_imu_parameter_t imu{2, 1, 1};
    if (check(lidar_set_mode(handle, 0), "set mode") ||
        check(lidar_register_stream_callback(handle, &callback), "register") ||
        check(lidar_set_depth_parameter(handle, &depth), "depth parameter") ||
        check(lidar_set_imu_parameter(handle, &imu), "imu parameter") ||
        check(lidar_start_stream(handle, 0, &rate), "start stream"))
        return 1;
    for (int type : {LIDAR_STREAM_SLAM_CLOUD, LIDAR_STREAM_ODOMETRY, LIDAR_STREAM_IMU})
        lidar_activate_stream_type(handle, type);
    auto began = std::chrono::steady_clock::now();
    std::map<uint32_t, stream_tally> before;
    for (int second = 1; second <= opts.seconds; ++second) {
        std::this_thread::sleep_until(began + std::chrono::seconds(second));
        std::map<uint32_t, stream_tally> now;
        {
            std::lock_guard<std::mutex> lock(tally_mutex);
            now = tallies;
        }
        print_figures(second, now, before, device);
        before = now;
    }
    lidar_stop_stream(handle, 0);
    lidar_unregister_stream_callback(handle);
    return 0;
}

int run(const options &opts, lidar_device_t *handle, const kest_sim::kestone *device) {
    if (check(lidar_open_device(handle), "open device"))
        return 1;
    if (opts.command == "calib") {
        if (check(lidar_get_calib_file(handle, opts.dir.c_str()), "calibration fetch"))
            return 1;
        printf("calibration file: %s/calib.yaml\n", opts.dir.c_str());
        return 0;
    }
    if (opts.command == "info") {
        if (check(lidar_get_calib_file(handle, opts.dir.c_str()), "calibration fetch") ||
            check(lidar_get_version(handle), "version"))
            return 1;
        printf("calibration file: %s/calib.yaml\n", opts.dir.c_str());
        return 0;
    }
    return run_stream(handle, opts, device);
}

} // namespace

int main(int argc, char **argv) {
    options opts = parse(argc, argv);
    log_config(KEST_LOG_VALUE_WARN, stderr_sink);

    std::shared_ptr<kest_sim::kestone> device;
    int device_id = 0;
    if (opts.virtual_device) {
        usb_backend_select(kest_sim::bus_backend());
        device = std::make_shared<kest_sim::kestone>();
        device->set_streams(virtual_settings(opts));
        device_id = kest_sim::bus_plug(kest_sim::kestone_desc(), device);
    }
    if (lidar_system_init(on_attach) != 0) {
        fprintf(stderr, "kestctl: the device layer did not start\n");
        return 1;
    }
    if (!wait_for_device(opts.timeout)) {
        fprintf(stderr, "kestctl: no KestOne appeared within %d s\n", opts.timeout);
        lidar_system_deinit();
        kest_sim::bus_unplug(device_id);
        return 2;
    }
    lidar_device_info_t info{};
    lidar_device_t *handle = nullptr;
    int status = check(lidar_create_device(&info, &handle), "create device")
                     ? 1
                     : run(opts, handle, device.get());
    if (handle != nullptr) {
        lidar_close_device(handle);
        lidar_destory_device(handle);
    }
    lidar_system_deinit();
    kest_sim::bus_unplug(device_id); // no-op without the virtual device
    return status;
}
