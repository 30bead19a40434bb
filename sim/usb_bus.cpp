// The virtual USB bus: devices, their worker threads, IN data and fault injection.
#include "sdk/common/thread/thread.h"
#include "sim/usb_bus_state.h"

#include <algorithm>
#include <cstring>

namespace kest_sim {

using namespace detail;

namespace detail {

bus_state &bus() {
    static bus_state *state = new bus_state;
    return *state;
}

void complete_locked(libusb_transfer *transfer, libusb_transfer_status status, int actual) {
    bus_state &b = bus();
    auto entry = b.in_flight.find(transfer);
    if (entry != b.in_flight.end())
        entry->second.state = flight_state::completing;
    transfer->status = status;
    transfer->actual_length = actual;
    event_item item;
    item.transfer = transfer;
    b.events.push_back(item);
    b.stats.completions++;
    b.events_ready.notify_all();
}

void unref_locked(vdevice *device) {
    if (--device->refs > 0)
        return;
    bus().alive.erase(device->id);
    delete device;
}

void remove_from_queues_locked(libusb_transfer *transfer, const flight &entry) {
    vdevice *device = entry.handle->device;
    auto erase = [transfer](std::deque<libusb_transfer *> &queue) {
        queue.erase(std::remove(queue.begin(), queue.end(), transfer), queue.end());
    };
    if (entry.state == flight_state::pending_in)
        erase(device->endpoints[entry.endpoint].pending);
    else if (entry.state == flight_state::queued_out)
        erase(device->out_queue);
}

// Faults that end a transfer at once, whatever data there is.
bool take_immediate_fault_locked(endpoint_state &endpoint, libusb_transfer *transfer) {
    if (endpoint.halted) {
        complete_locked(transfer, LIBUSB_TRANSFER_STALL, 0);
        return true;
    }
    if (endpoint.faults.empty())
        return false;
    armed_fault &armed = endpoint.faults.front();
    libusb_transfer_status status;
    switch (armed.kind) {
    case fault::error:
        status = LIBUSB_TRANSFER_ERROR;
        break;
    case fault::timeout:
        status = LIBUSB_TRANSFER_TIMED_OUT;
        break;
    case fault::overflow:
        status = LIBUSB_TRANSFER_OVERFLOW;
        break;
    default:
        return false;
    }
    if (--armed.count == 0)
        endpoint.faults.pop_front();
    complete_locked(transfer, status, status == LIBUSB_TRANSFER_OVERFLOW ? transfer->length : 0);
    return true;
}

// Applies a pending data fault (short length, corrupted byte) to a filled
// transfer and returns its actual length.
static int apply_data_fault_locked(endpoint_state &endpoint, libusb_transfer *transfer,
                                   int actual) {
    if (endpoint.faults.empty())
        return actual;
    armed_fault &armed = endpoint.faults.front();
    if (armed.kind == fault::short_length)
        actual = static_cast<int>(std::min<size_t>(armed.value, static_cast<size_t>(actual)));
    else if (armed.kind == fault::corrupt && armed.value < static_cast<size_t>(transfer->length))
        transfer->buffer[armed.value] ^= 0xFF;
    else
        return actual;
    if (--armed.count == 0)
        endpoint.faults.pop_front();
    return actual;
}

bool match_in_locked(endpoint_state &endpoint) {
    bool took = false;
    while (!endpoint.pending.empty() && !endpoint.in_queue.empty()) {
        libusb_transfer *transfer = endpoint.pending.front();
        endpoint.pending.pop_front();
        std::vector<uint8_t> payload = std::move(endpoint.in_queue.front());
        endpoint.in_queue.pop_front();
        took = true;
        auto length = static_cast<size_t>(transfer->length);
        if (payload.size() > length) {
            memcpy(transfer->buffer, payload.data(), length);
            complete_locked(transfer, LIBUSB_TRANSFER_OVERFLOW, transfer->length);
            continue;
        }
        memcpy(transfer->buffer, payload.data(), payload.size());
        memset(transfer->buffer + payload.size(), 0, length - payload.size());
        int actual = apply_data_fault_locked(endpoint, transfer, transfer->length);
        complete_locked(transfer, LIBUSB_TRANSFER_COMPLETED, actual);
    }
    return took;
}

void queue_hotplug_locked(vdevice *device, libusb_hotplug_event event) {
    bus_state &b = bus();
    if (!b.hotplug)
        return;
    for (const hotplug_registration &registration : b.registrations) {
        bool wanted = (registration.events & event) != 0 &&
                      (registration.vendor_id == LIBUSB_HOTPLUG_MATCH_ANY ||
                       registration.vendor_id == device->desc.vendor_id) &&
                      (registration.product_id == LIBUSB_HOTPLUG_MATCH_ANY ||
                       registration.product_id == device->desc.product_id);
        if (!wanted)
            continue;
        event_item item;
        item.context = registration.context;
        item.registration = registration.id;
        item.device = device;
        item.event = event;
        device->refs++;
        b.events.push_back(item);
    }
    b.events_ready.notify_all();
}

} // namespace detail

namespace {

vdevice *find_alive(int id) {
    auto found = bus().alive.find(id);
    return found != bus().alive.end() ? found->second : nullptr;
}

// Data faults on what the device receives: the host's own buffer stays as sent.
int corrupt_out_locked(endpoint_state &endpoint, std::vector<uint8_t> &bytes) {
    if (endpoint.faults.empty())
        return static_cast<int>(bytes.size());
    armed_fault &armed = endpoint.faults.front();
    if (armed.kind == fault::short_length)
        bytes.resize(std::min(armed.value, bytes.size()));
    else if (armed.kind == fault::corrupt && armed.value < bytes.size())
        bytes[armed.value] ^= 0xFF;
    else
        return static_cast<int>(bytes.size());
    if (--armed.count == 0)
        endpoint.faults.pop_front();
    return static_cast<int>(bytes.size());
}

// Hands each OUT transfer's bytes to the model, then completes the transfer;
// tells the model when the host has taken IN data.
void run_worker(vdevice *device) {
    set_os_thread_name("vbus_device");
    bus_state &b = bus();
    std::unique_lock<std::mutex> lock(b.mutex);
    for (;;) {
        device->worker_wake.wait(lock, [device] {
            return device->worker_stop || device->in_taken || !device->out_queue.empty();
        });
        if (device->worker_stop)
            return;
        if (device->in_taken) {
            device->in_taken = false;
            std::shared_ptr<usb_device_model> model = device->model;
            lock.unlock();
            model->in_taken();
            lock.lock();
            // A host that keeps taking IN data must not starve its own OUT
            // transfers: one of those goes next, if any waits.
            if (device->worker_stop || device->out_queue.empty())
                continue;
        }
        libusb_transfer *transfer = device->out_queue.front();
        device->out_queue.pop_front();
        flight &entry = b.in_flight.at(transfer);
        entry.state = flight_state::delivering_out;
        uint64_t serial = entry.serial;
        std::vector<uint8_t> bytes(transfer->buffer, transfer->buffer + transfer->length);
        int actual = corrupt_out_locked(device->endpoints[transfer->endpoint], bytes);
        uint8_t address = transfer->endpoint;
        std::shared_ptr<usb_device_model> model = device->model;
        lock.unlock();
        model->on_out(address, bytes.data(), bytes.size());
        lock.lock();
        auto still = b.in_flight.find(transfer);
        if (still != b.in_flight.end() && still->second.serial == serial &&
            still->second.state == flight_state::delivering_out)
            complete_locked(transfer,
                            still->second.cancel_requested ? LIBUSB_TRANSFER_CANCELLED
                                                           : LIBUSB_TRANSFER_COMPLETED,
                            actual);
    }
}

} // namespace

int bus_plug(const device_desc &desc, std::shared_ptr<usb_device_model> model) {
    bus_state &b = bus();
    auto *device = new vdevice;
    device->desc = desc;
    device->model = std::move(model);
    device->driver = desc.driver;
    device->driver_attached = desc.driver != kernel_driver::none;
    device->open_error = desc.open_error;
    for (uint8_t address : desc.endpoints)
        device->endpoints[address].address = address;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        device->id = b.next_device++;
        b.alive[device->id] = device;
    }
    device->model->plugged(device->id);
    std::lock_guard<std::mutex> lock(b.mutex);
    device->worker = std::thread(run_worker, device);
    b.present[device->id] = device;
    queue_hotplug_locked(device, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    return device->id;
}

void bus_unplug(int id) {
    bus_state &b = bus();
    vdevice *device;
    std::thread worker;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        auto found = b.present.find(id);
        if (found == b.present.end())
            return;
        device = found->second;
        b.present.erase(found);
        device->present = false;
        std::vector<libusb_transfer *> gone;
        for (auto &[transfer, entry] : b.in_flight)
            if (entry.handle->device == device && entry.state != flight_state::completing)
                gone.push_back(transfer);
        for (libusb_transfer *transfer : gone) {
            remove_from_queues_locked(transfer, b.in_flight.at(transfer));
            complete_locked(transfer, LIBUSB_TRANSFER_NO_DEVICE, 0);
        }
        for (auto &[address, endpoint] : device->endpoints) {
            b.stats.in_discarded += endpoint.in_queue.size();
            endpoint.in_queue.clear();
        }
        queue_hotplug_locked(device, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
        device->worker_stop = true;
        device->worker_wake.notify_all();
        worker = std::move(device->worker);
    }
    worker.join();
    device->model->unplugged();
    std::lock_guard<std::mutex> lock(b.mutex);
    unref_locked(device);
}

void bus_set_hotplug(bool enabled) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    bus().hotplug = enabled;
}

