#include "tests/support/usbfs_kestone.h"

#include "sim/usb_bus.h"
#include "tests/support/wait.h"

#include <umockdev.h>

#include <libusb.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kest_test {

namespace {

constexpr const char *syspath = "/sys/devices/usb1/1-1", *node = "/dev/bus/usb/001/002";
// An empty reap waits before EAGAIN: the emulated node always polls ready.
constexpr std::chrono::milliseconds reap_patience{5};

const usb_backend &bus() {
    return *kest_sim::bus_backend();
}

// The ioctl's argument: the pointer it carries, resolved to len bytes.
UMockdevIoctlData *resolved(UMockdevIoctlData *arg, size_t len) {
    GError *error = nullptr;
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, len, &error);
    if (error != nullptr)
        g_error_free(error);
    return data;
}

} // namespace

// A client's URB (read at submission, written back at reaping) and its bus transfer.
struct usbfs_kestone::urb {
    usbfs_kestone *owner = nullptr;
    UMockdevIoctlData *data = nullptr; // the client's usbdevfs_urb, referenced
    unsigned long client_addr = 0;
    bool in = false;
    std::vector<uint8_t> bytes;
    libusb_transfer *transfer = nullptr; // freed with the URB, never while in flight
    int status = 0;
    int actual = 0;

    ~urb() {
        if (transfer != nullptr)
            bus().free_transfer(transfer);
        if (data != nullptr)
            umockdev_ioctl_data_unref(data);
    }
};

usbfs_kestone::usbfs_kestone(std::shared_ptr<kest_sim::kestone> model) : device(std::move(model)) {
    testbed = umockdev_testbed_new();
    handler = umockdev_ioctl_base_new();
    signal_id = g_signal_connect_after(handler, "handle-ioctl", G_CALLBACK(handle_ioctl), this);
    bus().init(&context);
    events = std::thread([this] {
        while (!stopping) {
            timeval wait = {0, 50000};
            bus().handle_events_timeout(context, &wait);
        }
    });
}

usbfs_kestone::~usbfs_kestone() {
    unplug();
    stopping = true;
    events.join();
    {
        std::lock_guard<std::mutex> lock(mutex);
        done.clear();
        flying.clear();
    }
    bus().exit(context);
    g_signal_handler_disconnect(handler, signal_id);
    g_object_unref(handler);
    g_object_unref(testbed);
}

bool usbfs_kestone::available() {
    const char *preload = getenv("LD_PRELOAD");
    return preload != nullptr && strstr(preload, "umockdev-preload") != nullptr;
}

void usbfs_kestone::plug() {
    // The device side first: it answers as soon as the host opens the node.
    const int id = kest_sim::bus_plug(kest_sim::kestone_desc(), device);
    libusb_device **list = nullptr;
    libusb_device_handle *opened = nullptr;
    if (bus().get_device_list(context, &list) > 0 && list[0] != nullptr &&
        bus().open(list[0], &opened) == 0)
        bus().claim_interface(opened, 0);
    if (list != nullptr)
        bus().free_device_list(list, 1);
    {
        std::lock_guard<std::mutex> lock(mutex);
        virtual_id = id;
        handle = opened;
        present = true;
    }
    umockdev_testbed_attach_ioctl(testbed, node, handler, nullptr);
    // sysfs's descriptors: device, configuration, interface 0, five bulk endpoints.
    umockdev_testbed_add_from_string(
        testbed,
        "P: /devices/usb1/1-1\nN: bus/usb/001/002\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
        "E: DRIVER=usb\nE: BUSNUM=001\nE: DEVNUM=002\nE: DEVNAME=/dev/bus/usb/001/002\n"
        "A: busnum=1\\n\nA: devnum=2\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\n"
        "H: descriptors=12010002000000400722190000010102030109023500010100c0320904000005ff0000"
        "000705810200020007050102000200070582020002000705830200020007058402000200\n",
        nullptr);
}

void usbfs_kestone::unplug() {
    int id;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!present)
            return;
        present = false;
        id = virtual_id;
    }
    // The uevent goes while the device can still be described, as the kernel's does.
    umockdev_testbed_uevent(testbed, syspath, "remove");
    umockdev_testbed_remove_device(testbed, syspath);
    // Every bus transfer completes as "no device"; bounded: a fault fails, not hangs.
    kest_sim::bus_unplug(id);
    libusb_device_handle *gone;
    {
        std::unique_lock<std::mutex> lock(mutex);
        reapable.wait_for(lock, patience(), [this] { return transfers_out == 0; });
        gone = handle;
        handle = nullptr;
        virtual_id = 0;
    }
    if (gone != nullptr)
        bus().close(gone);
    reapable.notify_all();
}

size_t usbfs_kestone::urbs_in_flight() const {
    std::lock_guard<std::mutex> lock(mutex);
    return flying.size();
}

int usbfs_kestone::handle_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client,
                                usbfs_kestone *self) {
    return self->serve(client) ? TRUE : FALSE;
}

