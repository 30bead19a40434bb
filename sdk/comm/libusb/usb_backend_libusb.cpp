// The default usb backend: libusb-1.0 itself.
#include "sdk/comm/libusb/usb_backend.h"

namespace {

const usb_backend libusb_record = {
    .name = "libusb",
    .init = libusb_init,
    .exit = libusb_exit,
    .has_capability = libusb_has_capability,
    .hotplug_register_callback = libusb_hotplug_register_callback,
    .hotplug_deregister_callback = libusb_hotplug_deregister_callback,
    .handle_events_timeout = libusb_handle_events_timeout,
    .get_device_list = libusb_get_device_list,
    .free_device_list = libusb_free_device_list,
    .ref_device = libusb_ref_device,
    .unref_device = libusb_unref_device,
    .get_device_descriptor = libusb_get_device_descriptor,
    .get_config_descriptor = libusb_get_config_descriptor,
    .free_config_descriptor = libusb_free_config_descriptor,
    .open = libusb_open,
    .close = libusb_close,
    .claim_interface = libusb_claim_interface,
    .release_interface = libusb_release_interface,
    .detach_kernel_driver = libusb_detach_kernel_driver,
    .attach_kernel_driver = libusb_attach_kernel_driver,
    .alloc_transfer = libusb_alloc_transfer,
    .submit_transfer = libusb_submit_transfer,
    .cancel_transfer = libusb_cancel_transfer,
    .free_transfer = libusb_free_transfer,
    .clear_halt = libusb_clear_halt,
    .error_name = libusb_error_name,
};

} // namespace

const usb_backend *usb_backend_libusb() {
    return &libusb_record;
}
