// The whole device layer on the virtual bus with the virtual KestOne: records
// attach notifications and stream records as the application would see them.
#pragma once

#include "sdk/api/api.h"
#include "sim/kestone.h"
#include "tests/support/bus_test.h"
#include "tests/support/recorder.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace kest_test {

struct seen_record {
    uint32_t type;
    std::vector<std::vector<uint8_t>> entries; // data of each entry in use
    std::vector<lidar_stream_entry_t> fields;  // with data pointers cleared
};

struct seen_attach {
    bool attached;
    std::thread::id thread;
};

class ApiTest : public bus_test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Initialises the layer, plugs the device and waits for the soft attach.
    void bring_up();
    // The attach callback that records notifications and runs on_attach.
    static lidar_attach_cb attach_recorder();
    // Creates a handle with the recording stream callback registered.
    lidar_device_t *make_device();
    static testing::AssertionResult wait_attach_events(size_t count) {
        return attach_events.wait_count(count, std::to_string(count) + " attach notifications");
    }
    static testing::AssertionResult wait_records(size_t count) {
        return seen.wait_count(count, std::to_string(count) + " stream records");
    }
    static std::vector<seen_record> records() { return seen.snapshot(); }
    static std::vector<seen_attach> attaches() { return attach_events.snapshot(); }
    // Records of the type so far, counted without copying them.
    static size_t count_records(uint32_t type) {
        return seen.count_if([type](const seen_record &record) { return record.type == type; });
    }
    // Sends a message from the device on the dtof channel (or another endpoint).
    void send(uint16_t type, const std::vector<uint8_t> &payload,
              uint8_t endpoint = kest_sim::kestone::ep_dtof) {
        ASSERT_TRUE(device->send(endpoint, type, payload));
    }

    // Holds the callback thread inside the next record until release() is called.
    void hold_next_record();
    testing::AssertionResult wait_held();
    void release();

    // The application's part: on every soft attach a handle (make_device) and, if asked,
    // streaming; at detach the handle goes.
    void keep_a_handle(bool streaming);

    std::shared_ptr<kest_sim::kestone> device;
    int device_id = 0;
    std::mutex handle_mutex;
    lidar_device_t *handle = nullptr;

    // Runs steps once, on the notification thread at the first soft attach: their results.
    static std::future<std::vector<int>> on_first_attach(std::function<std::vector<int>()> steps);
    // Stops calling on_attach; callbacks already inside it finish on their own.
    static void clear_on_attach();

public:
    // Runs on the notification thread inside every attach callback.
    static std::function<void(bool)> on_attach;
    // What the callbacks were handed.
    static recorder<seen_record> seen;
    static recorder<seen_attach> attach_events;
};

} // namespace kest_test
