#include "tests/sdk/api/api_harness.h"
#include "tests/support/heartbeat_timing.h"

#include "sdk/api/api_context.h"
#include "sim/usb_bus.h"

#include <atomic>

namespace kest_test {

std::function<void(bool)> ApiTest::on_attach;
recorder<seen_record> ApiTest::seen;
recorder<seen_attach> ApiTest::attach_events;

namespace {

// Holding the callback thread inside a record, for queue tests.
std::mutex hold_mutex;
std::condition_variable hold_changed;
bool hold = false;
bool held = false;

std::mutex hook_mutex;

void record_attach(const lidar_device_info_t *, bool attached) {
    std::function<void(bool)> hook;
    {
        std::lock_guard<std::mutex> lock(hook_mutex);
        hook = ApiTest::on_attach;
    }
    if (hook)
        hook(attached);
    ApiTest::attach_events.add({attached, std::this_thread::get_id()});
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
    ApiTest::seen.add(std::move(entry));
    std::unique_lock<std::mutex> lock(hold_mutex);
    if (hold) {
        held = true;
        hold_changed.notify_all();
        hold_changed.wait(lock, [] { return !hold; });
        held = false;
    }
}

} // namespace

void ApiTest::clear_on_attach() {
    std::lock_guard<std::mutex> lock(hook_mutex);
    on_attach = nullptr;
}

std::future<std::vector<int>> ApiTest::on_first_attach(std::function<std::vector<int>()> steps) {
    auto results = std::make_shared<std::promise<std::vector<int>>>();
    auto ran = std::make_shared<std::atomic<bool>>(false);
    on_attach = [=](bool attached) {
        if (attached && !ran->exchange(true))
            results->set_value(steps());
    };
    return results->get_future();
}

void ApiTest::SetUp() {
    bus_test::SetUp();
    device = std::make_shared<kest_sim::kestone>();
    // A wide beat window: a 3 MiB calibration file on rx delays the heartbeat answers.
    context().sender.set_heartbeat_timing(scaled_heartbeat(std::chrono::seconds(2)));
    seen.clear();
    attach_events.clear();
    std::lock_guard<std::mutex> lock(hold_mutex);
    hold = held = false;
}

// De-initialisation waits for the attach callbacks still running, so none
// outlives the test.
void ApiTest::TearDown() {
    release();
    clear_on_attach(); // no late attach makes a new handle now
    {
        std::lock_guard<std::mutex> lock(handle_mutex);
        if (handle != nullptr)
            lidar_destory_device(handle);
        handle = nullptr;
    }
    lidar_system_deinit();
    clear_on_attach();
    bus_test::TearDown();
}

void ApiTest::keep_a_handle(bool streaming) {
    on_attach = [this, streaming](bool attached) {
        std::lock_guard<std::mutex> lock(handle_mutex);
        if (attached && handle == nullptr) {
            handle = make_device();
            uint32_t rate = 0;
            EXPECT_TRUE(!streaming || lidar_start_stream(handle, 0, &rate) == 0) << "start failed";
        } else if (!attached && handle != nullptr) {
            lidar_destory_device(handle);
            handle = nullptr;
        }
    };
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

void ApiTest::hold_next_record() {
    std::lock_guard<std::mutex> lock(hold_mutex);
    hold = true;
}

testing::AssertionResult ApiTest::wait_held() {
    std::unique_lock<std::mutex> lock(hold_mutex);
    if (hold_changed.wait_for(lock, patience(), [] { return held; }))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the callback thread held inside a record";
}

void ApiTest::release() {
    std::lock_guard<std::mutex> lock(hold_mutex);
    hold = false;
    hold_changed.notify_all();
}

} // namespace kest_test
