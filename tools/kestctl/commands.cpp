// info, calib and stream: the device information with the calibration file,
// the calibration file alone, and live figures per stream once a second.
#include "tools/kestctl/commands.h"

#include "sdk/api/api.h"
#include "sim/kestone.h"
#include "tools/kestctl/device_session.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace kestctl {

namespace {

CLI::App *add_info(CLI::App &app, options &opts) {
    CLI::App *sub = app.add_subcommand(
        "info", "wait for a device, open it, fetch its calibration file, print its version");
    sub->add_option("--dir", opts.info.dir, "where calib.yaml goes")
        ->type_name("DIR")
        ->capture_default_str();
    return sub;
}

int run_info(const options &opts, device_session &device) {
    const char *dir = opts.info.dir.c_str();
    if (check(lidar_get_calib_file(device.handle(), dir), "calibration fetch") ||
        check(lidar_get_version(device.handle()), "version"))
        return exit_request_failed;
    printf("calibration file: %s/calib.yaml\n", dir);
    return exit_ok;
}

CLI::App *add_calib(CLI::App &app, options &opts) {
    CLI::App *sub = app.add_subcommand("calib", "fetch the calibration file into DIR/calib.yaml");
    sub->add_option("DIR", opts.calib.dir, "where calib.yaml goes")->required();
    return sub;
}

int run_calib(const options &opts, device_session &device) {
    const char *dir = opts.calib.dir.c_str();
    if (check(lidar_get_calib_file(device.handle(), dir), "calibration fetch"))
        return exit_request_failed;
    printf("calibration file: %s/calib.yaml\n", dir);
    return exit_ok;
}

struct stream_tally {
    uint64_t records = 0;
    uint64_t bytes = 0;
};

// Written from the device layer's delivery thread, read once a second.
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
    printf("  drops: callback queue %llu", static_cast<unsigned long long>(callback_queue_drops()));
    // Only the virtual KestOne can say what it had to drop on its side of the bus.
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

CLI::App *add_stream(CLI::App &app, options &opts) {
    CLI::App *sub = app.add_subcommand(
        "stream", "start streaming (mode 0, stream 0) and activate every stream type; once "
                  "a second print records, records/s and MB/s per stream, and drops");
    sub->add_option("--seconds", opts.stream.seconds, "how long to stream")
        ->type_name("N")
        ->check(CLI::Range(0, 86400))
        ->capture_default_str();
    return sub;
}

int run_stream(const options &opts, device_session &device) {
    lidar_device_t *handle = device.handle();
    lidar_stream_callback_t callback{on_stream, nullptr};
    uint32_t depth = 0, rate = 0;
    lidar_imu_parameter_t imu{2, 1, 1};
    if (check(lidar_set_mode(handle, 0), "set mode") ||
        check(lidar_register_stream_callback(handle, &callback), "register") ||
        check(lidar_set_depth_parameter(handle, &depth), "depth parameter") ||
        check(lidar_set_imu_parameter(handle, &imu), "imu parameter") ||
        check(lidar_start_stream(handle, 0, &rate), "start stream"))
        return exit_request_failed;
    for (int type : {LIDAR_STREAM_SLAM_CLOUD, LIDAR_STREAM_ODOMETRY, LIDAR_STREAM_IMU,
                     LIDAR_STREAM_DTOF, LIDAR_STREAM_IMAGE})
        lidar_activate_stream_type(handle, type);
    // Sleeping until fixed marks keeps the lines a second apart however long printing takes.
    auto began = std::chrono::steady_clock::now();
    std::map<uint32_t, stream_tally> before;
    for (int second = 1; second <= opts.stream.seconds; ++second) {
        std::this_thread::sleep_until(began + std::chrono::seconds(second));
        std::map<uint32_t, stream_tally> now;
        {
            std::lock_guard<std::mutex> lock(tally_mutex);
            now = tallies;
        }
        print_figures(second, now, before, device.virtual_device());
        before = now;
    }
    lidar_stop_stream(handle, 0);
    lidar_unregister_stream_callback(handle);
    return exit_ok;
}

} // namespace

const command info_command{add_info, run_info};
const command calib_command{add_calib, run_calib};
const command stream_command{add_stream, run_stream};

} // namespace kestctl
