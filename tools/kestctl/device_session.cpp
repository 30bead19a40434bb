// Attach wait, handle creation and teardown for kestctl, over the lidar_* API,
// against USB or the virtual KestOne on the virtual bus.
#include "tools/kestctl/device_session.h"

#include "sdk/api/api.h"
#include "sdk/logger/logger.h"
#include "sim/plugged_kestone.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace kestctl {

namespace {

// The sink and the attach callback are plain C callbacks without a user
// pointer, so their state is process-wide.
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

bool wait_for_device(int seconds) {
    std::unique_lock<std::mutex> lock(attach_mutex);
    return attach_changed.wait_for(lock, std::chrono::seconds(seconds),
                                   [] { return soft_attached; });
}

} // namespace

bool virtual_streams(const options &opts, kest_sim::stream_settings &out, std::string &error) {
    return kest_sim::virtual_device_settings(opts.preset, opts.overrides, out, error);
}

int check(int result, const char *what) {
    if (result != 0)
        fprintf(stderr, "kestctl: %s failed (%d)\n", what, result);
    return result;
}

uint64_t callback_queue_drops() {
    return queue_drops.load();
}

device_session::device_session(const options &opts) : opts_(opts) {}

void device_session::plug() {
    // Warnings and errors only: the commands' own output goes to standard output.
    log_config(KEST_LOG_VALUE_WARN, stderr_sink);

    if (opts_.virtual_device) {
        kest_sim::stream_settings streams;
        std::string error;
        virtual_streams(opts_, streams, error); // already checked while parsing
        device_ = std::make_unique<kest_sim::plugged_kestone>(streams);
    }
}

int device_session::open() {
    plug();
    if (lidar_system_init(on_attach) != 0) {
        fprintf(stderr, "kestctl: the device layer did not start\n");
        return exit_request_failed;
    }
    layer_started_ = true;
    if (!wait_for_device(opts_.timeout)) {
        fprintf(stderr, "kestctl: no KestOne appeared within %d s\n", opts_.timeout);
        return exit_no_device;
    }
    lidar_device_info_t info{};
    if (check(lidar_create_device(&info, &handle_), "create device") ||
        check(lidar_open_device(handle_), "open device"))
        return exit_request_failed;
    return exit_ok;
}

device_session::~device_session() {
    if (device_)
        device_->stop_faults(); // before the layer goes down
    // The handle goes before the layer: once the layer is down it cannot be freed.
    if (handle_ != nullptr) {
        lidar_close_device(handle_);
        lidar_destory_device(handle_);
    }
    if (layer_started_)
        lidar_system_deinit();
    device_.reset();
}

const kest_sim::kestone *device_session::virtual_device() const {
    return device_ ? device_->device().get() : nullptr;
}

} // namespace kestctl
