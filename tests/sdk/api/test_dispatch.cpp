// What the dispatcher makes of the device's messages, and the callback queue.
#include "sdk/api/api_context.h"
#include "sdk/common/byte_order.h"
#include "tests/sdk/api/api_harness.h"

#include <gmock/gmock.h>

#include <cstring>
#include <future>

using namespace kest_test;
using bytes = std::vector<uint8_t>;
using testing::ElementsAreArray;

namespace {

class Dispatch : public ApiTest {
protected:
    static size_t dispatcher_lines() {
        size_t count = 0;
        for (const std::string &line : captured_lines())
            count += line.find("<api_dispatch.cpp:") != std::string::npos;
        return count;
    }
    void SetUp() override {
        ApiTest::SetUp();
        bring_up();
        handle = make_device();
    }
    // A device info payload numbered n in its first byte.
    static bytes info(uint8_t n) {
        bytes payload(104);
        for (size_t i = 0; i < payload.size(); ++i)
            payload[i] = static_cast<uint8_t>(i + 1);
        payload[0] = n;
        return payload;
    }
    static bytes buffer_header(uint32_t size, uint64_t timestamp) {
        bytes header(36, 0);
        put_be32(header.data(), size);
        for (int i = 0; i < 8; ++i) {
            header[4 + i] = static_cast<uint8_t>(0x10 + i);                   // value1
            header[12 + i] = static_cast<uint8_t>(timestamp >> (56 - 8 * i)); // timestamp
        }
        put_be32(header.data() + 28, 640);
        put_be32(header.data() + 32, 480);
        return header;
    }
    // Records waiting in the callback queue.
    static size_t queued() {
        sdk_context &ctx = context();
        std::lock_guard<std::mutex> lock(ctx.queue_mutex);
        return ctx.queue.size();
    }
    lidar_device_t *handle = nullptr;
};

bytes patterned(size_t size) {
    bytes out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return out;
}

} // namespace

TEST_F(Dispatch, FullQueueDropsTheOldestAndKeepsOrder) {
    hold_next_record();
    send(CMD_DEVICE_INFO, info(0));
    ASSERT_TRUE(wait_held());
    for (uint8_t n = 1; n <= 65; ++n)
        send(CMD_DEVICE_INFO, info(n));
    EXPECT_TRUE(eventually_logged("Callback queue full (64), dropping oldest"));
    EXPECT_TRUE(log_contains("<WARN>"));
    lidar_statistics_t stats{};
    ASSERT_EQ(lidar_get_statistics(&stats), 0);
    EXPECT_EQ(stats.callback_dropped, 1u);
    EXPECT_EQ(stats.device_dropped, 0u);
    release();
    ASSERT_TRUE(wait_records(65));
    std::vector<seen_record> seen = records();
    std::vector<int> order;
    for (const seen_record &record : seen)
        order.push_back(record.entries[0][0]);
    std::vector<int> expected = {0};
    for (int n = 2; n <= 65; ++n)
        expected.push_back(n);
    EXPECT_EQ(order, expected);
}

TEST_F(Dispatch, DeviceInfoDropsPayloadBytesEightToEleven) {
    bytes payload = info(9);
    send(CMD_DEVICE_INFO, payload);
    ASSERT_TRUE(wait_records(1));
    seen_record record = records()[0];
    EXPECT_EQ(record.type, LIDAR_STREAM_DEVICE_INFO);
    ASSERT_EQ(record.entries[0].size(), 100u);
    EXPECT_EQ(bytes(record.entries[0].begin(), record.entries[0].begin() + 8),
              bytes(payload.begin(), payload.begin() + 8));
    EXPECT_EQ(bytes(record.entries[0].begin() + 8, record.entries[0].end()),
              bytes(payload.begin() + 12, payload.end()));
}

TEST_F(Dispatch, ImuValuesAreScaledToFloats) {
    bytes payload(64, 0);
    put_be32(payload.data() + 4, 100000000);  // 1e8 -> 1.0
    put_be32(payload.data() + 8, 0xFFFFFFFF); // -50000000 as 64 bits -> -0.5
    put_be32(payload.data() + 12, static_cast<uint32_t>(-50000000));
    put_be32(payload.data() + 52, 77);
    put_be32(payload.data() + 60, 88);
    send(CMD_IMU, payload, kest_sim::kestone::ep_imu);
    ASSERT_TRUE(wait_records(1));
    seen_record record = records()[0];
    EXPECT_EQ(record.type, LIDAR_STREAM_IMU);
    ASSERT_EQ(record.entries[0].size(), 40u);
    lidar_imu_record_t imu;
    memcpy(&imu, record.entries[0].data(), sizeof imu);
    EXPECT_EQ(imu.values[0], 1.0f);
    EXPECT_EQ(imu.values[1], -0.5f);
    EXPECT_EQ(imu.values[2], 0.0f);
    EXPECT_EQ(imu.words[0], 77u);
    EXPECT_EQ(imu.words[1], 88u);
}

