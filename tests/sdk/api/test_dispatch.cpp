// What the dispatcher makes of the device's messages, and the callback queue.
#include "sdk/api/api_context.h"
#include "sdk/common/byte_order.h"
#include "tests/sdk/api/api_harness.h"

#include <algorithm>
#include <cstring>
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
    // A device info payload of 1, 2, 3, ... numbered n in its first byte.
    static bytes info(uint8_t n) {
        bytes payload(104);
        for (size_t i = 0; i < payload.size(); ++i)
            payload[i] = static_cast<uint8_t>(i + 1);
        payload[0] = n;
        return payload;
    }
    // A buffer header (36 bytes) announcing size bytes, padded to total bytes.
    static bytes buffer(uint32_t size, size_t total = 36) {
        bytes out(total, 0);
        put_be32(out.data(), size);
        return out;
    }
    // The callback thread held inside record 0, records 1 and 2 queued behind it.
    void hold_with_two_queued() {
        hold_next_record();
        send(CMD_DEVICE_INFO, info(0));
        ASSERT_TRUE(wait_held());
        send(CMD_DEVICE_INFO, info(1));
        send(CMD_DEVICE_INFO, info(2));
        ASSERT_TRUE(eventually(
            [&] {
                std::lock_guard<std::mutex> lock(context().queue_mutex);
                return context().queue.size() >= 2;
            },
            "two records queued"));
    }
    // Info 3, then a marker the dispatcher logs, behind it on the same channel.
    void send_three_and_marker() {
        send(CMD_DEVICE_INFO, info(3));
        send(14, {});
    }
};

} // namespace

TEST_F(Dispatch, FullQueueDropsTheOldestAndKeepsOrder) {
    hold_next_record();
    send(CMD_DEVICE_INFO, info(0));
    ASSERT_TRUE(wait_held());
    for (uint8_t n = 1; n <= 65; ++n)
        send(CMD_DEVICE_INFO, info(n));
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

TEST_F(Dispatch, ShortAndMalformedMessagesAreDroppedWithTheirLengths) {
    bytes announced = buffer(100);
    announced.resize(36 + 99);
    const struct {
        uint16_t type;
        bytes payload;
        size_t needed;
    } cases[] = {{CMD_DEVICE_INFO, bytes(103), 104}, {CMD_ODOMETRY, bytes(687), 688},
                 {CMD_HF_ODOMETRY, bytes(10), 688},  {CMD_WIWC, {}, 688},
                 {CMD_IMAGE, bytes(35), 36},         {CMD_IMAGE, announced, 136}};
    send(CMD_IMU, bytes(63, 0), kest_sim::kestone::ep_imu);
    send(CMD_DEVICE_INFO, info(1), kest_sim::kestone::ep_imu); // a marker after the imu frame
    for (const auto &c : cases)
        send(c.type, c.payload);
    send(CMD_DTOF, bytes(1000, 0));
    send(CMD_DTOF, buffer(200000, 934948)); // entries would run past the payload
    send(CMD_DEVICE_INFO, info(2));         // a marker after the rest
    ASSERT_TRUE(wait_records(2));
    for (const seen_record &record : records())
        EXPECT_EQ(record.type, LIDAR_STREAM_DEVICE_INFO);
    EXPECT_TRUE(
        log_contains("message type 2 of 63 payload bytes is too short, 64 needed; dropped."));
    for (const auto &c : cases)
        EXPECT_TRUE(log_contains(
            "message type " + std::to_string(c.type) + " of " + std::to_string(c.payload.size()) +
            " payload bytes is too short, " + std::to_string(c.needed) + " needed; dropped."));
    EXPECT_TRUE(log_contains(
        "dtof frame of 1000 payload bytes has no known layout (1081380 or 934948); dropped."));
    EXPECT_TRUE(
        log_contains("dtof frame entries end at byte 1039012 of a 934948-byte payload; dropped."));
    lidar_statistics_t stats{};
    ASSERT_EQ(lidar_get_statistics(&stats), 0);
    EXPECT_EQ(stats.device_dropped, 9u) << "each message dropped is counted once";
    EXPECT_EQ(stats.callback_dropped, 0u);
}

TEST_F(Dispatch, StrayAnswersAndUnknownTypesAreLoggedAndReservedOneIsSilent) {
    send(CMD_OK, {}, kest_sim::kestone::ep_rx);
    send(CMD_FAIL, {}, kest_sim::kestone::ep_rx);
    send(14, {}, kest_sim::kestone::ep_rx);
    ASSERT_TRUE(eventually_logged("unknow command code 14."))
        << "behind the two answers on the same channel";
    EXPECT_TRUE(
        log_contains("missed ok response from device. probably wrong interaction procedure."));
    EXPECT_TRUE(
        log_contains("missed fail response from device. probably wrong interaction procedure."));
    auto dispatcher_lines = [] {
        const std::vector<std::string> lines = captured_lines();
        return std::count_if(lines.begin(), lines.end(), [](const std::string &line) {
            return line.find("<api_dispatch.cpp:") != std::string::npos;
        });
    };
    const auto lines_before_19 = dispatcher_lines();
    send(CMD_RESERVED_19, bytes(8, 0));
    send(CMD_DEVICE_INFO, info(1));
    ASSERT_TRUE(wait_records(1));
    EXPECT_EQ(records().size(), 1u);
    EXPECT_EQ(dispatcher_lines(), lines_before_19) << "type 19 writes nothing";
}

TEST_F(Dispatch, UnregisteringStopsNewRecordsButQueuedOnesArrive) {
    ASSERT_NO_FATAL_FAILURE(hold_with_two_queued());
    ASSERT_EQ(lidar_unregister_stream_callback(handle), 0);
    send_three_and_marker();
    release();
    ASSERT_TRUE(wait_records(3));
    ASSERT_TRUE(eventually_logged("unknow command code 14."));
    EXPECT_EQ(records().size(), 3u);
}

// Records still queued for a destroyed handle are counted as the queue's drops:
// the application never saw them.
TEST_F(Dispatch, NothingReachesADestroyedHandle) {
    ASSERT_NO_FATAL_FAILURE(hold_with_two_queued());
    auto destroyed = std::async(std::launch::async, [&] { return lidar_destory_device(handle); });
    EXPECT_EQ(destroyed.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout)
        << "destroy waits for the delivery in progress";
    release();
    EXPECT_EQ(destroyed.get(), 0);
    handle = nullptr;
    lidar_statistics_t stats{};
    ASSERT_EQ(lidar_get_statistics(&stats), 0);
    EXPECT_EQ(stats.callback_dropped, 2u) << "records 1 and 2";
    send_three_and_marker();
    ASSERT_TRUE(eventually_logged("unknow command code 14."));
    lidar_device_t *next = make_device(); // a new handle sees only what comes after
    send(CMD_DEVICE_INFO, info(4));
    ASSERT_TRUE(wait_records(2));
    std::vector<seen_record> seen = records();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].entries[0][0], 0);
    EXPECT_EQ(seen[1].entries[0][0], 4);
    lidar_destory_device(next);
}
