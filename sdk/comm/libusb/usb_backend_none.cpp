// The default usb backend of a build without libusb (the Windows build of the
// core, for which Debian packages no libusb): it reaches no device, so the
// layer starts only on a backend selected at run time (the virtual bus).
#include "sdk/comm/libusb/usb_backend.h"

namespace {

constexpr int unsupported = LIBUSB_ERROR_NOT_SUPPORTED;

libusb_transfer *no_transfer(int) {
    return nullptr;
}

const usb_backend none_record = {
    .name = "none (built without libusb)",
    .init = [](libusb_context **) { return unsupported; },
    .exit = [](libusb_context *) {},
    .has_capability = [](uint32_t) { return 0; },
    .hotplug_register_callback = [](libusb_context *, int, int, int, int, int,
                                    libusb_hotplug_callback_fn, void *,
                                    libusb_hotplug_callback_handle *) { return unsupported; },
    .hotplug_deregister_callback = [](libusb_context *, libusb_hotplug_callback_handle) {},
    .handle_events_timeout = [](libusb_context *, struct timeval *) { return unsupported; },
    .get_device_list = [](libusb_context *, libusb_device ***) -> ssize_t { return unsupported; },
    .free_device_list = [](libusb_device **, int) {},
    .ref_device = [](libusb_device *dev) { return dev; },
    .unref_device = [](libusb_device *) {},
    .get_device_descriptor = [](libusb_device *,
                                libusb_device_descriptor *) { return unsupported; },
    .get_config_descriptor = [](libusb_device *, uint8_t,
                                libusb_config_descriptor **) { return unsupported; },
    .free_config_descriptor = [](libusb_config_descriptor *) {},
    .open = [](libusb_device *, libusb_device_handle **) { return unsupported; },
    .close = [](libusb_device_handle *) {},
    .claim_interface = [](libusb_device_handle *, int) { return unsupported; },
    .release_interface = [](libusb_device_handle *, int) { return unsupported; },
    .detach_kernel_driver = [](libusb_device_handle *, int) { return unsupported; },
    .attach_kernel_driver = [](libusb_device_handle *, int) { return unsupported; },
    .alloc_transfer = no_transfer,
    .submit_transfer = [](libusb_transfer *) { return unsupported; },
    .cancel_transfer = [](libusb_transfer *) -> int { return LIBUSB_ERROR_NOT_FOUND; },
    .free_transfer = [](libusb_transfer *) {},
    .clear_halt = [](libusb_device_handle *, unsigned char) { return unsupported; },
    .error_name = usb_error_text,
};

} // namespace

const usb_backend *usb_backend_libusb() {
    return &none_record;
}
