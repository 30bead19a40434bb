// The USB transport's life cycle: initialisation, the monitor and handler threads,
// device arrival and departure, and the sessions of opened devices.
#include "sdk/comm/libusb/lib_usb.h"

#include "sdk/common/stats/counters.h"
#include "sdk/logger/console.h"
#include "sdk/logger/logger.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {} // namespace

data_xfer *data_xfer_create(uint32_t kind) {
    if (kind != 0)
        return nullptr;
    return new usb_data_xfer();
}

usb_data_xfer::~usb_data_xfer() {
    if (initialised)
        xfer_deinit();
    for (auto &[id, channel] : channels) {
        // The library context has ended: no completion can arrive any more.
        if (channel->receive_transfer != nullptr)
            free_transfer(channel->receive_transfer);
        delete_channel(channel);
    }
    channels.clear();
    for (usb_session *session : retired)
        delete session;
    retired.clear();
}

int usb_data_xfer::xfer_init(const xfer_config &new_config) {
    if (initialised) {
        log_print(ERROR, "transport already initialised.\n");
        return -1;
    }
    usb = usb_backend_current();
    int result = usb->init(&context);
    if (result < 0) {
        log_print(ERROR, "cannot init libusb: %s\n", usb->error_name(result));
        return result;
    }
    config = new_config;
    stop = false;
    started = false;
    first_pass_done = false;
    hotplug_supported = usb->has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0;
    if (!hotplug_supported) {
        log_print(WARN, "Hotplug not supported, fallback to polling mode.\n");
    } else {
        result = usb->hotplug_register_callback(
            context, hotplug_events, 0, static_cast<int>(config.vendor_id),
            static_cast<int>(config.product_id), LIBUSB_HOTPLUG_MATCH_ANY, hotplug_callback, this,
            &hotplug_handle);
        if (result != LIBUSB_SUCCESS) {
            log_print(ERROR, "register hotplug callback failed: %s\n", usb->error_name(result));
            usb->exit(context);
            context = nullptr;
            return result;
        }
    }

    if (monitor_thread.nst_create(event_monitor_routine, "event_monitor_routine", this) != 0) {
        log_print(ERROR, "usb event thread create fail: %s.\n", strerror(errno));
        if (hotplug_supported)
            usb->hotplug_deregister_callback(context, hotplug_handle);
        usb->exit(context);
        context = nullptr;
        return -1;
    }
    handler_thread.nst_create(event_handle_routine, "event_handle_routine", this);
    initialised = true;
    return 0;
}

int usb_data_xfer::xfer_start() {
    {
        std::lock_guard<std::mutex> lock(wake_mutex);
        started = true;
    }
    wake.notify_all();
    return 0;
}

int usb_data_xfer::xfer_deinit() {
    console_print("xfer_deinit start.\n");
    if (!initialised)
        return 0;
    {
        std::lock_guard<std::mutex> lock(wake_mutex);
        stop = true;
    }
    wake.notify_all();
    monitor_thread.nst_join();
    console_print("xfer_deinit destroy io thread.\n");
    handler_thread.nst_join();
    console_print("xfer_deinit destroy event thread.\n");

    // A device still open is given up quietly (no detach event); its transfers
    // complete here, so nothing outlives the context.
    if (opened) {
        close_device();
        release_open_devices();
        opened = false;
        detached = 1;
    }
    forget_seen_device();
    drain_sessions(drain_wait_ms);

    if (hotplug_supported)
        usb->hotplug_deregister_callback(context, hotplug_handle);
    usb->exit(context);
    context = nullptr;
    initialised = false;
    console_print("xfer_deinit end.\n");
    return 0;
}

bool usb_data_xfer::wait_started() {
    std::unique_lock<std::mutex> lock(wake_mutex);
    while (!started && !stop)
        wake.wait_for(lock, std::chrono::milliseconds(start_wait_ms));
    return !stop;
}

void usb_data_xfer::sleep_unless_stopped(int milliseconds) {
    std::unique_lock<std::mutex> lock(wake_mutex);
    wake.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return stop.load(); });
}

void *usb_data_xfer::event_monitor_routine(void *argument) {
    auto *self = static_cast<usb_data_xfer *>(argument);
    log_print(INFO, "enter event monitor.\n");
    if (self->wait_started()) {
        log_print(INFO, "start enumerate usb status.\n");
        self->monitor_loop(LOG_ORIGIN);
    }
    {
        std::lock_guard<std::mutex> lock(self->wake_mutex);
        self->first_pass_done = true;
    }
    self->wake.notify_all();
    log_print(INFO, "event_monitor_routine thread exit.\n");
    return nullptr;
}

