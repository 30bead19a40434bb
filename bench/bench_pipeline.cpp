// The host's pipeline under the virtual KestOne's flood: from USB completion to
// the stream callback, in MB/s of device data and records/s per stream type,
// with the CPU time per MB that the host's threads spend (the share of each
// thread shows where the time goes), beside memcpy bandwidth measured in the
// same run. The device's own threads are counted apart. A second benchmark
// gives the rates of the "full" preset, sent and received, per stream; a third
// the clouds per second of a recording played back at each rate.
#include "bench/memcpy_baseline.h"
#include "recording/record_layout.h"
#include "sdk/api/api.h"
#include "sdk/comm/libusb/usb_backend.h"
#include "sdk/logger/logger.h"
#include "sim/kestone.h"
#include "sim/usb_bus.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr std::chrono::seconds window(2); // measured per iteration
constexpr size_t type_slots = 10;         // stream types are bits 1..9

struct tally {
    std::atomic<uint64_t> records{0}, bytes{0};
};
std::array<tally, type_slots> tallies;

const char *type_name(size_t slot) {
    static const char *names[type_slots] = {"",         "image", "imu", "dtof", "slam",
                                            "odometry", "info",  "hf",  "",     "wiwc"};
    return names[slot];
}

void on_stream(const lidar_stream_data_t *data, void *) {
    size_t slot = 0;
    while (slot + 1 < type_slots && (1u << slot) != data->type)
        ++slot;
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < data->count; ++i)
        bytes += data->entries[i].size;
    tallies[slot].records++;
    tallies[slot].bytes += bytes;
}

std::mutex mutex;
std::condition_variable changed;
lidar_device_t *handle = nullptr;
bool streaming = false;

void on_attach(const lidar_device_info_t *, bool attached) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!attached || handle != nullptr)
        return;
    lidar_device_info_t info{};
    lidar_stream_callback_t callback{on_stream, nullptr};
    uint32_t rate = 0;
    if (lidar_create_device(&info, &handle) == 0 && lidar_open_device(handle) == 0 &&
        lidar_register_stream_callback(handle, &callback) == 0 &&
        lidar_start_stream(handle, 0, &rate) == 0)
        streaming = true;
    changed.notify_all();
}

int quiet_sink(const char *, ...) {
    return 0;
}

