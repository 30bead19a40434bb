// The virtual bus's usb backend record: libusb's observable behaviour in memory.
#include "sim/usb_bus_state.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace kest_sim {

using namespace detail;

namespace {

int sim_init(libusb_context **context) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    if (bus().init_error != 0)
        return bus().init_error;
    *context = reinterpret_cast<libusb_context *>(new vcontext{bus().next_context++});
    return LIBUSB_SUCCESS;
}

void sim_exit(libusb_context *context) {
    auto *ctx = reinterpret_cast<vcontext *>(context);
    bus_state &b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.registrations.erase(
        std::remove_if(b.registrations.begin(), b.registrations.end(),
                       [ctx](const hotplug_registration &r) { return r.context == ctx; }),
        b.registrations.end());
    for (auto item = b.events.begin(); item != b.events.end();) {
        if (item->context == ctx) {
            unref_locked(item->device);
            item = b.events.erase(item);
        } else {
            ++item;
        }
    }
    delete ctx;
}

int sim_has_capability(uint32_t capability) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    if (capability == LIBUSB_CAP_HAS_HOTPLUG)
        return bus().hotplug ? 1 : 0;
    return capability == LIBUSB_CAP_HAS_CAPABILITY ? 1 : 0;
}

int sim_hotplug_register(libusb_context *context, int events, int flags, int vendor_id,
                         int product_id, int, libusb_hotplug_callback_fn callback, void *user_data,
                         libusb_hotplug_callback_handle *handle) {
    bus_state &b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    if (b.register_error != 0)
        return b.register_error;
    // Enumeration of present devices at registration is not offered here.
    if (!b.hotplug || (flags & LIBUSB_HOTPLUG_ENUMERATE) != 0)
        return LIBUSB_ERROR_NOT_SUPPORTED;
    hotplug_registration registration{b.next_registration++,
                                      reinterpret_cast<vcontext *>(context),
                                      events,
                                      vendor_id,
                                      product_id,
                                      callback,
                                      user_data};
    b.registrations.push_back(registration);
    if (handle != nullptr)
        *handle = registration.id;
    return LIBUSB_SUCCESS;
}

void sim_hotplug_deregister(libusb_context *, libusb_hotplug_callback_handle handle) {
    bus_state &b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.registrations.erase(
        std::remove_if(b.registrations.begin(), b.registrations.end(),
                       [handle](const hotplug_registration &r) { return r.id == handle; }),
        b.registrations.end());
}

// Delivers one hot-plug event if its registration still stands.
void deliver_hotplug(const event_item &item) {
    bus_state &b = bus();
    libusb_hotplug_callback_fn callback = nullptr;
    void *user_data = nullptr;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        for (const hotplug_registration &registration : b.registrations)
            if (registration.id == item.registration) {
                callback = registration.callback;
                user_data = registration.user_data;
            }
    }
    if (callback != nullptr && callback(reinterpret_cast<libusb_context *>(item.context),
                                        as_libusb(item.device), item.event, user_data) != 0)
        sim_hotplug_deregister(nullptr, item.registration);
    std::lock_guard<std::mutex> lock(b.mutex);
    unref_locked(item.device);
}

int sim_handle_events_timeout(libusb_context *context, struct timeval *tv) {
    bus_state &b = bus();
    auto *ctx = reinterpret_cast<vcontext *>(context);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(tv->tv_sec) +
                    std::chrono::microseconds(tv->tv_usec);
    std::deque<event_item> batch;
    {
        std::unique_lock<std::mutex> lock(b.mutex);
        if (!b.handler_done.wait_until(lock, deadline, [&b] { return !b.handling_events; }))
            return LIBUSB_SUCCESS; // another thread handled the events meanwhile
        b.handling_events = true;
        auto mine = [ctx](const event_item &item) {
            return item.transfer != nullptr || item.context == ctx;
        };
        b.events_ready.wait_until(
            lock, deadline, [&] { return std::any_of(b.events.begin(), b.events.end(), mine); });
        for (auto item = b.events.begin(); item != b.events.end();) {
            if (!mine(*item)) {
                ++item;
                continue;
            }
            if (item->transfer != nullptr)
                b.in_flight.erase(item->transfer); // the callback may submit it again
            batch.push_back(*item);
            item = b.events.erase(item);
        }
    }
    for (const event_item &item : batch) {
        if (item.transfer != nullptr)
            item.transfer->callback(item.transfer);
        else
            deliver_hotplug(item);
    }
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        b.handling_events = false;
    }
    b.handler_done.notify_one();
    return LIBUSB_SUCCESS;
}

