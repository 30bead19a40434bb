// The process-wide selection of the usb backend.
#include "sdk/comm/libusb/usb_backend.h"

#include <atomic>

namespace {

std::atomic<const usb_backend *> selected{nullptr};

} // namespace

void usb_backend_select(const usb_backend *backend) {
    selected.store(backend);
}

const usb_backend *usb_backend_current() {
    const usb_backend *backend = selected.load();
    return backend != nullptr ? backend : usb_backend_libusb();
}