TEST_F(Dispatch, DtofEntriesFollowTheTwoLayouts) {
    const uint32_t s = 1000;
    bytes three = patterned(1081380);
    bytes header = buffer_header(s, 123456789);
    std::copy(header.begin(), header.end(), three.begin());
    send(CMD_DTOF, three);
    ASSERT_TRUE(wait_records(1));
    seen_record record = records()[0];
    EXPECT_EQ(record.type, LIDAR_STREAM_DTOF);
    ASSERT_EQ(record.entries.size(), 3u);
    const size_t d = 36;
    EXPECT_EQ(record.entries[0], bytes(three.begin() + d, three.begin() + d + s));
    EXPECT_EQ(record.entries[1], bytes(three.begin() + d + s, three.begin() + d + s + 786432));
    EXPECT_EQ(record.entries[2],
              bytes(three.begin() + d + s + 786432, three.begin() + d + 2 * s + 786432));
    for (const lidar_stream_entry_t &fields : record.fields) {
        EXPECT_EQ(fields.timestamp, 123456789u);
        EXPECT_EQ(fields.value1, 0x1011121314151617u);
        EXPECT_EQ(fields.param1, 640u);
        EXPECT_EQ(fields.param2, 480u);
    }

    bytes four = patterned(934948);
    std::copy(header.begin(), header.end(), four.begin());
    send(CMD_DTOF, four);
    ASSERT_TRUE(wait_records(2));
    record = records()[1];
    ASSERT_EQ(record.entries.size(), 4u);
    EXPECT_EQ(record.entries[1], bytes(four.begin() + d + s, four.begin() + d + s + 589824));
    EXPECT_EQ(record.entries[2],
              bytes(four.begin() + d + s + 589824, four.begin() + d + 2 * s + 589824));
    EXPECT_EQ(record.entries[3], bytes(four.begin() + d + s + 589824 + 49152,
                                       four.begin() + d + 2 * s + 589824 + 49152));

    send(CMD_DTOF, bytes(1000, 0));
    bytes greedy = patterned(934948);
    bytes big = buffer_header(200000, 1); // entries would run past the payload
    std::copy(big.begin(), big.end(), greedy.begin());
    send(CMD_DTOF, greedy);
    send(CMD_DEVICE_INFO, info(1)); // a marker behind them
    ASSERT_TRUE(wait_records(3));
    EXPECT_EQ(records()[2].type, LIDAR_STREAM_DEVICE_INFO);
    EXPECT_TRUE(log_contains(
        "dtof frame of 1000 payload bytes has no known layout (1081380 or 934948); dropped."));
    EXPECT_TRUE(
        log_contains("dtof frame entries end at byte 1039012 of a 934948-byte payload; dropped."));
}

TEST_F(Dispatch, ShortMessagesAreDroppedWithTheirLengths) {
    send(CMD_IMU, bytes(63, 0), kest_sim::kestone::ep_imu);
    send(CMD_DEVICE_INFO, bytes(103, 0));
    send(CMD_ODOMETRY, bytes(687, 0));
    send(CMD_HF_ODOMETRY, bytes(10, 0));
    send(CMD_WIWC, bytes(0, 0));
    send(CMD_IMAGE, bytes(35, 0));
    bytes announced = buffer_header(100, 1);
    announced.resize(36 + 99);
    send(CMD_IMAGE, announced);
    send(CMD_DEVICE_INFO, info(1), kest_sim::kestone::ep_imu); // marker after the imu frame
    send(CMD_DEVICE_INFO, info(2));                            // marker after the rest
    ASSERT_TRUE(wait_records(2));
    for (const seen_record &record : records())
        EXPECT_EQ(record.type, LIDAR_STREAM_DEVICE_INFO);
    EXPECT_TRUE(
        log_contains("message type 2 of 63 payload bytes is too short, 64 needed; dropped."));
    EXPECT_TRUE(
        log_contains("message type 11 of 103 payload bytes is too short, 104 needed; dropped."));
    EXPECT_TRUE(
        log_contains("message type 1 of 687 payload bytes is too short, 688 needed; dropped."));
    EXPECT_TRUE(
        log_contains("message type 18 of 10 payload bytes is too short, 688 needed; dropped."));
    EXPECT_TRUE(
        log_contains("message type 21 of 0 payload bytes is too short, 688 needed; dropped."));
    EXPECT_TRUE(
        log_contains("message type 3 of 35 payload bytes is too short, 36 needed; dropped."));
    EXPECT_TRUE(
        log_contains("message type 3 of 135 payload bytes is too short, 136 needed; dropped."));
    lidar_statistics_t stats{};
    ASSERT_EQ(lidar_get_statistics(&stats), 0);
    EXPECT_EQ(stats.device_dropped, 7u) << "each message too short is counted once";
    EXPECT_EQ(stats.callback_dropped, 0u);
    // The checks are the dispatcher's, whichever helper makes them.
    EXPECT_EQ(captured_line_with("message type 2 of 63"),
              "<ERROR><api_dispatch.cpp:cmd_data_deal:N>: message type 2 of 63 payload bytes is "
              "too short, 64 needed; dropped.\n");
}

