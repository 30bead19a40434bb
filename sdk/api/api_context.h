// The device layer's process-wide state, shared by the entry points, the
// dispatcher and the SLAM cloud assembly. Internal to sdk/api.
#pragma once

#include "sdk/api/api.h"
#include "sdk/comm/protocol/protocol.h"
#include "sdk/common/thread/thread.h"
#include "sdk/sync/n_stream_sync.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

constexpr size_t CALLBACK_QUEUE_CAPACITY = 64;
constexpr size_t STREAM_RECORD_BYTES = 688;

struct callback_item {
    lidar_stream_cb callback;
    lidar_stream_data_t record;
    void *context;
    std::vector<std::vector<uint8_t>> copies; // one per entry with data
    const lidar_device_t *owner;              // the handle the record was made for
};

struct sdk_context {
    std::atomic<bool> initialized{false};
    std::atomic<lidar_attach_cb> attach_callback{nullptr};
    zev_sdk::sender sender;

    // The current device and its stream callback, read by the producers.
    std::mutex device_mutex;
    lidar_device_t *current_device = nullptr;

    std::atomic<bool> env_debug_running{false};
    multhreadsw env_debug_thread;
    // Wakes env_debug_thread from its one-second idle when it is to stop.
    std::mutex env_debug_mutex;
    std::condition_variable env_debug_wake;

    std::mutex queue_mutex;
    std::condition_variable queue_cond;
    std::deque<callback_item> queue;
    const lidar_device_t *delivering = nullptr; // owner of the record being delivered
    std::thread::id callback_thread_id;
    std::thread callback_thread;
    std::atomic<bool> callback_running{false};

    // Attach notifications run on short-lived threads of their own, which take
    // turns in the order of their events: an attach must never overtake the
    // detach before it.
    std::mutex notify_mutex;
    std::condition_variable notify_turn;
    uint64_t notify_issued = 0;
    uint64_t notify_done = 0;

    std::mutex sync_mutex;
    std::unique_ptr<zev_sync::n_stream_sync> synchronizer;

    std::mutex wiwc_mutex;
    uint8_t latest_wiwc[STREAM_RECORD_BYTES] = {};
    bool wiwc_valid = false;
    bool wiwc_missing_told = false; // a cloud before any wiwc was passed on unmoved, and told
};

// The one context. It is created on first use and never destroyed: the
// application never de-initialises the layer, so its threads still run while
// the process exits, and they must never meet a destroyed context.
sdk_context &context();

// The dispatcher: the sender's callback for every unsolicited message and event.
void cmd_data_deal(uint8_t *msg, void *sender);
// Copies the record and its buffers into the callback queue (64 items, the
// oldest dropped). Drops it when callback is null or the callback thread is not running.
void enqueue_callback_data(lidar_stream_cb callback, const lidar_stream_data_t *record,
                           void *context, const lidar_device_t *owner);
// Hands a record to the current device's stream callback, if there is one.
void deliver_record(const lidar_stream_data_t *record);
// 0, or -1 (logged in origin's name) when the thread cannot be started.
int start_callback_thread(log_origin origin);
void stop_callback_thread();
// Waits until every attach notification issued so far has returned from the
// application's callback (WARN every 10 s while one holds it up). Returns at
// once on a notification thread, which cannot wait for itself.
void wait_for_notifications();
// Drops queued records of a handle and waits for its delivery in progress.
void forget_device_records(const lidar_device_t *device);

// The synchronized-set handler (runs on the synchronizer's worker).
void slam_set_handler(std::vector<zev_sync::sample> &&set);
