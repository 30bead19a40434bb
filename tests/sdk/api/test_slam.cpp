// SLAM clouds matched with odometry and wiwc and moved by T = O * B * inverse(A),
// with the expected points worked out by hand from the formulas.
#include "sdk/api/api_context.h"
#include "sdk/api/stream_layout.h"
#include "sdk/common/byte_order.h"
#include "tests/sdk/api/api_harness.h"

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
bool operator==(const point &a, const point &b) {
    return memcmp(&a, &b, sizeof a) == 0;
}

using matrix = std::array<double, 12>; // 3 x 4, row by row
const matrix identity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
const matrix rz90 = {0, -1, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0}; // 90 degrees about z

template <typename T>
void put(bytes &out, size_t at, const T &value) {
    memcpy(out.data() + at, &value, sizeof value);
}

bytes odometry(int64_t timestamp, std::array<int64_t, 3> position,
               std::array<int64_t, 4> quaternion) {
    bytes out(688, 0);
    put(out, 0, timestamp);
    put(out, 8, position);
    put(out, 32, quaternion);
    return out;
}

bytes wiwc(int64_t timestamp, const matrix &a, const matrix &b) {
    bytes out(688, 0);
    put(out, 0, timestamp);
    put(out, 112, a);
    put(out, 400, b);
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
        return eventually([&] { return count_records(LIDAR_STREAM_SLAM_CLOUD) >= count; },
                          std::to_string(count) + " SLAM cloud records");
    }
};

} // namespace

// Each a wiwc, a cloud and an odometry of one time; the points worked out by hand.
TEST_F(Slam, CloudsAreMovedByOdometryAndWiwcAndRoundedToNearestWithTiesToEven) {
    size_t n = 0;
    auto moves = [&](const matrix &a, const matrix &b, std::array<int64_t, 3> position,
                     std::array<int64_t, 4> quaternion, const std::vector<point> &in,
                     const std::vector<point> &want) {
        const int64_t t = t0 + static_cast<int64_t>(n) * 1000000000;
        send(CMD_WIWC, wiwc(t, a, b));
        send(CMD_SLAM_CLOUD, cloud_message(t, in));
        send(CMD_ODOMETRY, odometry(t, position, quaternion));
        ASSERT_TRUE(wait_slam(++n));
        const seen_record record = slam_records()[n - 1];
        EXPECT_EQ(as_points(record.entries[0]), want) << "set " << n;
        EXPECT_EQ(record.fields[0].timestamp, static_cast<uint64_t>(t));
        EXPECT_EQ(record.fields[0].param1, 7u);
        EXPECT_EQ(record.fields[0].size, 28 * in.size());
    };
    matrix shifted = rz90, nearly = identity, b_half = identity;
    shifted[3] = 0.1, shifted[7] = 0.2, shifted[11] = 0.3;
    std::vector<point> plus_metre = sample_points;
    for (point &p : plus_metre)
        p.x += 10000;
    moves(shifted, shifted, {1000000, 0, 0}, no_rotation, sample_points, plus_metre);
    nearly[0] += 1e-7; // squared difference 1e-14: the identity within the epsilon
    moves(nearly, rz90, {3000000, 0, 0}, {0, 0, 1000000, 0}, sample_points, sample_points);
    // A zero quaternion: T = [Rz90^T | (0.5, 2, 0)] takes (1 m, 0, 0) to (0.5, 1, 0).
    b_half[3] = 0.5;
    moves(rz90, b_half, {0, 2000000, 0}, {0, 0, 0, 0}, {{10000, 0, 0, {5, 6, 7, 8}}},
          {{5000, 10000, 0, {5, 6, 7, 8}}});
    // T = [I | (0.00005 m, 0, 0)]: x + 0.5 units exactly.
    moves(rz90, rz90, {50, 0, 0}, no_rotation, {{2, 0, 0, {}}, {5, 1, 0, {}}, {-3, 0, 4, {}}},
          {{2, 0, 0, {}}, {6, 1, 0, {}}, {-2, 0, 4, {}}});
}

// A cloud of a size that is no whole number of points is delivered empty; a set without its
// three samples, or with a cloud shorter than its header, is dropped.
TEST_F(Slam, CloudSizesAndIncompleteSets) {
    send(CMD_SLAM_CLOUD, cloud_message(t0, {{1, 2, 3, {}}, {4, 5, 6, {}}}, 1)); // 57 bytes
    send(CMD_ODOMETRY, odometry(t0, {0, 0, 0}, no_rotation));
    ASSERT_TRUE(wait_slam(1));
    EXPECT_TRUE(slam_records()[0].entries[0].empty());
    EXPECT_EQ(slam_records()[0].fields[0].size, 0u);

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
    EXPECT_EQ(slam_records().size(), 1u);
}
