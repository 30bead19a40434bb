// SLAM clouds matched with odometry and wiwc and moved by T = O * B * inverse(A),
// with the expected points worked out by hand from the formulas.
#include "sdk/api/api_context.h"
#include "sdk/api/slam_cloud.h"
#include "sdk/api/stream_layout.h"
#include "sdk/common/byte_order.h"
#include "tests/sdk/api/api_harness.h"

#include <gmock/gmock.h>

#include <array>
#include <cstring>

using namespace kest_test;
using bytes = std::vector<uint8_t>;

namespace {

struct point {
    int32_t x, y, z;
    uint32_t words[4];
};
static_assert(sizeof(point) == 28, "a cloud point is 28 bytes");

using matrix = std::array<double, 12>; // 3 x 4, row by row
const matrix identity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
// 90 degrees about z, no translation.
const matrix rz90 = {0, -1, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0};

template <typename T>
void put(bytes &out, size_t at, T value) {
    memcpy(out.data() + at, &value, sizeof value);
}

bytes odometry(int64_t timestamp, std::array<int64_t, 3> position,
               std::array<int64_t, 4> quaternion) {
    bytes out(688, 0);
    put(out, 0, timestamp);
    for (int i = 0; i < 3; ++i)
        put(out, 8 + 8 * i, position[i]);
    for (int i = 0; i < 4; ++i)
        put(out, 32 + 8 * i, quaternion[i]);
    return out;
}

bytes wiwc(int64_t timestamp, const matrix &a, const matrix &b) {
    bytes out(688, 0);
    put(out, 0, timestamp);
    memcpy(out.data() + 112, a.data(), sizeof(double) * 12);
    memcpy(out.data() + 400, b.data(), sizeof(double) * 12);
    return out;
}

bytes cloud_message(uint64_t timestamp, const std::vector<point> &points, size_t extra_bytes = 0) {
    size_t size = points.size() * sizeof(point) + extra_bytes;
    bytes out(36 + size, 0);
    put_be32(out.data(), static_cast<uint32_t>(size));
    for (int i = 0; i < 8; ++i)
        out[12 + i] = static_cast<uint8_t>(timestamp >> (56 - 8 * i));
    put_be32(out.data() + 28, 7);
    if (!points.empty())
        memcpy(out.data() + 36, points.data(), points.size() * sizeof(point));
    return out;
}

std::vector<point> as_points(const bytes &data) {
    std::vector<point> out(data.size() / sizeof(point));
    if (!out.empty())
        memcpy(out.data(), data.data(), out.size() * sizeof(point));
    return out;
}

const std::vector<point> sample_points = {
    {0, 0, 0, {1, 2, 3, 4}},
    {12345, -678, 90, {0xFFFFFFFF, 0, 7, 8}},
    {-5000, 3, 7, {9, 10, 11, 12}},
};

constexpr int64_t t0 = 1700000000000000000;
const std::array<int64_t, 4> no_rotation = {0, 0, 0, 1000000};

class Slam : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        bring_up();
        handle = make_device();
    }
    std::vector<seen_record> slam_records() {
        std::vector<seen_record> out;
        for (const seen_record &record : records())
            if (record.type == LIDAR_STREAM_SLAM_CLOUD)
                out.push_back(record);
        return out;
    }
    testing::AssertionResult wait_slam(size_t count) {
        return eventually([&] { return slam_records().size() >= count; },
                          std::to_string(count) + " SLAM cloud records");
    }
    lidar_device_t *handle = nullptr;
};

void expect_points(const std::vector<point> &got, const std::vector<point> &want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].x, want[i].x) << "point " << i;
        EXPECT_EQ(got[i].y, want[i].y) << "point " << i;
        EXPECT_EQ(got[i].z, want[i].z) << "point " << i;
        EXPECT_EQ(memcmp(got[i].words, want[i].words, sizeof got[i].words), 0) << "point " << i;
    }
}

} // namespace