ssize_t sim_get_device_list(libusb_context *, libusb_device ***list) {
    bus_state &b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.stats.device_lists++;
    if (b.device_list_error != 0)
        return b.device_list_error;
    auto **devices =
        static_cast<libusb_device **>(calloc(b.present.size() + 1, sizeof(libusb_device *)));
    if (devices == nullptr)
        return LIBUSB_ERROR_NO_MEM;
    size_t count = 0;
    for (auto &[id, device] : b.present) {
        device->refs++;
        devices[count++] = as_libusb(device);
    }
    *list = devices;
    return static_cast<ssize_t>(count);
}

void sim_free_device_list(libusb_device **list, int unref_devices) {
    if (list == nullptr)
        return;
    if (unref_devices) {
        std::lock_guard<std::mutex> lock(bus().mutex);
        for (libusb_device **device = list; *device != nullptr; ++device)
            unref_locked(as_device(*device));
    }
    free(list);
}

libusb_device *sim_ref_device(libusb_device *device) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    as_device(device)->refs++;
    return device;
}

void sim_unref_device(libusb_device *device) {
    if (device == nullptr)
        return;
    std::lock_guard<std::mutex> lock(bus().mutex);
    unref_locked(as_device(device));
}

int sim_get_device_descriptor(libusb_device *device, struct libusb_device_descriptor *out) {
    const device_desc &desc = as_device(device)->desc; // fixed at plug
    *out = libusb_device_descriptor{};
    out->bLength = LIBUSB_DT_DEVICE_SIZE;
    out->bDescriptorType = LIBUSB_DT_DEVICE;
    out->bcdUSB = 0x0200;
    out->bMaxPacketSize0 = 64;
    out->idVendor = desc.vendor_id;
    out->idProduct = desc.product_id;
    out->bNumConfigurations = desc.has_config ? 1 : 0;
    return LIBUSB_SUCCESS;
}

int sim_get_config_descriptor(libusb_device *device, uint8_t index,
                              struct libusb_config_descriptor **config) {
    const device_desc &desc = as_device(device)->desc;
    if (!desc.has_config || index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    auto block = std::make_unique<config_block>();
    for (uint8_t address : desc.endpoints) {
        libusb_endpoint_descriptor endpoint{};
        endpoint.bLength = LIBUSB_DT_ENDPOINT_SIZE;
        endpoint.bDescriptorType = LIBUSB_DT_ENDPOINT;
        endpoint.bEndpointAddress = address;
        endpoint.bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
        endpoint.wMaxPacketSize = 512;
        block->endpoints.push_back(endpoint);
    }
    block->setting.bLength = LIBUSB_DT_INTERFACE_SIZE;
    block->setting.bDescriptorType = LIBUSB_DT_INTERFACE;
    block->setting.bNumEndpoints = static_cast<uint8_t>(block->endpoints.size());
    block->setting.bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
    block->setting.endpoint = block->endpoints.data();
    block->interface.altsetting = &block->setting;
    block->interface.num_altsetting = 1;
    block->config.bLength = LIBUSB_DT_CONFIG_SIZE;
    block->config.bDescriptorType = LIBUSB_DT_CONFIG;
    block->config.bNumInterfaces = 1;
    block->config.bConfigurationValue = 1;
    block->config.interface = &block->interface;
    *config = &block->config;
    std::lock_guard<std::mutex> lock(bus().mutex);
    bus().configs[&block->config] = std::move(block);
    return LIBUSB_SUCCESS;
}

void sim_free_config_descriptor(struct libusb_config_descriptor *config) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    bus().configs.erase(config);
}

