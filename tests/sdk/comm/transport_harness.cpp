#include "tests/sdk/comm/transport_harness.h"

#include "sdk/comm/libusb/usb_backend.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace kest_test {

namespace {

std::mutex events_mutex;
std::condition_variable events_changed;
std::vector<raised_event> recorded;
std::function<void(uint32_t)> *active_hook = nullptr;

void record_event(int32_t channel, uint32_t event, uint8_t *data, uint32_t len) {
    if (active_hook != nullptr && *active_hook)
        (*active_hook)(event);
    raised_event entry{channel, event, bytes(data, data + len)};
    std::lock_guard<std::mutex> lock(events_mutex);
    recorded.push_back(std::move(entry));
    events_changed.notify_all();
}

} // namespace

void TransportTest::SetUp() {
    reset_logger();
    capture_logs(KEST_LOG_VALUE_DEBUG);
    kest_sim::bus_reset();
    usb_backend_select(kest_sim::bus_backend());
    std::lock_guard<std::mutex> lock(events_mutex);
    recorded.clear();
    active_hook = &hook;
}

void TransportTest::TearDown() {
    if (HasFailure())
        print_captured_logs();
    if (xfer) {
        xfer->xfer_deinit();
        xfer.reset();
    }
    kest_sim::bus_reset();
    usb_backend_select(nullptr);
    active_hook = nullptr;
    reset_logger();
}

void TransportTest::start(bool hotplug) {
    kest_sim::bus_set_hotplug(hotplug);
    xfer.reset(data_xfer_create(0));
    xfer_config config{0, record_event, 0x0019, 0x2207};
    ASSERT_EQ(xfer->xfer_init(config), 0);
    ASSERT_EQ(xfer->xfer_start(), 0);
}

int TransportTest::plug(const kest_sim::device_desc &desc) {
    device = std::make_shared<kest_sim::script_device>();
    device_id = kest_sim::bus_plug(desc, device);
    return device_id;
}

bool TransportTest::create_channels() {
    const chan_config configs[] = {
        {0, 1, 0, big_transfer}, {0, 0, 1, big_transfer}, {0, 2, 1, imu_transfer},
        {0, 3, 1, big_transfer}, {0, 4, 1, big_transfer},
    };
    bool all = true;
    for (const chan_config &config : configs)
        all &= xfer->xfer_chanel_create(config) >= 0;
    return all;
}

void TransportTest::destroy_channels() {
    for (int32_t id = 0; id < 5; ++id)
        xfer->xfer_chanel_destroy(id);
}

bool TransportTest::wait_events(uint32_t event, size_t count) {
    std::unique_lock<std::mutex> lock(events_mutex);
    return events_changed.wait_for(lock, patience, [&] {
        size_t seen = 0;
        for (const raised_event &entry : recorded)
            seen += entry.event == event;
        return seen >= count;
    });
}

std::vector<raised_event> TransportTest::events(uint32_t event) const {
    std::lock_guard<std::mutex> lock(events_mutex);
    std::vector<raised_event> matching;
    for (const raised_event &entry : recorded)
        if (entry.event == event)
            matching.push_back(entry);
    return matching;
}

std::vector<bytes> TransportTest::data_on(int32_t channel) const {
    std::vector<bytes> data;
    for (const raised_event &entry : events(XFER_EVENT_DATA))
        if (entry.channel == channel)
            data.push_back(entry.data);
    return data;
}

bool TransportTest::eventually(const std::function<bool()> &cond) {
    auto deadline = std::chrono::steady_clock::now() + patience;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bytes TransportTest::frame(const bytes &payload, uint8_t flags, uint16_t word) const {
    bytes out(PKT_OVERHEAD + payload.size());
    xfer->packet_construct(out.data(), 0, 0, flags, word, 0, payload.data(),
                           static_cast<uint32_t>(payload.size()));
    return out;
}

} // namespace kest_test