TEST_F(Slam, EqualWiwcMatricesAndAOneMetreOdometryMoveEveryXByTenThousand) {
    matrix a = rz90;
    a[3] = 0.1, a[7] = 0.2, a[11] = 0.3;
    bytes w = wiwc(t0, a, a);
    std::vector<point> want = sample_points;
    for (point &p : want)
        p.x += 10000;
    send(CMD_WIWC, w);
    send(CMD_SLAM_CLOUD, cloud_message(t0, sample_points));
    send(CMD_ODOMETRY, odometry(t0, {1000000, 0, 0}, no_rotation));
    ASSERT_TRUE(wait_slam(1));
    seen_record record = slam_records()[0];
    expect_points(as_points(record.entries[0]), want);
    EXPECT_EQ(record.fields[0].timestamp, static_cast<uint64_t>(t0));
    EXPECT_EQ(record.fields[0].param1, 7u);
    EXPECT_EQ(record.fields[0].size, 3 * 28u);
}

TEST_F(Slam, IdentityWithinTheEpsilonLeavesPointsAlone) {
    matrix nearly = identity;
    nearly[0] += 1e-7; // squared difference 1e-14
    send(CMD_WIWC, wiwc(t0, nearly, rz90));
    send(CMD_SLAM_CLOUD, cloud_message(t0, sample_points));
    send(CMD_ODOMETRY, odometry(t0, {3000000, 0, 0}, {0, 0, 1000000, 0}));
    ASSERT_TRUE(wait_slam(1));
    expect_points(as_points(slam_records()[0].entries[0]), sample_points);
}

TEST_F(Slam, ZeroQuaternionStillAppliesTheWiwcAndThePosition) {
    matrix b = identity;
    b[3] = 0.5;
    // T = [Rz90^T | (0.5, 2, 0)]: (1 m, 0, 0) goes to (0.5, 1, 0).
    send(CMD_WIWC, wiwc(t0, rz90, b));
    send(CMD_SLAM_CLOUD, cloud_message(t0, {{10000, 0, 0, {5, 6, 7, 8}}}));
    send(CMD_ODOMETRY, odometry(t0, {0, 2000000, 0}, {0, 0, 0, 0}));
    ASSERT_TRUE(wait_slam(1));
    expect_points(as_points(slam_records()[0].entries[0]), {{5000, 10000, 0, {5, 6, 7, 8}}});
}

// A cloud before any wiwc is passed on as the device sent it (told once): the
// engine's world frame starts where the scan starts, so the cloud is near its place.
TEST_F(Slam, MissingWiwcFallsBackToTheLatestOrPassesTheCloudOnUnmoved) {
    for (size_t i = 0; i < 2; ++i) {
        const int64_t t = t0 - 2000000000 + static_cast<int64_t>(i) * 500000000;
        send(CMD_SLAM_CLOUD, cloud_message(t, sample_points));
        send(CMD_ODOMETRY, odometry(t, {1000000, 0, 0}, no_rotation));
        ASSERT_TRUE(wait_slam(i + 1));
        expect_points(as_points(slam_records()[i].entries[0]), sample_points);
    }
    size_t told = 0;
    for (const std::string &line : captured_lines())
        told +=
            line.find("SLAM cloud passed on unmoved: no wiwc has arrived yet") != std::string::npos;
    EXPECT_EQ(told, 1u) << "told once";
    lidar_statistics_t statistics{};
    ASSERT_EQ(lidar_get_statistics(&statistics), 0);
    EXPECT_EQ(statistics.cloud_dropped, 0u);

    send(CMD_WIWC, wiwc(t0, rz90, rz90));
    send(CMD_SLAM_CLOUD, cloud_message(t0, sample_points));
    send(CMD_ODOMETRY, odometry(t0, {1000000, 0, 0}, no_rotation));
    ASSERT_TRUE(wait_slam(3));
    std::vector<point> moved = sample_points;
    for (point &p : moved)
        p.x += 10000;
    expect_points(as_points(slam_records()[2].entries[0]), moved);

    // A wiwc 200 ms before the next pair falls out of its window, but is the latest.
    int64_t t1 = t0 + 1000000000;
    send(CMD_WIWC, wiwc(t1 - 200000000, rz90, rz90));
    send(CMD_SLAM_CLOUD, cloud_message(t1, sample_points));
    send(CMD_ODOMETRY, odometry(t1, {1000000, 0, 0}, no_rotation));
    ASSERT_TRUE(wait_slam(4));
    expect_points(as_points(slam_records()[3].entries[0]), moved);
}