int sim_open(libusb_device *device, libusb_device_handle **handle) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    vdevice *dev = as_device(device);
    if (!dev->present)
        return LIBUSB_ERROR_NO_DEVICE;
    if (dev->open_error != 0)
        return dev->open_error;
    dev->refs++;
    dev->open_handles++;
    bus().stats.handles_open++;
    *handle = reinterpret_cast<libusb_device_handle *>(new vhandle{dev});
    return LIBUSB_SUCCESS;
}

// As libusb: transfers still in flight on the handle are forgotten and never complete.
void sim_close(libusb_device_handle *handle) {
    bus_state &b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    vhandle *h = as_handle(handle);
    std::vector<libusb_transfer *> orphans;
    for (auto &[transfer, entry] : b.in_flight)
        if (entry.handle == h)
            orphans.push_back(transfer);
    if (!orphans.empty())
        b.stats.closed_with_transfers_in_flight++;
    for (libusb_transfer *transfer : orphans) {
        remove_from_queues_locked(transfer, b.in_flight.at(transfer));
        b.in_flight.erase(transfer);
    }
    if (h->claimed)
        h->device->claimed = false;
    h->device->open_handles--;
    b.stats.handles_open--;
    unref_locked(h->device);
    delete h;
}

int sim_claim_interface(libusb_device_handle *handle, int number) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    vhandle *h = as_handle(handle);
    vdevice *dev = h->device;
    if (!dev->present)
        return LIBUSB_ERROR_NO_DEVICE;
    if (number != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    if (h->claimed)
        return LIBUSB_SUCCESS;
    if (dev->driver_attached || dev->claimed || dev->driver == kernel_driver::sticky)
        return LIBUSB_ERROR_BUSY;
    h->claimed = dev->claimed = true;
    return LIBUSB_SUCCESS;
}

int sim_release_interface(libusb_device_handle *handle, int number) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    vhandle *h = as_handle(handle);
    if (number != 0 || !h->claimed)
        return LIBUSB_ERROR_NOT_FOUND;
    h->claimed = h->device->claimed = false;
    return h->device->present ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int sim_detach_kernel_driver(libusb_device_handle *handle, int number) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    vdevice *dev = as_handle(handle)->device;
    if (!dev->present)
        return LIBUSB_ERROR_NO_DEVICE;
    if (number != 0 || !dev->driver_attached)
        return LIBUSB_ERROR_NOT_FOUND;
    if (dev->driver == kernel_driver::stuck)
        return LIBUSB_ERROR_ACCESS;
    dev->driver_attached = false;
    bus().stats.kernel_driver_detaches++;
    return LIBUSB_SUCCESS;
}

int sim_attach_kernel_driver(libusb_device_handle *handle, int number) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    vdevice *dev = as_handle(handle)->device;
    if (!dev->present)
        return LIBUSB_ERROR_NO_DEVICE;
    if (number != 0 || dev->driver == kernel_driver::none)
        return LIBUSB_ERROR_NOT_FOUND;
    if (dev->claimed || dev->driver_attached)
        return LIBUSB_ERROR_BUSY;
    dev->driver_attached = true;
    bus().stats.kernel_driver_attaches++;
    return LIBUSB_SUCCESS;
}

struct libusb_transfer *sim_alloc_transfer(int iso_packets) {
    size_t size = sizeof(libusb_transfer) + sizeof(libusb_iso_packet_descriptor) *
                                                static_cast<size_t>(std::max(iso_packets, 0));
    auto *transfer = static_cast<libusb_transfer *>(calloc(1, size));
    if (transfer != nullptr) {
        std::lock_guard<std::mutex> lock(bus().mutex);
        bus().stats.transfers_allocated++;
    }
    return transfer;
}