void usb_data_xfer::monitor_loop(log_origin origin) {
    bool present = initialised && detached == 0;
    // Hot-plug reports arrivals only: a device connected before the start is
    // found by one polling pass, made before any event is handled.
    if (hotplug_supported) {
        poll_devices(present, origin);
        first_pass_device = open_devices.empty() ? nullptr : open_devices.front();
    }
    {
        std::lock_guard<std::mutex> lock(wake_mutex);
        first_pass_done = true;
    }
    wake.notify_all();

    while (!stop) {
        timeval wait = {0, event_wait_us};
        usb->handle_events_timeout(context, &wait);
        reap_sessions();
        if (hotplug_supported)
            continue;
        poll_devices(present, origin);
        sleep_unless_stopped(poll_interval_ms);
    }
}

void *usb_data_xfer::event_handle_routine(void *argument) {
    auto *self = static_cast<usb_data_xfer *>(argument);
    {
        std::unique_lock<std::mutex> lock(self->wake_mutex);
        self->wake.wait(lock, [self] { return self->first_pass_done || self->stop; });
    }
    while (!self->stop) {
        timeval wait = {0, event_wait_us};
        self->usb->handle_events_timeout(self->context, &wait);
    }
    console_print("handle_event_routine thread exit.\n");
    return nullptr;
}

void usb_data_xfer::poll_devices(bool &present, log_origin origin) {
    libusb_device **list = nullptr;
    ssize_t count = usb->get_device_list(context, &list);
    // A failed enumeration says nothing about the device: keep the state, and
    // say so once per run of failures.
    if (count < 0) {
        if (!enumeration_failing)
            log_print_from(origin, WARN, "device enumeration failed: %s; device state kept.\n",
                           usb->error_name(static_cast<int>(count)));
        enumeration_failing = true;
        return;
    }
    enumeration_failing = false;
    libusb_device *found = nullptr;
    libusb_device_descriptor descriptor{};
    for (ssize_t i = 0; i < count && found == nullptr; ++i) {
        if (usb->get_device_descriptor(list[i], &descriptor) == 0 &&
            descriptor.idVendor == config.vendor_id && descriptor.idProduct == config.product_id)
            found = list[i];
    }

    // Unplugged and plugged again between two passes: the device in the list is
    // another one than last time, so the old one has left.
    bool replaced = found != nullptr && present && found != seen_device;
    if ((found == nullptr || replaced) && present) {
        console_print("device detached %04x:%04x\n", config.vendor_id, config.product_id);
        log_print_from(origin, INFO, "device detached %04x:%04x\n", config.vendor_id,
                       config.product_id);
        // Only a device that was opened is detached: one whose open failed
        // raised no attach, and attach and detach alternate.
        if (!open_devices.empty()) {
            close_device();
            release_open_devices();
            raise(0, XFER_EVENT_DETACH, nullptr, 0);
        }
        opened = false;
        detached = 1;
        present = false;
        forget_seen_device();
    }
    if (found != nullptr && !present) {
        console_print("device attached %04x:%04x\n", descriptor.idVendor, descriptor.idProduct);
        log_print_from(origin, INFO, "device attached %04x:%04x\n", descriptor.idVendor,
                       descriptor.idProduct);
        if (open_device(found) == 0) {
            open_devices.push_back(usb->ref_device(found));
            detached = 0;
            raise(0, XFER_EVENT_ATTACH, nullptr, 0);
        } else {
            log_print_from(origin, ERROR, "device attach detected, but open failed.\n");
        }
        present = true;
        seen_device = usb->ref_device(found);
    }
    if (list != nullptr)
        usb->free_device_list(list, 1);
}

int LIBUSB_CALL usb_data_xfer::hotplug_callback(libusb_context *, libusb_device *device,
                                                libusb_hotplug_event event, void *user_data) {
    auto *self = static_cast<usb_data_xfer *>(user_data);
    log_print(INFO, "hotplug_callback enter.\n");
    if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED)
        self->handle_arrival(device, LOG_ORIGIN);
    else if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT)
        self->handle_departure(device, LOG_ORIGIN);
    console_print("hotplug_callback end.\n");
    return 0;
}

// An arrival for the device already open is the device the start-up pass found
// (it arrived between registration and that pass) or a library fault; either way
// the open device is kept: closing and reopening it would raise a second attach
// while its transfers are still in flight.
void usb_data_xfer::handle_arrival(libusb_device *device, log_origin origin) {
    if (is_open_device(device)) {
        if (device != first_pass_device)
            log_print_from(origin, BUG, "found open device, this should not happen!!!!\n");
        first_pass_device = nullptr;
        return;
    }
    first_pass_device = nullptr;
    if (!open_devices.empty()) {
        // One device at a time: a second KestOne waits until the first has left.
        log_print_from(origin, WARN,
                       "another device %04x:%04x arrived while one is open; ignored.\n",
                       config.vendor_id, config.product_id);
        return;
    }
    if (open_device(device) != 0)
        return;
    open_devices.push_back(usb->ref_device(device));
    detached = 0;
    raise(0, XFER_EVENT_ATTACH, nullptr, 0);
}