bool bus_queue_in(int id, uint8_t address, std::vector<uint8_t> payload) {
    bus_state &b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    auto found = b.present.find(id);
    if (found == b.present.end())
        return false;
    auto endpoint = found->second->endpoints.find(address);
    if (endpoint == found->second->endpoints.end())
        return false;
    endpoint->second.in_queue.push_back(std::move(payload));
    match_in_locked(endpoint->second);
    return true;
}

size_t bus_in_backlog(int id, uint8_t address) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    vdevice *device = find_alive(id);
    if (device == nullptr || device->endpoints.count(address) == 0)
        return 0;
    return device->endpoints[address].in_queue.size();
}

void bus_halt(int id, uint8_t address) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    vdevice *device = find_alive(id);
    if (device == nullptr || device->endpoints.count(address) == 0)
        return;
    endpoint_state &endpoint = device->endpoints[address];
    endpoint.halted = true;
    while (!endpoint.pending.empty()) {
        libusb_transfer *transfer = endpoint.pending.front();
        endpoint.pending.pop_front();
        complete_locked(transfer, LIBUSB_TRANSFER_STALL, 0);
    }
}

void bus_inject(int id, uint8_t address, fault kind, int count, size_t value) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    vdevice *device = find_alive(id);
    if (device == nullptr || device->endpoints.count(address) == 0 || count <= 0)
        return;
    endpoint_state &endpoint = device->endpoints[address];
    endpoint.faults.push_back({kind, count, value});
    // A transfer already waiting meets an immediate fault now, as it would on the wire.
    if (!endpoint.pending.empty() &&
        take_immediate_fault_locked(endpoint, endpoint.pending.front()))
        endpoint.pending.pop_front();
}