TEST_F(Slam, RoundsToNearestWithTiesToEven) {
    // T = [I | (0.00005 m, 0, 0)]: x + 0.5 units exactly.
    send(CMD_WIWC, wiwc(t0, rz90, rz90));
    send(CMD_SLAM_CLOUD, cloud_message(t0, {{2, 0, 0, {}}, {5, 1, 0, {}}, {-3, 0, 4, {}}}));
    send(CMD_ODOMETRY, odometry(t0, {50, 0, 0}, no_rotation));
    ASSERT_TRUE(wait_slam(1));
    expect_points(as_points(slam_records()[0].entries[0]),
                  {{2, 0, 0, {}}, {6, 1, 0, {}}, {-2, 0, 4, {}}});
}

TEST_F(Slam, CloudSizesAndIncompleteSets) {
    send(CMD_WIWC, wiwc(t0, rz90, rz90));
    send(CMD_SLAM_CLOUD, cloud_message(t0, {{1, 2, 3, {}}, {4, 5, 6, {}}}));
    send(CMD_ODOMETRY, odometry(t0, {0, 0, 0}, no_rotation));
    ASSERT_TRUE(wait_slam(1));
    EXPECT_EQ(as_points(slam_records()[0].entries[0]).size(), 2u);

    int64_t t1 = t0 + 100000000;
    send(CMD_SLAM_CLOUD, cloud_message(t1, {{1, 2, 3, {}}, {4, 5, 6, {}}}, 1)); // 57 bytes
    send(CMD_ODOMETRY, odometry(t1, {0, 0, 0}, no_rotation));
    ASSERT_TRUE(wait_slam(2));
    EXPECT_TRUE(slam_records()[1].entries[0].empty());
    EXPECT_EQ(slam_records()[1].fields[0].size, 0u);

    // Straight into the handler: two samples, or a cloud sample under 36 bytes.
    std::vector<zev_sync::sample> two(2);
    two[0].data.assign(64, 0);
    slam_set_handler(std::move(two));
    std::vector<zev_sync::sample> short_cloud(3);
    short_cloud[0].data.assign(35, 0);
    slam_set_handler(std::move(short_cloud));
    send(CMD_DEVICE_INFO, bytes(104, 1)); // a marker behind them
    ASSERT_TRUE(eventually(
        [&] {
            std::vector<seen_record> seen = records();
            return !seen.empty() && seen.back().type == LIDAR_STREAM_DEVICE_INFO;
        },
        "the marker record behind the short clouds"));
    EXPECT_EQ(slam_records().size(), 2u);
}

TEST(SlamTransform, MovesOnlyWithBothRecordsAndNoIdentity) {
    bytes points(sizeof(point) * sample_points.size());
    memcpy(points.data(), sample_points.data(), points.size());
    bytes odom = odometry(t0, {1000000, 0, 0}, no_rotation);
    bytes w = wiwc(t0, rz90, rz90);
    bytes ident = wiwc(t0, rz90, identity);
    std::vector<uint8_t> out;
    cloud_transform(points.data(), points.size(), nullptr, w.data(), out);
    EXPECT_EQ(out, points);
    cloud_transform(points.data(), points.size(), odom.data(), nullptr, out);
    EXPECT_EQ(out, points);
    cloud_transform(points.data(), points.size(), odom.data(), ident.data(), out);
    EXPECT_EQ(out, points) << "B is the identity";
    cloud_transform(points.data(), 0, odom.data(), w.data(), out);
    EXPECT_TRUE(out.empty());
    cloud_transform(points.data(), 29, odom.data(), w.data(), out);
    EXPECT_TRUE(out.empty());
    cloud_transform(points.data(), points.size(), odom.data(), w.data(), out);
    EXPECT_EQ(as_points(out)[1].x, 22345);
}
