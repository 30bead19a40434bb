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
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kest_test {

namespace {

constexpr const char *syspath = "/sys/devices/usb1/1-1";
constexpr const char *driver_name = "kestone_hid";
// A reap that finds nothing waits this long for a completion before EAGAIN:
// the node of an emulated device always polls ready, and libusb would spin.
constexpr std::chrono::milliseconds reap_patience{5};

const usb_backend &bus() {
    return *kest_sim::bus_backend();
}

// The descriptors file of sysfs: the device descriptor, then the whole
// configuration (interface 0 with the KestOne's five bulk endpoints, 512 bytes each).
std::string descriptors_hex() {
    const kest_sim::device_desc desc = kest_sim::kestone_desc();
    std::vector<uint8_t> bytes = {18,
                                  1,
                                  0x00,
                                  0x02,
                                  0,
                                  0,
                                  0,
                                  64,
                                  static_cast<uint8_t>(desc.vendor_id),
                                  static_cast<uint8_t>(desc.vendor_id >> 8),
                                  static_cast<uint8_t>(desc.product_id),
                                  static_cast<uint8_t>(desc.product_id >> 8),
                                  0x00,
                                  0x01,
                                  1,
                                  2,
                                  3,
                                  1};
    const size_t total = 9 + 9 + 7 * desc.endpoints.size();
    const std::vector<uint8_t> config = {9, 2, static_cast<uint8_t>(total), 0, 1, 1, 0, 0xC0, 50};
    bytes.insert(bytes.end(), config.begin(), config.end());
    const std::vector<uint8_t> interface = {
        9, 4, 0, 0, static_cast<uint8_t>(desc.endpoints.size()), 0xFF, 0, 0, 0};
    bytes.insert(bytes.end(), interface.begin(), interface.end());
    for (uint8_t endpoint : desc.endpoints) {
        const std::vector<uint8_t> bulk = {7, 5, endpoint, 2, 0x00, 0x02, 0};
        bytes.insert(bytes.end(), bulk.begin(), bulk.end());
    }
    std::string hex;
    char two[3];
    for (uint8_t byte : bytes) {
        snprintf(two, sizeof two, "%02x", byte);
        hex += two;
    }
    return hex;
}

// The URB status usbfs gives for how the transfer on the virtual bus ended.
int urb_status(int transfer_status) {
    switch (transfer_status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return 0;
    case LIBUSB_TRANSFER_STALL:
        return -EPIPE;
    case LIBUSB_TRANSFER_CANCELLED:
        return -ENOENT;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return -ESHUTDOWN;
    case LIBUSB_TRANSFER_OVERFLOW:
        return -EOVERFLOW;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return -ETIMEDOUT;
    default:
        return -EPROTO;
    }
}

// Reads the ioctl's argument: the pointer it carries, resolved to len bytes.
UMockdevIoctlData *resolved(UMockdevIoctlData *arg, size_t len) {
    GError *error = nullptr;
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, len, &error);
    if (error != nullptr)
        g_error_free(error);
    return data;
}

} // namespace

// One URB between its submission and its reaping: the client's URB (read at
// submission, written back at reaping) and its transfer on the virtual bus.
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
    events = std::thread([this] { run_events(); });
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

std::string usbfs_kestone::node() const {
    char path[32];
    snprintf(path, sizeof path, "/dev/bus/usb/001/%03d", device_number);
    return path;
}

void usbfs_kestone::run_events() {
    while (!stopping) {
        timeval wait = {0, 50000};
        bus().handle_events_timeout(context, &wait);
    }
}

void usbfs_kestone::plug(usbfs_driver holder) {
    std::string path;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (present)
            return;
        ++device_number;
        path = node();
        driver = holder;
        driver_attached = holder != usbfs_driver::none;
        claimed = false;
    }
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
    umockdev_testbed_attach_ioctl(testbed, path.c_str(), handler, nullptr);
    const std::string number = std::to_string(device_number);
    const std::string description =
        std::string("P: /devices/usb1/1-1\n") + "N: " + path.substr(5) + "\n" +
        "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n" + "E: BUSNUM=001\n" +
        "E: DEVNUM=" + path.substr(path.size() - 3) + "\n" + "E: DEVNAME=" + path + "\n" +
        "A: busnum=1\\n\nA: devnum=" + number +
        "\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\n" +
        "H: descriptors=" + descriptors_hex() + "\n";
    umockdev_testbed_add_from_string(testbed, description.c_str(), nullptr);
}

