// The virtual USB bus: a usb backend that behaves as libusb does, in memory,
// with virtual devices that tests and the program plug and unplug at will.
// Transfers complete only inside handle_events_timeout, on the thread that
// handles events, one handler at a time. Faults can be injected per endpoint.
#pragma once

#include "sdk/comm/libusb/usb_backend.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kest_sim {

enum class kernel_driver {
    none,       // nothing holds interface 0
    detachable, // a driver holds it until detached
    stuck,      // a driver holds it and refuses to detach
    sticky,     // detaches, but the claim still fails
};

// What a virtual device is: its identity and the bulk endpoints of interface 0,
// alternate setting 0, in index order.
struct device_desc {
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    std::vector<uint8_t> endpoints;
    // False: the device reports no configuration descriptor.
    bool has_config = true;
    // Who holds interface 0 when the device arrives.
    kernel_driver driver = kernel_driver::none;
    // Non-zero: every open fails with this libusb error.
    int open_error = 0;
};

// A device behind the bus. The bus calls it on the device's own worker thread,
// never with a bus lock held, so it may call bus_queue_in and any bus function.
class usb_device_model {
public:
    virtual ~usb_device_model() = default;
    // Once, from bus_plug, before any OUT transfer: device is the id to queue IN data with.
    virtual void plugged(int device) { (void)device; }
    // The bytes of one OUT transfer on endpoint (valid during the call).
    virtual void on_out(uint8_t endpoint, const uint8_t *data, size_t length) = 0;
    // The host took queued IN data: there is room for more.
    virtual void in_taken() {}
    // Once, after unplug, when no on_out runs or will run.
    virtual void unplugged() {}
};

// One-shot faults for the next transfers on an endpoint.
enum class fault {
    error,        // completes with LIBUSB_TRANSFER_ERROR
    timeout,      // completes with LIBUSB_TRANSFER_TIMED_OUT
    overflow,     // completes with LIBUSB_TRANSFER_OVERFLOW
    short_length, // completes with actual_length = value
    corrupt,      // XORs 0xFF into the byte at offset value of the data
};

struct bus_stats {
    uint64_t transfers_allocated = 0;
    uint64_t transfers_freed = 0;
    uint64_t transfers_in_flight = 0;
    uint64_t submits = 0;
    uint64_t cancels = 0;
    uint64_t completions = 0;
    uint64_t clear_halts = 0;
    uint64_t handles_open = 0;
    // Handles closed while transfers on them were in flight (those never complete).
    uint64_t closed_with_transfers_in_flight = 0;
    uint64_t transfers_freed_in_flight = 0;
    uint64_t kernel_driver_detaches = 0;
    uint64_t kernel_driver_attaches = 0;
    uint64_t device_lists = 0; // enumerations asked for, failed ones included
    // IN payloads (frames) devices had queued that no transfer took before an unplug.
    uint64_t in_discarded = 0;
};

// The backend record of the bus (select it with usb_backend_select).
const usb_backend *bus_backend();

// Plugs a device and returns its id (> 0). Any thread.
int bus_plug(const device_desc &desc, std::shared_ptr<usb_device_model> model);
// Unplugs: pending transfers complete with "no device", hot-plug reports the
// departure, the model's worker stops. Any thread but the model's own.
void bus_unplug(int device);
// Hot-plug on (default) or off: off, the capability query says no.
void bus_set_hotplug(bool enabled);

// Queues one IN payload for endpoint; it fills the next IN transfer from its
// start, the rest of the transfer is filler. False if the device is gone.
bool bus_queue_in(int device, uint8_t endpoint, std::vector<uint8_t> payload);
// IN payloads waiting for a transfer on endpoint.
size_t bus_in_backlog(int device, uint8_t endpoint);

// Fault injection.
void bus_halt(int device, uint8_t endpoint); // stalls until clear_halt
void bus_inject(int device, uint8_t endpoint, fault kind, int count = 1, size_t value = 0);
void bus_set_kernel_driver(int device, kernel_driver driver);
void bus_set_open_error(int device, int libusb_error); // 0 clears
void bus_set_init_error(int libusb_error);
void bus_set_hotplug_register_error(int libusb_error);
// Non-zero: every device enumeration fails with this libusb error; 0 clears.
void bus_set_device_list_error(int libusb_error);

// Whether interface 0 of the device is claimed by some handle, and whether a
// kernel driver holds it now.
bool bus_interface_claimed(int device);
bool bus_kernel_driver_active(int device);
// Open handles on the device.
int bus_open_handles(int device);

bus_stats bus_get_stats();
// Unplugs every device and restores every setting and counter. Only while no
// transport uses the bus.
void bus_reset();

// The KestOne's identity and endpoints: 0 rx (0x81), 1 tx (0x01), 2 imu (0x82),
// 3 rgb (0x83), 4 dtof (0x84).
device_desc kestone_desc();

} // namespace kest_sim
