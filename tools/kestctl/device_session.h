// The device a kestctl command runs on: the virtual KestOne when asked for, the
// wait for an attach, the handle created and opened, and the teardown in the
// order the device layer needs. It also owns the device layer's log sink,
// which is where callback queue drops are counted.
#pragma once

#include "tools/kestctl/options.h"

#include <cstdint>
#include <memory>
#include <string>

struct lidar_device_t;

namespace kest_sim {
class kestone;
class plugged_kestone;
struct stream_settings;
} // namespace kest_sim

namespace kestctl {

// The virtual KestOne's streams: the preset with the overrides applied. False,
// with the reason in error, on a bad override; main.cpp calls this while
// parsing so that a bad one is a usage error before anything starts.
bool virtual_streams(const options &opts, kest_sim::stream_settings &out, std::string &error);

// Reports a failed request on standard error; returns result unchanged so
// that calls chain with ||.
int check(int result, const char *what);

// "Callback queue full" warnings the device layer has logged so far.
uint64_t callback_queue_drops();

class device_session {
public:
    explicit device_session(const options &opts);
    ~device_session();
    device_session(const device_session &) = delete;
    device_session &operator=(const device_session &) = delete;

    // Starts the device layer (and the virtual KestOne), waits for a device,
    // creates and opens its handle. Returns exit_ok, exit_request_failed or
    // exit_no_device; whatever was started is undone by the destructor.
    int open();
    // Only routes the log and plugs in the virtual KestOne, if asked for: for a
    // command that brings the device layer up itself.
    void plug();

    lidar_device_t *handle() const { return handle_; }
    // Null when the device is on USB.
    const kest_sim::kestone *virtual_device() const;
    kest_sim::plugged_kestone *plugged_device() const { return device_.get(); }

private:
    const options &opts_;
    std::unique_ptr<kest_sim::plugged_kestone> device_;
    bool layer_started_ = false;
    lidar_device_t *handle_ = nullptr;
};

} // namespace kestctl
