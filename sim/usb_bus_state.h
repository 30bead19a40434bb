// Internal state of the virtual USB bus, shared by its public functions and its
// backend record. Everything here is guarded by bus_state::mutex.
#pragma once

#include "sim/usb_bus.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace kest_sim::detail {

struct vdevice;

struct vcontext {
    int id;
};

struct vhandle {
    vdevice *device;
    bool claimed = false;
};

struct armed_fault {
    fault kind;
    int count;
    size_t value;
};

struct endpoint_state {
    uint8_t address = 0;
    std::deque<std::vector<uint8_t>> in_queue;
    std::deque<libusb_transfer *> pending; // IN transfers waiting for data
    std::deque<armed_fault> faults;
    bool halted = false;
};

struct vdevice {
    int id = 0;
    device_desc desc;
    std::shared_ptr<usb_device_model> model;
    bool present = true;
    int refs = 1; // the bus's own while present
    std::map<uint8_t, endpoint_state> endpoints;
    kernel_driver driver = kernel_driver::none;
    bool driver_attached = false;
    int open_error = 0;
    int open_handles = 0;
    bool claimed = false;
    std::deque<libusb_transfer *> out_queue;
    std::thread worker;
    bool worker_stop = false;
    bool in_taken = false; // the host took IN data since the model last heard
    std::condition_variable worker_wake;
};

enum class flight_state { pending_in, queued_out, delivering_out, completing };

struct flight {
    vhandle *handle;
    uint8_t endpoint;
    uint64_t serial;
    flight_state state;
    bool cancel_requested = false;
};

struct hotplug_registration {
    int id;
    vcontext *context;
    int events;
    int vendor_id;
    int product_id;
    libusb_hotplug_callback_fn callback;
    void *user_data;
};

struct event_item {
    libusb_transfer *transfer = nullptr; // a completion, or else a hot-plug event:
    vcontext *context = nullptr;
    int registration = 0;
    vdevice *device = nullptr; // referenced until delivered
    libusb_hotplug_event event = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
};

struct config_block {
    libusb_config_descriptor config{};
    libusb_interface interface {};
    libusb_interface_descriptor setting{};
    std::vector<libusb_endpoint_descriptor> endpoints;
};

struct bus_state {
    std::mutex mutex;
    std::condition_variable events_ready;
    // One event handler at a time, as libusb's event lock. A flag under the bus
    // mutex rather than a timed mutex, whose timed lock ThreadSanitizer misreads.
    bool handling_events = false;
    std::condition_variable handler_done;
    std::map<int, vdevice *> present;
    std::map<int, vdevice *> alive; // not yet freed: present or still referenced
    int next_device = 1;
    bool hotplug = true;
    int init_error = 0;
    int register_error = 0;
    int device_list_error = 0;
    std::vector<hotplug_registration> registrations;
    int next_registration = 1;
    int next_context = 1;
    std::unordered_map<libusb_transfer *, flight> in_flight;
    uint64_t next_serial = 1;
    std::deque<event_item> events;
    std::unordered_map<const libusb_config_descriptor *, std::unique_ptr<config_block>> configs;
    bus_stats stats;
};

// The process-wide bus; never destroyed, so threads still running at exit are safe.
bus_state &bus();

// Helpers that expect bus().mutex held.
void complete_locked(libusb_transfer *transfer, libusb_transfer_status status, int actual);
void unref_locked(vdevice *device);
void remove_from_queues_locked(libusb_transfer *transfer, const flight &entry);
// Fills waiting IN transfers from queued payloads; true if any payload went.
bool match_in_locked(endpoint_state &endpoint);
bool take_immediate_fault_locked(endpoint_state &endpoint, libusb_transfer *transfer);
void queue_hotplug_locked(vdevice *device, libusb_hotplug_event event);

inline vdevice *as_device(libusb_device *device) {
    return reinterpret_cast<vdevice *>(device);
}
inline libusb_device *as_libusb(vdevice *device) {
    return reinterpret_cast<libusb_device *>(device);
}
inline vhandle *as_handle(libusb_device_handle *handle) {
    return reinterpret_cast<vhandle *>(handle);
}

} // namespace kest_sim::detail