void usb_data_xfer::handle_departure(libusb_device *device, log_origin origin) {
    if (!is_open_device(device)) {
        // A device that failed to open, or a second one that was ignored: the
        // open device, if any, is still there, so nothing is detached.
        log_print_from(origin, BUG, "found no open device, this should not happen!!!!\n");
        return;
    }
    close_device();
    release_open_devices();
    raise(0, XFER_EVENT_DETACH, nullptr, 0);
    opened = false;
    detached = 1;
}

void usb_data_xfer::forget_seen_device() {
    if (seen_device != nullptr)
        usb->unref_device(seen_device);
    seen_device = nullptr;
}

bool usb_data_xfer::is_open_device(libusb_device *device) const {
    return std::find(open_devices.begin(), open_devices.end(), device) != open_devices.end();
}

void usb_data_xfer::release_open_devices() {
    for (libusb_device *device : open_devices)
        usb->unref_device(device);
    open_devices.clear();
}

void usb_data_xfer::raise(int32_t channel, uint32_t event, uint8_t *data, uint32_t len) {
    if (config.event_cb != nullptr)
        config.event_cb(channel, event, data, len);
}

int usb_data_xfer::open_device(libusb_device *device) {
    libusb_device_handle *handle = nullptr;
    int result = usb->open(device, &handle);
    if (result != LIBUSB_SUCCESS) {
        log_print(ERROR, "cannot open device %04x:%04x: %s\n", config.vendor_id, config.product_id,
                  usb->error_name(result));
        sdk_counters::count_open_failure(result);
        return -1;
    }
    if (usb->claim_interface(handle, interface_number) != LIBUSB_SUCCESS) {
        result = usb->detach_kernel_driver(handle, interface_number);
        if (result != LIBUSB_SUCCESS) {
            log_print(ERROR, "unable to detach kernel driver: %s\n", usb->error_name(result));
            sdk_counters::count_open_failure(result);
            usb->close(handle);
            return -1;
        }
        result = usb->claim_interface(handle, interface_number);
        if (result != LIBUSB_SUCCESS) {
            log_print(ERROR, "cannot claim interface: %s\n", usb->error_name(result));
            sdk_counters::count_open_failure(result);
            usb->attach_kernel_driver(handle, interface_number);
            usb->close(handle);
            return -1;
        }
    }
    auto *session = new usb_session;
    session->owner = this;
    session->device = usb->ref_device(device);
    session->handle = handle;
    {
        std::lock_guard<std::mutex> lock(channel_mutex);
        current = session;
    }
    opened = true;
    return 0;
}

int usb_data_xfer::close_device() {
    if (!opened)
        return -1;
    {
        std::lock_guard<std::mutex> lock(channel_mutex);
        if (current == nullptr)
            return -1;
        // Receive transfers stay in flight on a device that is still there;
        // cancelling them lets the session drain. On a gone device they have
        // completed already and the cancel finds nothing.
        for (auto &[id, channel] : channels)
            if (channel->in_flight && channel->session == current)
                usb->cancel_transfer(channel->receive_transfer);
        retired.push_back(current);
        current = nullptr;
    }
    reap_sessions();
    return 0;
}

// Closes every retired session whose transfers have all completed. The close
// happens outside the channel mutex: the library may wait for event handling.
void usb_data_xfer::reap_sessions() {
    std::vector<usb_session *> done;
    {
        std::lock_guard<std::mutex> lock(channel_mutex);
        // One look at each count: it may drop to zero at any moment.
        std::vector<usb_session *> still_busy;
        for (usb_session *session : retired)
            (session->in_flight.load() == 0 ? done : still_busy).push_back(session);
        retired.swap(still_busy);
    }
    for (usb_session *session : done) {
        usb->release_interface(session->handle, interface_number);
        usb->attach_kernel_driver(session->handle, interface_number);
        usb->close(session->handle);
        usb->unref_device(session->device);
        delete session;
    }
}

// Only when no event thread runs: handles events here until the retired
// sessions are closed or the time is up.
void usb_data_xfer::drain_sessions(int milliseconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        reap_sessions();
        {
            std::lock_guard<std::mutex> lock(channel_mutex);
            if (retired.empty())
                return;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        timeval wait = {0, 10000};
        usb->handle_events_timeout(context, &wait);
    }
    log_print(ERROR, "device closed with transfers still in flight; its handle is left open.\n");
}

void usb_data_xfer::transfer_done(usb_session *session) {
    session->in_flight.fetch_sub(1);
}