void usbfs_kestone::unplug() {
    int id;
    std::string path;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!present)
            return;
        present = false;
        id = virtual_id;
        path = node();
    }
    // The removal's uevent goes out while the device's properties (its node
    // among them) are still there to describe it, as the kernel's does.
    umockdev_testbed_uevent(testbed, syspath, "remove");
    umockdev_testbed_remove_device(testbed, syspath);
    // Every transfer on the virtual bus completes as "no device"; their URBs
    // wait to be reaped with the status a disconnect gives.
    kest_sim::bus_unplug(id);
    libusb_device_handle *gone;
    {
        // The event thread ends them at once; bounded all the same, so a fault
        // here fails a test instead of hanging it.
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

int usbfs_kestone::bus_device() const {
    std::lock_guard<std::mutex> lock(mutex);
    return virtual_id;
}

usbfs_stats usbfs_kestone::stats() const {
    std::lock_guard<std::mutex> lock(mutex);
    usbfs_stats out = counts;
    out.urbs_in_flight = flying.size();
    return out;
}

bool usbfs_kestone::driver_holds() const {
    std::lock_guard<std::mutex> lock(mutex);
    return driver_attached;
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
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!present) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return true;
        }
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps = resolved(arg, sizeof(uint32_t));
        if (caps == nullptr)
            return false;
        // As a host controller with scatter-gather offers: libusb submits each
        // transfer as one URB, and the device sees whole transfers.
        const uint32_t offered = USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                 USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_ZERO_PACKET |
                                 USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        memcpy(caps->data, &offered, sizeof offered);
        umockdev_ioctl_client_complete(client, 0, 0);
        umockdev_ioctl_data_unref(caps);
        return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
        return claim(client, arg);
    case USBDEVFS_RELEASEINTERFACE: {
        std::lock_guard<std::mutex> lock(mutex);
        claimed = false;
        ++counts.releases;
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_GETDRIVER:
        return get_driver(client, arg);
    case USBDEVFS_IOCTL:
        return driver_ioctl(client, arg);
    case USBDEVFS_CLEAR_HALT:
        return clear_halt(client, arg);
    case USBDEVFS_SUBMITURB:
        return submit(client, arg);
    case USBDEVFS_DISCARDURB:
        return discard(client, arg);
    case USBDEVFS_RESET:
    case USBDEVFS_RESETEP:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    default: {
        std::lock_guard<std::mutex> lock(mutex);
        ++counts.unknown_ioctls;
        return false;
    }
    }
}

bool usbfs_kestone::claim(UMockdevIoctlClient *client, UMockdevIoctlData *) {
    std::lock_guard<std::mutex> lock(mutex);
    if (driver_attached) {
        umockdev_ioctl_client_complete(client, -1, EBUSY);
        return true;
    }
    claimed = true;
    ++counts.claims;
    umockdev_ioctl_client_complete(client, 0, 0);
    return true;
}

