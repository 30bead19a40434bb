// The boundary between the USB transport and the USB library: one record of
// function pointers covering exactly the libusb operations the transport uses.
// The default record forwards to libusb-1.0; the virtual USB bus supplies
// another. Every function keeps libusb's contract: return codes are libusb's
// (0 or a negative LIBUSB_ERROR_*), and a transfer callback or hot-plug callback
// runs only inside handle_events_timeout, on the thread that called it.
#pragma once

#include <libusb.h>

struct usb_backend {
    // Name for diagnostics ("libusb", "virtual").
    const char *name;

    // Creates a context into *ctx. 0 or LIBUSB_ERROR_*. Any thread.
    int (*init)(libusb_context **ctx);
    // Ends a context; no call may use it afterwards. Any thread, no event handler running.
    void (*exit)(libusb_context *ctx);
    // Non-zero if the capability (LIBUSB_CAP_HAS_HOTPLUG) is offered. Any thread.
    int (*has_capability)(uint32_t capability);

    // Registers cb_fn for arrival and departure events matching the ids; the
    // callback runs inside handle_events_timeout and returns 1 to deregister
    // itself. 0 or LIBUSB_ERROR_*; *handle names the registration. Any thread.
    int (*hotplug_register_callback)(libusb_context *ctx, int events, int flags, int vendor_id,
                                     int product_id, int dev_class,
                                     libusb_hotplug_callback_fn cb_fn, void *user_data,
                                     libusb_hotplug_callback_handle *handle);
    // Removes a registration; unknown handles are ignored. Any thread, callbacks included.
    void (*hotplug_deregister_callback)(libusb_context *ctx, libusb_hotplug_callback_handle handle);

    // Waits at most *tv for events and runs the completions and hot-plug callbacks
    // that are due, on the calling thread; one thread handles events at a time.
    // 0 or LIBUSB_ERROR_*. Any thread, never from inside a callback.
    int (*handle_events_timeout)(libusb_context *ctx, struct timeval *tv);

    // Stores a NULL-terminated array of referenced devices in *list and returns
    // its length, or LIBUSB_ERROR_*. Any thread.
    ssize_t (*get_device_list)(libusb_context *ctx, libusb_device ***list);
    // Frees a list from get_device_list, dropping each device's reference if unref_devices.
    void (*free_device_list)(libusb_device **list, int unref_devices);
    // Adds a reference to dev and returns it. Any thread.
    libusb_device *(*ref_device)(libusb_device *dev);
    // Drops a reference; the last one frees the device. Any thread.
    void (*unref_device)(libusb_device *dev);

    // Copies the device descriptor. 0 or LIBUSB_ERROR_*. Any thread.
    int (*get_device_descriptor)(libusb_device *dev, struct libusb_device_descriptor *desc);
    // Allocates configuration descriptor config_index into *config, to be freed with
    // free_config_descriptor. 0, LIBUSB_ERROR_NOT_FOUND, or another LIBUSB_ERROR_*.
    int (*get_config_descriptor)(libusb_device *dev, uint8_t config_index,
                                 struct libusb_config_descriptor **config);
    void (*free_config_descriptor)(struct libusb_config_descriptor *config);

    // Opens dev into *handle. 0, LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_ACCESS or
    // another LIBUSB_ERROR_*. Any thread but a callback.
    int (*open)(libusb_device *dev, libusb_device_handle **handle);
    // Closes a handle with no transfer in flight. Any thread but a callback.
    void (*close)(libusb_device_handle *handle);
    // 0, LIBUSB_ERROR_BUSY (a kernel driver or another program holds it),
    // LIBUSB_ERROR_NO_DEVICE or another LIBUSB_ERROR_*. Any thread.
    int (*claim_interface)(libusb_device_handle *handle, int interface_number);
    int (*release_interface)(libusb_device_handle *handle, int interface_number);
    // 0, LIBUSB_ERROR_NOT_FOUND (no driver), LIBUSB_ERROR_NOT_SUPPORTED, or another LIBUSB_ERROR_*.
    int (*detach_kernel_driver)(libusb_device_handle *handle, int interface_number);
    int (*attach_kernel_driver)(libusb_device_handle *handle, int interface_number);

    // A zeroed transfer, or NULL without memory. Any thread.
    struct libusb_transfer *(*alloc_transfer)(int iso_packets);
    // Queues a filled transfer; its callback runs later inside event handling.
    // 0, LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_BUSY (already in flight) or another
    // LIBUSB_ERROR_*. Any thread, callbacks included.
    int (*submit_transfer)(struct libusb_transfer *transfer);
    // Asks for an in-flight transfer to complete as cancelled. 0, or
    // LIBUSB_ERROR_NOT_FOUND when it is not in flight (completed or never submitted).
    int (*cancel_transfer)(struct libusb_transfer *transfer);
    // Frees a transfer that is not in flight (its buffer stays the caller's).
    void (*free_transfer)(struct libusb_transfer *transfer);
    // Clears a halt (stall) on the endpoint. 0 or LIBUSB_ERROR_*. Any thread, callbacks included.
    int (*clear_halt)(libusb_device_handle *handle, unsigned char endpoint);

    // The name of an error code or of a transfer status. Static text; any thread.
    const char *(*error_name)(int code);
};

// The record that forwards to libusb-1.0; in a build without libusb
// (KEST_USB_LIBUSB off), one whose init fails with LIBUSB_ERROR_NOT_SUPPORTED.
const usb_backend *usb_backend_libusb();

// Chooses the backend for every transport created afterwards; null restores libusb.
// Made once, before the device layer starts.
void usb_backend_select(const usb_backend *backend);

// The selected backend (libusb unless another was selected).
const usb_backend *usb_backend_current();

// libusb_error_name's text for an error code or a transfer status, without
// libusb: for backends of their own.
const char *usb_error_text(int code);
