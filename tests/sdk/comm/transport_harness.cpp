#include "tests/sdk/comm/transport_harness.h"

namespace kest_test {

namespace {

recorder<raised_event> recorded;
std::function<void(uint32_t)> *active_hook = nullptr;

void record_event(int32_t channel, uint32_t event, uint8_t *data, uint32_t len) {
    if (active_hook != nullptr && *active_hook)
        (*active_hook)(event);
    recorded.add({channel, event, bytes(data, data + len)});
}

} // namespace

void TransportTest::SetUp() {
    bus_test::SetUp();
    recorded.clear();
    active_hook = &hook;
}

void TransportTest::TearDown() {
    if (xfer) {
        xfer->xfer_deinit();
        xfer.reset();
    }
    active_hook = nullptr;
    bus_test::TearDown();
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

testing::AssertionResult TransportTest::wait_events(uint32_t event, size_t count) {
    return recorded.wait(
        [&](const std::vector<raised_event> &all) {
            size_t seen = 0;
            for (const raised_event &entry : all)
                seen += entry.event == event;
            return seen >= count;
        },
        std::to_string(count) + " events of kind " + std::to_string(event));
}

std::vector<raised_event> TransportTest::events(uint32_t event) const {
    std::vector<raised_event> matching;
    for (raised_event &entry : recorded.snapshot())
        if (entry.event == event)
            matching.push_back(std::move(entry));
    return matching;
}

std::vector<bytes> TransportTest::data_on(int32_t channel) const {
    std::vector<bytes> data;
    for (const raised_event &entry : events(XFER_EVENT_DATA))
        if (entry.channel == channel)
            data.push_back(entry.data);
    return data;
}

testing::AssertionResult TransportTest::bus_released() {
    return eventually(
        [] {
            kest_sim::bus_stats stats = kest_sim::bus_get_stats();
            return stats.transfers_allocated == stats.transfers_freed && stats.handles_open == 0;
        },
        "every transfer freed and every handle closed");
}

bytes TransportTest::frame(const bytes &payload, uint8_t flags, uint16_t word) const {
    bytes out(PKT_OVERHEAD + payload.size());
    xfer->packet_construct(out.data(), 0, 0, flags, word, 0, payload.data(),
                           static_cast<uint32_t>(payload.size()));
    return out;
}

} // namespace kest_test
