#include "tests/sdk/api/api_harness.h"

#include "sdk/api/api_context.h"
#include "sdk/comm/libusb/usb_backend.h"
#include "sim/usb_bus.h"

#include <cstdio>

namespace kest_test {

std::function<void(bool)> ApiTest::on_attach;

namespace {

std::mutex mutex;
std::condition_variable changed;
std::vector<seen_record> seen;
std::vector<seen_attach> attach_events;
bool hold = false;
bool held = false;

// Attach callbacks run on threads the layer does not wait for: the harness
// counts them so that a test ends only after the last one has returned.
std::mutex hook_mutex;
int callbacks_running = 0;

void record_attach(const lidar_device_info_t *, bool attached) {
    std::function<void(bool)> hook;
    {
        std::lock_guard<std::mutex> lock(hook_mutex);
        ++callbacks_running;
        hook = ApiTest::on_attach;
    }
    if (hook)
        hook(attached);
    {
        std::lock_guard<std::mutex> lock(mutex);
        attach_events.push_back({attached, std::this_thread::get_id()});
        changed.notify_all();
    }
    std::lock_guard<std::mutex> lock(hook_mutex);
    --callbacks_running;
}

// After the layer is down no new callback starts; one started just before may
// still be on its way in, so the count must stay at zero for a moment.
void wait_for_callbacks() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int quiet_checks = 0;
    while (quiet_checks < 3 && std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(hook_mutex);
            quiet_checks = callbacks_running == 0 ? quiet_checks + 1 : 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void record_stream(const lidar_stream_data_t *data, void *) {
    seen_record entry{data->type, {}, {}};
    for (uint32_t i = 0; i < data->count; ++i) {
        const lidar_stream_entry_t &e = data->entries[i];
        entry.entries.emplace_back(e.data, e.data + (e.data != nullptr ? e.size : 0));
        lidar_stream_entry_t fields = e;
        fields.data = nullptr;
        entry.fields.push_back(fields);
    }
    std::unique_lock<std::mutex> lock(mutex);
    seen.push_back(std::move(entry));
    changed.notify_all();
    if (hold) {
        held = true;
        changed.notify_all();
        changed.wait(lock, [] { return !hold; });
        held = false;
    }
}

} // namespace

void ApiTest::clear_on_attach() {
    std::lock_guard<std::mutex> lock(hook_mutex);
    on_attach = nullptr;
}

void ApiTest::SetUp() {
    logged_test::SetUp();
    kest_sim::bus_reset();
    usb_backend_select(kest_sim::bus_backend());
    device = std::make_shared<kest_sim::kestone>();
    // A wide beat window: a 3 MiB calibration file on rx delays the heartbeat
    // answers behind it, more so under the sanitizers; tests that want quick
    // soft detaches set their own.
    context().sender.set_heartbeat_timing({std::chrono::seconds(2), std::chrono::milliseconds(10)});
    std::lock_guard<std::mutex> lock(mutex);
    seen.clear();
    attach_events.clear();
    hold = held = false;
}

void ApiTest::TearDown() {
    release();
    lidar_system_deinit();
    wait_for_callbacks();
    clear_on_attach();
    kest_sim::bus_reset();
    usb_backend_select(nullptr);
    logged_test::TearDown();
}

void ApiTest::bring_up() {
    ASSERT_EQ(lidar_system_init(record_attach), 0);
    device_id = kest_sim::bus_plug(kest_sim::kestone_desc(), device);
    ASSERT_TRUE(wait_attach_events(1));
}

lidar_attach_cb ApiTest::attach_recorder() {
    return record_attach;
}

lidar_device_t *ApiTest::make_device() {
    lidar_device_info_t info{};
    lidar_device_t *handle = nullptr;
    EXPECT_EQ(lidar_create_device(&info, &handle), 0);
    lidar_stream_callback_t callback{record_stream, nullptr};
    EXPECT_EQ(lidar_register_stream_callback(handle, &callback), 0);
    return handle;
}

bool ApiTest::wait_attach_events(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, patience, [&] { return attach_events.size() >= count; });
}

bool ApiTest::wait_records(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, patience, [&] { return seen.size() >= count; });
}

std::vector<seen_record> ApiTest::records() {
    std::lock_guard<std::mutex> lock(mutex);
    return seen;
}

std::vector<seen_attach> ApiTest::attaches() {
    std::lock_guard<std::mutex> lock(mutex);
    return attach_events;
}

void ApiTest::send(uint16_t type, const std::vector<uint8_t> &payload, uint8_t endpoint) {
    ASSERT_TRUE(device->send(endpoint, type, payload));
}

void ApiTest::hold_next_record() {
    std::lock_guard<std::mutex> lock(mutex);
    hold = true;
}

bool ApiTest::wait_held() {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, patience, [] { return held; });
}

void ApiTest::release() {
    std::lock_guard<std::mutex> lock(mutex);
    hold = false;
    changed.notify_all();
}

} // namespace kest_test
