// What the dispatcher makes of the device's messages, and the callback queue.
#include "sdk/api/api_context.h"
#include "sdk/common/byte_order.h"
#include "tests/sdk/api/api_harness.h"

#include <future>

using namespace kest_test;
using bytes = std::vector<uint8_t>;

namespace {

class Dispatch : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        bring_up();
        handle = make_device();
    }
    // A device info payload numbered n in its first byte.
    static bytes info(uint8_t n) {
        bytes payload(104, 7);
        payload[0] = n;
        return payload;
    }
    // A buffer header (36 bytes) announcing size bytes, padded to total bytes.
    static bytes buffer(uint32_t size, size_t total = 36) {
        bytes out(total, 0);
        put_be32(out.data(), size);
        return out;
    }
    // The callback thread held inside the record numbered 0, then the ones numbered 1 to n sent.
    void hold_and_send(uint8_t n) {
        hold_next_record();
        send(CMD_DEVICE_INFO, info(0));
        ASSERT_TRUE(wait_held());
        for (uint8_t i = 1; i <= n; ++i)
            send(CMD_DEVICE_INFO, info(i));
    }
};

} // namespace

TEST_F(Dispatch, FullQueueDropsTheOldestAndKeepsOrder) {
    ASSERT_NO_FATAL_FAILURE(hold_and_send(65));
    EXPECT_TRUE(eventually_logged("Callback queue full (64), dropping oldest"));
    lidar_statistics_t stats{};
    ASSERT_EQ(lidar_get_statistics(&stats), 0);
    EXPECT_EQ(stats.callback_dropped, 1u);
    EXPECT_EQ(stats.device_dropped, 0u);
    release();
    ASSERT_TRUE(wait_records(65));
    std::vector<int> order, expected = {0};
    for (const seen_record &record : records())
        order.push_back(record.entries[0][0]);
    for (int n = 2; n <= 65; ++n)
        expected.push_back(n);
    EXPECT_EQ(order, expected);
}

TEST_F(Dispatch, ShortAndMalformedMessagesAreDroppedAndCounted) {
    bytes announced = buffer(100);
    announced.resize(36 + 99);
    const std::pair<uint16_t, bytes> cases[] = {
        {CMD_DEVICE_INFO, bytes(103)}, {CMD_ODOMETRY, bytes(687)},
        {CMD_HF_ODOMETRY, bytes(10)},  {CMD_WIWC, {}},
        {CMD_IMAGE, bytes(35)},        {CMD_IMAGE, announced},
        {CMD_DTOF, bytes(1000, 0)},    {CMD_DTOF, buffer(200000, 934948)}}; // entries run past
    send(CMD_IMU, bytes(63, 0), kest_sim::kestone::ep_imu);
    send(CMD_DEVICE_INFO, info(1), kest_sim::kestone::ep_imu); // a marker after the imu frame
    for (const auto &[type, payload] : cases)
        send(type, payload);
    send(CMD_DEVICE_INFO, info(2)); // a marker after the rest
    ASSERT_TRUE(wait_records(2));
    for (const seen_record &record : records())
        EXPECT_EQ(record.type, LIDAR_STREAM_DEVICE_INFO);
    EXPECT_TRUE(
        log_contains("dtof frame entries end at byte 1039012 of a 934948-byte payload; dropped."));
    lidar_statistics_t stats{};
    ASSERT_EQ(lidar_get_statistics(&stats), 0);
    EXPECT_EQ(stats.device_dropped, 9u) << "each message dropped is counted once";
    EXPECT_EQ(stats.callback_dropped, 0u);
}

// Destroying a handle waits for the delivery in progress; records still queued for it are
// counted as the queue's drops, and a new handle sees only what comes after.
TEST_F(Dispatch, NothingReachesADestroyedHandle) {
    ASSERT_NO_FATAL_FAILURE(hold_and_send(2));
    ASSERT_TRUE(eventually(
        [&] {
            std::lock_guard<std::mutex> lock(context().queue_mutex);
            return context().queue.size() >= 2;
        },
        "two records queued"));
    auto destroyed = std::async(std::launch::async, [&] { return lidar_destory_device(handle); });
    EXPECT_EQ(destroyed.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout)
        << "destroy waits for the delivery in progress";
    release();
    EXPECT_EQ(destroyed.get(), 0);
    handle = nullptr;
    lidar_statistics_t stats{};
    ASSERT_EQ(lidar_get_statistics(&stats), 0);
    EXPECT_EQ(stats.callback_dropped, 2u) << "records 1 and 2";
    send(CMD_DEVICE_INFO, info(3));
    send(14, {});
    ASSERT_TRUE(eventually_logged("unknow command code 14.")) << "a marker behind record 3";
    handle = make_device();
    send(CMD_DEVICE_INFO, info(4));
    ASSERT_TRUE(wait_records(2));
    std::vector<seen_record> seen = records();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].entries[0][0], 0);
    EXPECT_EQ(seen[1].entries[0][0], 4);
}