// CPU seconds used so far by each of this process's threads, by thread name.
std::map<std::string, double> thread_cpu() {
    std::map<std::string, double> out;
    static const double tick = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    DIR *tasks = opendir("/proc/self/task");
    if (tasks == nullptr)
        return out;
    while (dirent *task = readdir(tasks)) {
        if (task->d_name[0] == '.')
            continue;
        std::ifstream stat(std::string("/proc/self/task/") + task->d_name + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        size_t open = text.find('('), close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        std::string name = text.substr(open + 1, close - open - 1);
        // Fields after the name: state is the 3rd field, utime the 14th, stime the 15th.
        unsigned long long user = 0, system = 0;
        if (sscanf(text.c_str() + close + 2,
                   "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user, &system) == 2)
            out[name] += (user + system) * tick;
    }
    closedir(tasks);
    return out;
}

// The virtual KestOne's threads and the bus's worker that hands it the host's data.
bool device_thread(const std::string &name) {
    return name.rfind("kestone_", 0) == 0 || name == "vbus_device";
}

// Brings the layer up with a virtual KestOne streaming these settings; false
// (the benchmark skipped with the reason) if it never streams.
bool bring_up(benchmark::State &state, std::shared_ptr<kest_sim::kestone> &device,
              const kest_sim::stream_settings &settings) {
    log_config(KEST_LOG_VALUE_ERROR, quiet_sink);
    kest_sim::bus_reset();
    usb_backend_select(kest_sim::bus_backend());
    device = std::make_shared<kest_sim::kestone>();
    device->set_streams(settings);
    if (lidar_system_init(on_attach) != 0) {
        state.SkipWithError("lidar_system_init failed");
        return false;
    }
    kest_sim::bus_plug(kest_sim::kestone_desc(), device);
    std::unique_lock<std::mutex> lock(mutex);
    if (!changed.wait_for(lock, std::chrono::seconds(20), [] { return streaming; })) {
        lock.unlock();
        state.SkipWithError("the virtual KestOne never streamed");
        lidar_system_deinit();
        return false;
    }
    return true;
}

void bring_down() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        lidar_stop_stream(handle, 0);
        lidar_destory_device(handle);
        handle = nullptr;
        streaming = false;
    }
    lidar_system_deinit();
    kest_sim::bus_reset();
    usb_backend_select(nullptr);
}

void BM_FloodPipeline(benchmark::State &state) {
    std::shared_ptr<kest_sim::kestone> device;
    if (!bring_up(state, device, kest_sim::stream_preset("flood")))
        return;
    std::array<uint64_t, type_slots> records{}, bytes{};
    std::map<std::string, double> cpu;
    double seconds = 0;
    for (auto _ : state) {
        std::array<uint64_t, type_slots> records0{}, bytes0{};
        for (size_t i = 0; i < type_slots; ++i) {
            records0[i] = tallies[i].records;
            bytes0[i] = tallies[i].bytes;
        }
        std::map<std::string, double> cpu0 = thread_cpu();
        auto began = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(window);
        double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        for (const auto &[name, used] : thread_cpu())
            cpu[name] += used - cpu0[name];
        for (size_t i = 0; i < type_slots; ++i) {
            records[i] += tallies[i].records - records0[i];
            bytes[i] += tallies[i].bytes - bytes0[i];
        }
        seconds += elapsed;
        state.SetIterationTime(elapsed);
    }
    bring_down();

    uint64_t total = 0;
    for (size_t i = 0; i < type_slots; ++i) {
        total += bytes[i];
        if (records[i] == 0)
            continue;
        state.counters[std::string(type_name(i)) + "_rec/s"] = records[i] / seconds;
        if (bytes[i] >= 1000000)
            state.counters[std::string(type_name(i)) + "_MB/s"] = bytes[i] / seconds / 1e6;
    }
    double megabytes = total / 1e6, host_cpu = 0, device_cpu = 0;
    for (const auto &[name, used] : cpu)
        (device_thread(name) ? device_cpu : host_cpu) += used;
    state.SetBytesProcessed(static_cast<int64_t>(total));
    if (megabytes <= 0) {
        state.SkipWithError("nothing arrived");
        return;
    }
    state.counters["host_cpu_ms/MB"] = host_cpu * 1000 / megabytes;
    state.counters["host_MB/s_one_core"] = megabytes / host_cpu; // what one busy core would carry
    state.counters["device_cpu_ms/MB"] = device_cpu * 1000 / megabytes;
    for (const auto &[name, used] : cpu)
        if (!device_thread(name) && used / host_cpu >= 0.01)
            state.counters["host%_" + name] = 100 * used / host_cpu;
}
BENCHMARK(BM_FloodPipeline)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(3);

// The "full" preset at its paced rates: per stream, what the device sent and
// what reached the stream callback, in messages per second, beside the rate
// the preset asks for.
void BM_FullPresetRates(benchmark::State &state) {
    std::shared_ptr<kest_sim::kestone> device;
    if (!bring_up(state, device, kest_sim::stream_preset("full")))
        return;
    // Host record type slot, device message type, nominal rate.
    const struct {
        size_t slot;
        uint16_t message;
        double hz;
    } streams[] = {{1, 3, 30}, {2, 2, 400}, {3, 6, 15},   {4, 0, 10},
                   {5, 1, 10}, {6, 11, 1},  {7, 18, 200}, {9, 21, 10}};
    std::array<uint64_t, type_slots> received{};
    std::map<uint16_t, uint64_t> sent;
    double seconds = 0;
    for (auto _ : state) {
        std::array<uint64_t, type_slots> records0{};
        for (size_t i = 0; i < type_slots; ++i)
            records0[i] = tallies[i].records;
        kest_sim::stream_counters sent0 = device->counters();
        auto began = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(window);
        double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        kest_sim::stream_counters sent1 = device->counters();
        for (const auto &stream : streams) {
            received[stream.slot] += tallies[stream.slot].records - records0[stream.slot];
            sent[stream.message] += sent1.sent[stream.message] - sent0.sent[stream.message];
        }
        seconds += elapsed;
        state.SetIterationTime(elapsed);
    }
    bring_down();
    for (const auto &stream : streams) {
        std::string name = type_name(stream.slot);
        state.counters[name + "_nominal_hz"] = stream.hz;
        state.counters[name + "_device_hz"] = sent[stream.message] / seconds;
        state.counters[name + "_host_hz"] = received[stream.slot] / seconds;
    }
}
BENCHMARK(BM_FullPresetRates)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(2);

// A recording played back at each rate: the SLAM clouds per second that
// reached the host over the recording's own cloud rate ("x_recorded"), which
// the rate asked for should match. The recording is made here: 90 s of clouds
// of 1000 points at 10 Hz and poses at 50 Hz, without pictures.
std::string playback_recording() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/kest-bench-playback-XXXXXX";
        const std::string root = std::string(mkdtemp(pattern)) + "/rec";
        std::filesystem::create_directories(root);
        std::ofstream clouds(root + "/MTrec.kvx", std::ios::binary),
            poses(root + "/KestPose.bin", std::ios::binary);
        const std::vector<CloudPoint> points(1000, {1, 2, 1.5f, 90, 120, 200, 0, 0});
        const float values[StreamDecoding::POSE_RECORD_VALUES] = {0, 0, 0, 0, 0, 0, 1};
        for (uint32_t i = 0; i < 900; ++i) {
            const auto record = StreamDecoding::buildCloudRecord(i, 100 + i * 0.1, points);
            clouds.write(reinterpret_cast<const char *>(record.data()),
                         std::streamsize(record.size()));
        }
        for (uint32_t i = 0; i < 4500; ++i) {
            const auto record = StreamDecoding::buildPoseRecord(i, 100 + i * 0.02, values);
            poses.write(reinterpret_cast<const char *>(record.data()),
                        std::streamsize(record.size()));
        }
        return root;
    }();
    return folder;
}

void BM_PlaybackRate(benchmark::State &state) {
    const double rate = double(state.range(0)) / 4;
    kest_sim::stream_settings settings;
    std::string error;
    if (!kest_sim::virtual_device_settings("play:" + playback_recording(),
                                           {"speed=" + std::to_string(rate)}, settings, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::shared_ptr<kest_sim::kestone> device;
    if (!bring_up(state, device, settings))
        return;
    uint64_t clouds = 0;
    double seconds = 0;
    for (auto _ : state) {
        const uint64_t before = tallies[4].records;
        auto began = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(window);
        double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        clouds += tallies[4].records - before;
        seconds += elapsed;
        state.SetIterationTime(elapsed);
    }
    bring_down();
    state.counters["rate"] = rate;
    state.counters["x_recorded"] = clouds / seconds / 10.0;
}
BENCHMARK(BM_PlaybackRate)
    ->ArgName("rate_x4")
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Arg(32)
    ->UseManualTime()
    ->Unit(benchmark::kSecond)
    ->Iterations(2);

void BM_MemcpyBaseline(benchmark::State &state) {
    measure_memcpy(state, 1081403); // one depth frame message
}
BENCHMARK(BM_MemcpyBaseline);

} // namespace

BENCHMARK_MAIN();
