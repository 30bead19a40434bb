// A virtual KestOne plugged into the virtual USB bus, with the bus selected as
// the USB backend, for as long as this object lives, and the random faults its
// settings ask for (stream_settings::faults). The viewer and kestctl hold one
// when they run on the virtual KestOne.
#pragma once

#include "sim/kestone.h"
#include "sim/kestone_faults.h"

#include <memory>
#include <mutex>

namespace kest_sim {

class plugged_kestone {
public:
    explicit plugged_kestone(const stream_settings &streams);
    ~plugged_kestone(); // stops the faults, then unplugs
    plugged_kestone(const plugged_kestone &) = delete;
    plugged_kestone &operator=(const plugged_kestone &) = delete;

    // Unplugs the device and plugs in a new one with these streams, as a
    // person swapping devices would.
    void swap(const stream_settings &streams);
    // Unplugs the device and plugs the same one in again, as a cable pulled
    // and put back would.
    void replug();
    // Unplugs the device for good, as a cable pulled out would (the faults
    // stop first); swap plugs one in again.
    void unplug();

    // Ends the faults, leaving the device plugged in and answering: before
    // the host's device layer goes down, so that no replug meets its teardown.
    void stop_faults();

    std::shared_ptr<kestone> device() const;
    // What the faults injected so far, by kind; all zero without faults.
    std::array<uint64_t, fault_kinds> faults_injected() const;

private:
    void start_faults(const fault_settings &settings);
    // Plugs model in, refusing the host's open with open_error; returns its bus id.
    int plug_in();

    mutable std::mutex mutex; // the model and its bus number
    std::shared_ptr<kestone> model;
    int id = 0;
    int open_error = 0;                     // what the host's open of this device fails with
    std::unique_ptr<fault_injector> faults; // replaced only by the owner's thread
    std::array<uint64_t, fault_kinds> injected_before{}; // by the faults stopped
};

} // namespace kest_sim