void bus_set_kernel_driver(int id, kernel_driver driver) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    if (vdevice *device = find_alive(id)) {
        device->driver = driver;
        device->driver_attached = driver != kernel_driver::none;
    }
}

void bus_set_open_error(int id, int error) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    if (vdevice *device = find_alive(id))
        device->open_error = error;
}

void bus_set_init_error(int error) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    bus().init_error = error;
}

void bus_set_hotplug_register_error(int error) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    bus().register_error = error;
}

void bus_set_device_list_error(int error) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    bus().device_list_error = error;
}

bool bus_interface_claimed(int id) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    vdevice *device = find_alive(id);
    return device != nullptr && device->claimed;
}

bool bus_kernel_driver_active(int id) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    vdevice *device = find_alive(id);
    return device != nullptr && device->driver_attached;
}

int bus_open_handles(int id) {
    std::lock_guard<std::mutex> lock(bus().mutex);
    vdevice *device = find_alive(id);
    return device != nullptr ? device->open_handles : 0;
}

bus_stats bus_get_stats() {
    std::lock_guard<std::mutex> lock(bus().mutex);
    bus_stats stats = bus().stats;
    stats.transfers_in_flight = bus().in_flight.size();
    return stats;
}

void bus_reset() {
    std::vector<int> ids;
    {
        std::lock_guard<std::mutex> lock(bus().mutex);
        for (auto &[id, device] : bus().present)
            ids.push_back(id);
    }
    for (int id : ids)
        bus_unplug(id);
    std::lock_guard<std::mutex> lock(bus().mutex);
    bus_state &b = bus();
    for (event_item &item : b.events)
        if (item.device != nullptr)
            unref_locked(item.device);
    b.events.clear();
    b.in_flight.clear();
    b.hotplug = true;
    b.init_error = 0;
    b.register_error = 0;
    b.device_list_error = 0;
    b.stats = bus_stats{};
}

device_desc kestone_desc() {
    device_desc desc;
    desc.vendor_id = 0x2207;
    desc.product_id = 0x0019;
    desc.endpoints = {0x81, 0x01, 0x82, 0x83, 0x84};
    return desc;
}

} // namespace kest_sim