bool usbfs_kestone::get_driver(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
    UMockdevIoctlData *query = resolved(arg, sizeof(usbdevfs_getdriver));
    if (query == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(mutex);
    if (driver_attached) {
        auto *answer = reinterpret_cast<usbdevfs_getdriver *>(query->data);
        snprintf(answer->driver, sizeof answer->driver, "%s", driver_name);
        umockdev_ioctl_client_complete(client, 0, 0);
    } else {
        umockdev_ioctl_client_complete(client, -1, ENODATA);
    }
    umockdev_ioctl_data_unref(query);
    return true;
}

// USBDEVFS_IOCTL carries the driver commands: disconnect and connect.
bool usbfs_kestone::driver_ioctl(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
    UMockdevIoctlData *command = resolved(arg, sizeof(usbdevfs_ioctl));
    if (command == nullptr)
        return false;
    const int code = reinterpret_cast<usbdevfs_ioctl *>(command->data)->ioctl_code;
    umockdev_ioctl_data_unref(command);
    std::lock_guard<std::mutex> lock(mutex);
    int error = 0;
    if (code == USBDEVFS_DISCONNECT) {
        if (!driver_attached)
            error = ENODATA;
        else if (driver == usbfs_driver::stuck)
            error = EPERM;
        else {
            driver_attached = false;
            ++counts.driver_disconnects;
        }
    } else if (code == USBDEVFS_CONNECT) {
        if (claimed) {
            error = EBUSY;
        } else if (driver != usbfs_driver::none && !driver_attached) {
            driver_attached = true;
            ++counts.driver_connects;
        }
    } else {
        error = EINVAL;
    }
    umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
    return true;
}

bool usbfs_kestone::clear_halt(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
    UMockdevIoctlData *which = resolved(arg, sizeof(unsigned int));
    if (which == nullptr)
        return false;
    unsigned int endpoint = 0;
    memcpy(&endpoint, which->data, sizeof endpoint);
    umockdev_ioctl_data_unref(which);
    libusb_device_handle *current;
    {
        std::lock_guard<std::mutex> lock(mutex);
        current = handle;
        ++counts.clear_halts;
    }
    const int result = bus().clear_halt(current, static_cast<unsigned char>(endpoint));
    umockdev_ioctl_client_complete(client, result == 0 ? 0 : -1, result == 0 ? 0 : EIO);
    return true;
}

bool usbfs_kestone::submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
    UMockdevIoctlData *data = resolved(arg, sizeof(usbdevfs_urb));
    if (data == nullptr)
        return false;
    const auto *request = reinterpret_cast<const usbdevfs_urb *>(data->data);
    if (request->type != USBDEVFS_URB_TYPE_BULK || request->buffer_length < 0) {
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
    libusb_transfer *transfer = bus().alloc_transfer(0);
    if (transfer == nullptr) {
        umockdev_ioctl_client_complete(client, -1, ENOMEM);
        return true;
    }
    transfer->endpoint = request->endpoint;
    transfer->type = LIBUSB_TRANSFER_TYPE_BULK;
    transfer->timeout = 0;
    transfer->buffer = entry->bytes.data();
    transfer->length = request->buffer_length;
    transfer->callback = transfer_done;
    transfer->user_data = entry.get();
    entry->transfer = transfer;
    urb *submitted = entry.get();
    {
        std::lock_guard<std::mutex> lock(mutex);
        transfer->dev_handle = handle;
        flying[entry->client_addr] = std::move(entry);
        ++transfers_out;
    }
    const int result = bus().submit_transfer(transfer);
    std::lock_guard<std::mutex> lock(mutex);
    if (result != 0) {
        --transfers_out;
        flying.erase(submitted->client_addr);
        umockdev_ioctl_client_complete(client, -1, result == LIBUSB_ERROR_NO_DEVICE ? ENODEV : EIO);
        return true;
    }
    ++counts.urbs_submitted;
    umockdev_ioctl_client_complete(client, 0, 0);
    return true;
}

void usbfs_kestone::transfer_done(libusb_transfer *transfer) {
    auto *entry = static_cast<urb *>(transfer->user_data);
    usbfs_kestone *self = entry->owner;
    {
        std::lock_guard<std::mutex> lock(self->mutex);
        entry->status = urb_status(transfer->status);
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
    ++counts.urbs_reaped;
    std::unique_ptr<urb> reaped = std::move(flying[entry->client_addr]);
    flying.erase(entry->client_addr);
    lock.unlock();
    umockdev_ioctl_client_complete(client, 0, 0);
    umockdev_ioctl_data_unref(pointer);
    return true;
}

bool usbfs_kestone::discard(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
    unsigned long address = 0;
    memcpy(&address, arg->data,
           std::min<size_t>(sizeof address, static_cast<size_t>(arg->data_len)));
    libusb_transfer *transfer = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = flying.find(address);
        if (found != flying.end() &&
            std::find(done.begin(), done.end(), found->second.get()) == done.end()) {
            transfer = found->second->transfer;
            ++counts.urbs_discarded;
        }
    }
    // The transfer stays allocated until its URB is reaped, so a completion
    // racing this cancel leaves nothing dangling.
    if (transfer == nullptr || bus().cancel_transfer(transfer) != 0) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return true;
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    return true;
}

} // namespace kest_test