TEST_F(Dispatch, ImageAndOdometryBecomeRecords) {
    bytes image = buffer_header(5, 42);
    for (uint8_t b : {1, 2, 3, 4, 5})
        image.push_back(b);
    send(CMD_IMAGE, image, kest_sim::kestone::ep_rgb);
    ASSERT_TRUE(wait_records(1));
    bytes odometry = patterned(688);
    send(CMD_HF_ODOMETRY, odometry);
    ASSERT_TRUE(wait_records(2));
    std::vector<seen_record> seen = records();
    EXPECT_EQ(seen[0].type, LIDAR_STREAM_IMAGE);
    EXPECT_EQ(seen[0].entries[0], bytes({1, 2, 3, 4, 5}));
    EXPECT_EQ(seen[0].fields[0].timestamp, 42u);
    EXPECT_EQ(seen[1].type, LIDAR_STREAM_HF_ODOMETRY);
    EXPECT_EQ(seen[1].entries[0], odometry);
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
    size_t lines_before_19 = dispatcher_lines();
    send(CMD_RESERVED_19, bytes(8, 0));
    send(CMD_DEVICE_INFO, info(1));
    ASSERT_TRUE(wait_records(1));
    EXPECT_EQ(records().size(), 1u);
    EXPECT_EQ(dispatcher_lines(), lines_before_19) << "type 19 writes nothing";
}

TEST_F(Dispatch, UnregisteringStopsNewRecordsButQueuedOnesArrive) {
    hold_next_record();
    send(CMD_DEVICE_INFO, info(0));
    ASSERT_TRUE(wait_held());
    send(CMD_DEVICE_INFO, info(1));
    send(CMD_DEVICE_INFO, info(2));
    ASSERT_TRUE(eventually([&] { return queued() >= 2; }, "two records queued"));
    ASSERT_EQ(lidar_unregister_stream_callback(handle), 0);
    send(CMD_DEVICE_INFO, info(3));
    send(14, {}); // a marker the dispatcher logs, behind it on the same channel
    release();
    ASSERT_TRUE(wait_records(3));
    ASSERT_TRUE(eventually_logged("unknow command code 14."));
    EXPECT_EQ(records().size(), 3u);
}

// Records still queued for a destroyed handle are counted as the queue's drops:
// the application never saw them.
TEST_F(Dispatch, NothingReachesADestroyedHandle) {
    hold_next_record();
    send(CMD_DEVICE_INFO, info(0));
    ASSERT_TRUE(wait_held());
    send(CMD_DEVICE_INFO, info(1));
    send(CMD_DEVICE_INFO, info(2));
    ASSERT_TRUE(eventually([&] { return queued() >= 2; }, "two records queued"));
    auto destroyed = std::async(std::launch::async, [&] { return lidar_destory_device(handle); });
    EXPECT_EQ(destroyed.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout)
        << "destroy waits for the delivery in progress";
    release();
    EXPECT_EQ(destroyed.get(), 0);
    lidar_statistics_t stats{};
    ASSERT_EQ(lidar_get_statistics(&stats), 0);
    EXPECT_EQ(stats.callback_dropped, 2u) << "records 1 and 2";
    send(CMD_DEVICE_INFO, info(3));
    send(14, {}); // a marker the dispatcher logs, behind it on the same channel
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
