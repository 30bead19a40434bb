// The USB transport: finds the device (hot-plug or polling), opens it, runs one
// bulk endpoint per channel with asynchronous transfers, splits outgoing messages
// into frames and validates, reassembles and delivers incoming ones. The sender
// is its only user. It reaches the USB library only through the usb backend record.
#pragma once

#include "sdk/comm/interface/data_xfer.h"
#include "sdk/comm/libusb/usb_backend.h"
#include "sdk/common/thread/thread.h"
#include "sdk/logger/logger.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

class usb_data_xfer;

// One opened device. Its handle is closed only once no transfer on it is in
// flight, so no completion ever refers to a closed handle.
struct usb_session {
    usb_data_xfer *owner;
    libusb_device *device; // referenced
    libusb_device_handle *handle;
    // Transfers submitted on handle that have not completed for good, plus
    // senders that are between frames.
    std::atomic<int> in_flight{0};
};

enum usb_channel_direction : uint32_t {
    USB_CHANNEL_TO_DEVICE = 1,
    USB_CHANNEL_FROM_DEVICE = 2,
};

struct usb_channel {
    int32_t id;
    uint32_t tag;
    uint32_t endpoint_index;
    uint8_t endpoint_address;
    uint32_t direction;
    uint32_t transfer_size;
    usb_data_xfer *owner;
    libusb_transfer *receive_transfer;
    packet_group group;
    usb_session *session;
    // The table and the receive transfer in flight each keep the record alive;
    // whichever lets go last frees it. Guarded by the owner's channel mutex.
    bool in_table;
    bool in_flight;
};

class usb_data_xfer : public data_xfer {
public:
    // Hot-plug event mask: arrival and departure.
    static constexpr int hotplug_events = 3;
    static constexpr int interface_number = 0;
    static constexpr int event_wait_us = 100000;
    static constexpr int poll_interval_ms = 1000;
    static constexpr int start_wait_ms = 1;
    // How long de-initialisation waits for the transfers of closing devices.
    static constexpr int drain_wait_ms = 1000;

    usb_data_xfer() = default;
    ~usb_data_xfer() override;

    int xfer_init(const xfer_config &config) override;
    int xfer_deinit() override;
    int xfer_start() override;
    int xfer_chanel_create(const chan_config &config) override;
    int xfer_chanel_destroy(int32_t id) override;
    int xfer_async_send(int32_t id, const uint8_t *data, size_t length) override;

    // Opens device and claims interface 0 (detaching a kernel driver if needed).
    int open_device(libusb_device *device);
    // Gives up the open device: its handle is released and closed once its
    // transfers have completed. -1 if no device is open.
    int close_device();

    static void *event_monitor_routine(void *argument);
    static void *event_handle_routine(void *argument);
    static int LIBUSB_CALL hotplug_callback(libusb_context *context, libusb_device *device,
                                            libusb_hotplug_event event, void *user_data);
    // Runs on an event-handling thread for every transfer of this transport.
    static void LIBUSB_CALL transfer_cb(libusb_transfer *transfer);

private:
    // Event threads.
    bool wait_started();
    // Helpers that log on behalf of a named function take its origin.
    void monitor_loop(log_origin origin);
    void poll_devices(bool &present, log_origin origin);
    void handle_arrival(libusb_device *device, log_origin origin);
    void handle_departure(libusb_device *device, log_origin origin);
    bool is_open_device(libusb_device *device) const;
    void release_open_devices();
    void forget_seen_device();
    void raise(int32_t channel, uint32_t event, uint8_t *data, uint32_t len);
    void sleep_unless_stopped(int milliseconds);

    // Sessions.
    void reap_sessions();
    void drain_sessions(int milliseconds);
    static void transfer_done(usb_session *session);

    // Channels and transfers.
    int check_ready(log_origin origin);
    int endpoint_address_of(uint32_t index, uint32_t from_device, uint8_t *address,
                            log_origin origin);
    int32_t free_channel_id() const;
    int submit_receive(usb_channel *channel, log_origin origin);
    int submit_frame(usb_session *session, uint8_t endpoint, libusb_transfer *transfer,
                     uint8_t *buffer, uint32_t size, size_t frame_index, log_origin origin);
    bool completion_wants_resubmit(libusb_transfer *transfer, log_origin origin);
    void deliver(usb_channel *channel, const uint8_t *frame, size_t size);
    void finish_receive(usb_channel *channel, libusb_transfer *transfer, bool resubmit,
                        log_origin origin);
    void finish_send(libusb_transfer *transfer, bool resubmit, log_origin origin);
    void free_transfer(libusb_transfer *transfer);
    void delete_channel(usb_channel *channel);

    const usb_backend *usb = nullptr;
    std::map<int32_t, usb_channel *> channels;
    std::atomic<bool> started{false};
    multhreadsw monitor_thread;
    multhreadsw handler_thread;
    std::atomic<bool> stop{false};
    std::vector<libusb_device *> open_devices; // event threads only
    // Polling: the device the last pass found (referenced, so its address stays its own).
    libusb_device *seen_device = nullptr;
    // Polling: the last enumeration failed (its warning is given once per run).
    bool enumeration_failing = false;
    libusb_context *context = nullptr;
    libusb_hotplug_callback_handle hotplug_handle = 0;
    std::atomic<bool> opened{false};
    std::atomic<bool> initialised{false};
    std::atomic<bool> hotplug_supported{false};
    // Set once a device connected before the start has been looked for; event
    // handling waits for it, so that pass never runs beside a hot-plug callback.
    std::atomic<bool> first_pass_done{false};
    // The device that pass opened, until its own arrival event (if any) comes by.
    libusb_device *first_pass_device = nullptr;

    // Guards channels, the channel records' lifetime flags, current and retired.
    std::mutex channel_mutex;
    usb_session *current = nullptr;
    std::vector<usb_session *> retired;

    std::mutex wake_mutex;
    std::condition_variable wake;
};
