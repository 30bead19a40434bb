// A KestOne on the real libusb: a umockdev testbed holds the device (sysfs,
// descriptors, a /dev/bus/usb node) and the usbfs ioctls libusb sends to that
// node are served here; bulk URBs become transfers on the virtual USB bus,
// where the virtual KestOne answers them. Needs umockdev's preload library.
#pragma once

#include "sim/kestone.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

struct libusb_context;
struct libusb_device_handle;
struct libusb_transfer;
typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace kest_test {

class usbfs_kestone {
public:
    explicit usbfs_kestone(std::shared_ptr<kest_sim::kestone> device);
    ~usbfs_kestone(); // unplugs first
    usbfs_kestone(const usbfs_kestone &) = delete;
    usbfs_kestone &operator=(const usbfs_kestone &) = delete;

    static bool available();
    void plug(); // once
    // With a uevent; URBs complete as after a disconnect, later ioctls fail (ENODEV).
    void unplug();
    size_t urbs_in_flight() const; // submitted, not reaped

private:
    struct urb;
    static int handle_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, usbfs_kestone *self);
    bool serve(UMockdevIoctlClient *client);
    bool submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    bool reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    static void transfer_done(libusb_transfer *transfer);

    std::shared_ptr<kest_sim::kestone> device;
    UMockdevTestbed *testbed = nullptr;
    UMockdevIoctlBase *handler = nullptr;
    unsigned long signal_id = 0;
    // The virtual bus side: a context, an event thread and the device's handle.
    libusb_context *context = nullptr;
    std::thread events;
    std::atomic<bool> stopping{false};

    mutable std::mutex mutex;
    std::condition_variable reapable;
    int virtual_id = 0;
    libusb_device_handle *handle = nullptr;
    bool present = false;
    std::map<unsigned long, std::unique_ptr<urb>> flying; // by the URB's address in the client
    std::deque<urb *> done;                               // completed, waiting to be reaped
    size_t transfers_out = 0;                             // on the virtual bus
};

} // namespace kest_test