bool usbfs_kestone::serve(UMockdevIoctlClient *client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY)
        return reap(client, arg);
    std::unique_lock<std::mutex> lock(mutex);
    if (!present) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        lock.unlock();
        UMockdevIoctlData *caps = resolved(arg, sizeof(uint32_t));
        if (caps == nullptr)
            return false;
        // As a host controller with scatter-gather: each transfer is one URB.
        const uint32_t offered = USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                 USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_ZERO_PACKET |
                                 USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        memcpy(caps->data, &offered, sizeof offered);
        umockdev_ioctl_client_complete(client, 0, 0);
        umockdev_ioctl_data_unref(caps);
        return true;
    }
    case USBDEVFS_SUBMITURB:
        lock.unlock();
        return submit(client, arg);
    case USBDEVFS_DISCARDURB: // not needed: the test unplugs before anything is cancelled
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return true;
    case USBDEVFS_GETDRIVER: // no kernel driver holds the interface
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return true;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_IOCTL: // a driver connect after the release: none to connect
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESET:
    case USBDEVFS_RESETEP:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    default:
        return false;
    }
}

bool usbfs_kestone::submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
    UMockdevIoctlData *data = resolved(arg, sizeof(usbdevfs_urb));
    if (data == nullptr)
        return false;
    const auto *request = reinterpret_cast<const usbdevfs_urb *>(data->data);
    libusb_transfer *transfer = nullptr;
    if (request->type != USBDEVFS_URB_TYPE_BULK || request->buffer_length < 0 ||
        (transfer = bus().alloc_transfer(0)) == nullptr) {
        umockdev_ioctl_data_unref(data);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return true;
    }
    auto entry = std::make_unique<urb>();
    entry->owner = this;
    entry->data = data;
    entry->client_addr = data->client_addr;
    entry->in = (request->endpoint & LIBUSB_ENDPOINT_IN) != 0;
    entry->bytes.resize(static_cast<size_t>(request->buffer_length));
    // The client shares this address space: its buffer is read in place.
    if (!entry->in && request->buffer_length > 0)
        memcpy(entry->bytes.data(), request->buffer, entry->bytes.size());
    entry->transfer = transfer;
    const unsigned long address = entry->client_addr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        libusb_fill_bulk_transfer(transfer, handle, request->endpoint, entry->bytes.data(),
                                  request->buffer_length, transfer_done, entry.get(), 0);
        flying[address] = std::move(entry);
        ++transfers_out;
    }
    const int result = bus().submit_transfer(transfer);
    std::lock_guard<std::mutex> lock(mutex);
    if (result != 0) {
        --transfers_out;
        flying.erase(address);
        umockdev_ioctl_client_complete(client, -1, result == LIBUSB_ERROR_NO_DEVICE ? ENODEV : EIO);
        return true;
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    return true;
}

void usbfs_kestone::transfer_done(libusb_transfer *transfer) {
    auto *entry = static_cast<urb *>(transfer->user_data);
    usbfs_kestone *self = entry->owner;
    {
        std::lock_guard<std::mutex> lock(self->mutex);
        // The URB status usbfs gives for how the transfer on the virtual bus ended.
        const int status = transfer->status;
        entry->status = status == LIBUSB_TRANSFER_COMPLETED   ? 0
                        : status == LIBUSB_TRANSFER_NO_DEVICE ? -ESHUTDOWN
                                                              : -EPROTO;
        entry->actual = transfer->actual_length;
        self->done.push_back(entry);
        --self->transfers_out;
    }
    self->reapable.notify_all();
}

bool usbfs_kestone::reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
    UMockdevIoctlData *pointer = resolved(arg, sizeof(void *));
    if (pointer == nullptr)
        return false;
    std::unique_lock<std::mutex> lock(mutex);
    reapable.wait_for(lock, reap_patience, [this] { return !done.empty(); });
    if (done.empty()) {
        // Gone and nothing left to give back: the disconnect as usbfs reports it.
        const bool gone = !present && flying.empty();
        umockdev_ioctl_client_complete(client, -1, gone ? ENODEV : EAGAIN);
        umockdev_ioctl_data_unref(pointer);
        return true;
    }
    urb *entry = done.front();
    done.pop_front();
    auto *finished = reinterpret_cast<usbdevfs_urb *>(entry->data->data);
    finished->status = entry->status;
    finished->actual_length = entry->actual;
    if (entry->in && entry->actual > 0)
        memcpy(finished->buffer, entry->bytes.data(), static_cast<size_t>(entry->actual));
    umockdev_ioctl_data_set_ptr(pointer, 0, entry->data);
    std::unique_ptr<urb> reaped = std::move(flying[entry->client_addr]);
    flying.erase(entry->client_addr);
    lock.unlock();
    umockdev_ioctl_client_complete(client, 0, 0);
    umockdev_ioctl_data_unref(pointer);
    return true;
}

} // namespace kest_test
