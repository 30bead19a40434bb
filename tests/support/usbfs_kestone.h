// A KestOne on the real libusb: a umockdev testbed holds the device (sysfs,
// descriptors, a /dev/bus/usb node) and the usbfs ioctls libusb sends to that
// node are served here; bulk URBs become transfers on the virtual USB bus,
// where the virtual KestOne answers them. The program must run with umockdev's
// preload library; available() says whether it does.
#pragma once

#include "sim/kestone.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct libusb_context;
struct libusb_device_handle;
struct libusb_transfer;
typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace kest_test {

struct usbfs_stats {
    uint64_t urbs_reaped = 0;
    uint64_t urbs_in_flight = 0; // submitted, not reaped
    uint64_t claims = 0;         // CLAIMINTERFACE that succeeded
    uint64_t unknown_ioctls = 0;
};

class usbfs_kestone {
public:
    explicit usbfs_kestone(std::shared_ptr<kest_sim::kestone> device);
    ~usbfs_kestone(); // unplugs first
    usbfs_kestone(const usbfs_kestone &) = delete;
    usbfs_kestone &operator=(const usbfs_kestone &) = delete;

    static bool available();
    // The device appears (a new device number each time, as the kernel gives).
    void plug();
    // The device goes with a uevent; its URBs complete as after a disconnect
    // and every later ioctl on it fails with ENODEV.
    void unplug();
    usbfs_stats stats() const;

private:
    struct urb;
    static int handle_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, usbfs_kestone *self);
    bool serve(UMockdevIoctlClient *client);
    bool submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    bool reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    bool discard(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    static void transfer_done(libusb_transfer *transfer);
    std::string node() const;

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
    int device_number = 1; // the node's, /dev/bus/usb/001/NNN
    int virtual_id = 0;
    libusb_device_handle *handle = nullptr;
    bool present = false;
    std::map<unsigned long, std::unique_ptr<urb>> flying; // by the URB's address in the client
    std::deque<urb *> done;                               // completed, waiting to be reaped
    size_t transfers_out = 0;                             // on the virtual bus
    usbfs_stats counts;
};

} // namespace kest_test