int sim_submit_transfer(struct libusb_transfer *transfer) {
    bus_state &b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    if (b.in_flight.count(transfer) != 0)
        return LIBUSB_ERROR_BUSY;
    vhandle *h = as_handle(transfer->dev_handle);
    if (h == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    vdevice *dev = h->device;
    if (!dev->present)
        return LIBUSB_ERROR_NO_DEVICE;
    auto found = dev->endpoints.find(transfer->endpoint);
    if (found == dev->endpoints.end() || transfer->type != LIBUSB_TRANSFER_TYPE_BULK)
        return LIBUSB_ERROR_NOT_FOUND;
    b.stats.submits++;
    bool in = (transfer->endpoint & LIBUSB_ENDPOINT_IN) != 0;
    b.in_flight[transfer] = flight{h, transfer->endpoint, b.next_serial++,
                                   in ? flight_state::pending_in : flight_state::queued_out};
    endpoint_state &endpoint = found->second;
    if (take_immediate_fault_locked(endpoint, transfer))
        return LIBUSB_SUCCESS;
    if (in) {
        endpoint.pending.push_back(transfer);
        if (match_in_locked(endpoint)) {
            dev->in_taken = true;
            dev->worker_wake.notify_all();
        }
    } else {
        dev->out_queue.push_back(transfer);
        dev->worker_wake.notify_all();
    }
    return LIBUSB_SUCCESS;
}

int sim_cancel_transfer(struct libusb_transfer *transfer) {
    bus_state &b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    auto found = b.in_flight.find(transfer);
    if (found == b.in_flight.end() || found->second.state == flight_state::completing ||
        found->second.cancel_requested)
        return LIBUSB_ERROR_NOT_FOUND;
    b.stats.cancels++;
    if (found->second.state == flight_state::delivering_out) {
        found->second.cancel_requested = true; // completes when the device lets go
        return LIBUSB_SUCCESS;
    }
    remove_from_queues_locked(transfer, found->second);
    complete_locked(transfer, LIBUSB_TRANSFER_CANCELLED, 0);
    return LIBUSB_SUCCESS;
}

void sim_free_transfer(struct libusb_transfer *transfer) {
    if (transfer == nullptr)
        return;
    bus_state &b = bus();
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        auto found = b.in_flight.find(transfer);
        if (found != b.in_flight.end()) {
            b.stats.transfers_freed_in_flight++;
            remove_from_queues_locked(transfer, found->second);
            b.in_flight.erase(found);
        }
        b.stats.transfers_freed++;
    }
    free(transfer);
}

int sim_clear_halt(libusb_device_handle *handle, unsigned char address) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    vdevice *dev = as_handle(handle)->device;
    if (!dev->present)
        return LIBUSB_ERROR_NO_DEVICE;
    auto found = dev->endpoints.find(address);
    if (found == dev->endpoints.end())
        return LIBUSB_ERROR_NOT_FOUND;
    found->second.halted = false;
    bus().stats.clear_halts++;
    return LIBUSB_SUCCESS;
}

const usb_backend virtual_record = {
    .name = "virtual",
    .init = sim_init,
    .exit = sim_exit,
    .has_capability = sim_has_capability,
    .hotplug_register_callback = sim_hotplug_register,
    .hotplug_deregister_callback = sim_hotplug_deregister,
    .handle_events_timeout = sim_handle_events_timeout,
    .get_device_list = sim_get_device_list,
    .free_device_list = sim_free_device_list,
    .ref_device = sim_ref_device,
    .unref_device = sim_unref_device,
    .get_device_descriptor = sim_get_device_descriptor,
    .get_config_descriptor = sim_get_config_descriptor,
    .free_config_descriptor = sim_free_config_descriptor,
    .open = sim_open,
    .close = sim_close,
    .claim_interface = sim_claim_interface,
    .release_interface = sim_release_interface,
    .detach_kernel_driver = sim_detach_kernel_driver,
    .attach_kernel_driver = sim_attach_kernel_driver,
    .alloc_transfer = sim_alloc_transfer,
    .submit_transfer = sim_submit_transfer,
    .cancel_transfer = sim_cancel_transfer,
    .free_transfer = sim_free_transfer,
    .clear_halt = sim_clear_halt,
    .error_name = usb_error_text,
};

} // namespace

const usb_backend *bus_backend() {
    return &virtual_record;
}

} // namespace kest_sim
