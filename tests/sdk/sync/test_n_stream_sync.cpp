// The synchronizer as timelines: pushes in, sets out.
#include "sdk/api/stream_layout.h"
#include "sdk/sync/n_stream_sync.h"
#include "tests/support/log_capture.h"
#include "tests/support/recorder.h"
#include "tests/support/wait.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <limits>
#include <random>
#include <thread>

using namespace zev_sync;
using kest_test::eventually;
using kest_test::patience;

namespace {

constexpr int64_t ms = 1000000;
constexpr int64_t s = 1000 * ms;
constexpr size_t cloud = SLAM_STREAM_CLOUD, odom = SLAM_STREAM_ODOMETRY, wiwc = SLAM_STREAM_WIWC;

// Collects the sets the worker hands out.
class Timeline : public kest_test::logged_test {
protected:
    void start(sync_config config = slam_sync_config()) {
        sync = std::make_unique<n_stream_sync>(std::move(config));
        for (std::atomic<uint64_t> &count : discarded)
            count = 0;
        ASSERT_EQ(sync->start([this](std::vector<sample> &&set) { take(std::move(set)); }, nullptr,
                              [this](size_t stream, uint64_t count) {
                                  if (stream < discarded.size())
                                      discarded[stream] += count;
                              }),
                  0);
    }
    int push(size_t stream, int64_t t, uint32_t id = 0) {
        uint8_t payload[3] = {static_cast<uint8_t>(stream), static_cast<uint8_t>(id), 0xAB};
        return sync->push(stream, t, payload, sizeof payload, id);
    }
    void take(std::vector<sample> &&set) { sets.add(std::move(set)); }
    testing::AssertionResult wait_sets(size_t count) {
        return sets.wait([&](const auto &all) { return all.size() >= count; },
                         std::to_string(count) + " sets");
    }
    std::vector<sample> set(size_t index) const { return sets.snapshot().at(index); }
    // Waits until the queues hold these counts (the worker has done its part).
    testing::AssertionResult wait_queued(size_t c, size_t o, size_t w) {
        return eventually(
            [&] {
                return sync->queued(cloud) == c && sync->queued(odom) == o &&
                       sync->queued(wiwc) == w;
            },
            "queues of " + std::to_string(c) + ", " + std::to_string(o) + " and " +
                std::to_string(w) + " samples");
    }
    std::unique_ptr<n_stream_sync> sync;
    kest_test::recorder<std::vector<sample>> sets;
    std::array<std::atomic<uint64_t>, 3> discarded{}; // told by the synchronizer, per stream
};

} // namespace

TEST_F(Timeline, CloudAndOdometryMakeASetWithTheLatestWiwcInsideTheWindow) {
    start();
    ASSERT_EQ(push(cloud, 1000 * ms, 1), 0);
    ASSERT_EQ(push(odom, 1030 * ms, 2), 0);
    ASSERT_TRUE(wait_sets(1));
    EXPECT_EQ(set(0)[cloud].timestamp_ns, 1000 * ms);
    EXPECT_EQ(set(0)[cloud].data, (std::vector<uint8_t>{0, 1, 0xAB}));
    EXPECT_EQ(set(0)[odom].extra, 2u);
    EXPECT_EQ(set(0)[wiwc].timestamp_ns, 0) << "an empty slot";

    push(wiwc, 1990 * ms, 3);
    push(wiwc, 2010 * ms, 4);
    push(wiwc, 2080 * ms, 5);
    push(cloud, 2000 * ms);
    push(odom, 2000 * ms);
    ASSERT_TRUE(wait_sets(2));
    EXPECT_EQ(set(1)[wiwc].extra, 4u);
    EXPECT_EQ(set(1)[wiwc].timestamp_ns, 2010 * ms);
    EXPECT_EQ(sync->queued(wiwc), 1u) << "2.08 s stays for a later set";
}

TEST_F(Timeline, CloudTooFarBehindIsDroppedUntilOneLinesUp) {
    start();
    push(cloud, 1000 * ms);
    push(odom, 1200 * ms);
    ASSERT_TRUE(wait_queued(0, 1, 0)) << "the older cloud is dropped";
    EXPECT_EQ(sets.size(), 0u);
    EXPECT_EQ(discarded[cloud], 1u) << "and told";
    push(cloud, 1210 * ms, 7);
    ASSERT_TRUE(wait_sets(1));
    EXPECT_EQ(set(0)[cloud].extra, 7u);
}

TEST_F(Timeline, BackwardJumpsBeyondTheToleranceResetAndUnitMismatchesAreRejected) {
    start();
    push(cloud, 1000 * ms);
    push(cloud, 960 * ms); // 40 ms back: accepted
    EXPECT_EQ(sync->queued(cloud), 2u);
    push(cloud, 900 * ms); // 60 ms back from 960
    EXPECT_EQ(sync->queued(cloud), 1u) << "the sample that caused the reset is still queued";
    start();
    ASSERT_EQ(push(odom, 1700000000000000000), 0);
    EXPECT_EQ(push(cloud, 1700000000000), -4) << "milliseconds against nanoseconds";
    EXPECT_EQ(push(cloud, 1700000000000000), 0) << "microseconds are a ratio of 1000 only";
    // A new session (a recording's small times, then the live device's epoch times) starts afresh.
    sync->restart();
    EXPECT_EQ(sync->queued(cloud), 0u);
    ASSERT_EQ(push(odom, 3 * ms), 0);
    sync->restart();
    EXPECT_EQ(push(odom, 1700000000000000000), 0);
}

TEST_F(Timeline, FullQueueDropsItsOldestAndBadPushesAreRefused) {
    n_stream_sync idle(slam_sync_config());
    uint8_t byte = 0;
    EXPECT_EQ(idle.push(1, 1000 * ms, &byte, 1, 0), -2) << "before the start";
    start();
    EXPECT_EQ(push(3, 1000 * ms), -1) << "an unknown stream";
    for (uint32_t i = 0; i < 33; ++i)
        ASSERT_EQ(push(cloud, 1000 * ms + i * ms, i), 0);
    EXPECT_EQ(sync->queued(cloud), 32u);
    push(odom, 1001 * ms);
    ASSERT_TRUE(wait_sets(1));
    EXPECT_EQ(set(0)[cloud].extra, 1u) << "sample 0 was pushed out";
    sync->stop();
    EXPECT_EQ(push(cloud, 1000 * ms), -2);
    EXPECT_EQ(sync->start(nullptr, nullptr), 0) << "a stopped synchronizer starts again";
    EXPECT_EQ(push(cloud, 1000 * ms), 0);
}

// Long seeded runs of three streams with jitter, drops, duplicates and jumps: every
// sample taken is in one set or told thrown away, in order, with its payload.
TEST_F(Timeline, RandomRunsKeepEverySetSound) {
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        sets.clear();
        start();
        std::mt19937_64 random(seed);
        std::uniform_int_distribution<int64_t> jitter(-15 * ms, 15 * ms);
        std::uniform_int_distribution<int> percent(0, 99);
        int64_t clock = 1700000000000000000;
        uint32_t id = 1;
        size_t taken[3] = {};
        for (int step = 0; step < 3000; ++step) {
            clock += 100 * ms;
            if (percent(random) == 0)
                clock += (percent(random) < 50 ? 2 * s : -500 * ms); // a jump
            for (size_t stream = 0; stream < 3; ++stream) {
                if (percent(random) < 10)
                    continue; // dropped by the device
                for (int copy = percent(random) < 5 ? 2 : 1; copy > 0; --copy)
                    taken[stream] += push(stream, clock + jitter(random), id++) == 0;
            }
            // Pace like a device at 10 Hz: let the worker match what it can.
            ASSERT_TRUE(
                eventually([&] { return sync->queued(cloud) == 0 || sync->queued(odom) == 0; },
                           "the worker matching what it can"));
        }
        sync->stop();
        const std::vector<std::vector<sample>> all = sets.snapshot();
        ASSERT_GT(all.size(), 2000u);
        uint32_t last_id[3] = {};
        size_t in_sets[3] = {};
        for (const std::vector<sample> &set : all) {
            ASSERT_LE(std::abs(set[cloud].timestamp_ns - set[odom].timestamp_ns), 50 * ms);
            for (size_t stream = 0; stream < 3; ++stream) {
                uint32_t sample_id = set[stream].extra;
                if (sample_id == 0)
                    continue;
                ++in_sets[stream];
                ASSERT_GT(sample_id, last_id[stream]) << "once each, in order, on " << stream;
                last_id[stream] = sample_id;
                ASSERT_EQ(set[stream].data[1], static_cast<uint8_t>(sample_id))
                    << "payload stays with its sample";
            }
        }
        for (size_t stream = 0; stream < 3; ++stream) {
            EXPECT_EQ(taken[stream], in_sets[stream] + discarded[stream]) << "stream " << stream;
            EXPECT_GT(discarded[stream], 0u) << "the run's jumps and gaps throw some away";
        }
    }
}

TEST_F(Timeline, ConcurrentPushesSurviveStopAndStart) {
    start();
    std::atomic<bool> done{false};
    std::atomic<int64_t> clock{1 * s};
    std::vector<std::thread> pushers;
    for (size_t stream = 0; stream < 3; ++stream)
        pushers.emplace_back([&, stream] {
            uint8_t payload[64] = {};
            for (; !done; std::this_thread::yield())
                sync->push(stream, clock += ms / 3, payload, sizeof payload, 1);
        });
    for (int round = 0; round < 50; ++round) {
        wait_sets(sets.size() + 1);
        sync->stop();
        ASSERT_EQ(sync->start([this](std::vector<sample> &&set) { take(std::move(set)); }, nullptr),
                  0);
    }
    done = true;
    for (std::thread &pusher : pushers)
        pusher.join();
    sync->stop();
    ASSERT_GE(sets.size(), 50u);
    for (const std::vector<sample> &set : sets.snapshot()) {
        EXPECT_NE(set[cloud].timestamp_ns, 0);
        EXPECT_NE(set[odom].timestamp_ns, 0);
    }
}

// Heads over a second apart reset everything, even at the ends of the range
// where a careless difference would overflow.
TEST_F(Timeline, HeadsOverASecondApartResetEverythingWithoutOverflow) {
    sync_config config = slam_sync_config();
    config.unit_ratio = 0;
    start(config);
    push(cloud, 1000 * ms);
    push(odom, 2500 * ms);
    EXPECT_TRUE(wait_queued(0, 0, 0));
    const int64_t top = std::numeric_limits<int64_t>::max(),
                  bottom = std::numeric_limits<int64_t>::min();
    EXPECT_EQ(push(wiwc, bottom), 0);
    EXPECT_EQ(push(cloud, top), 0);
    EXPECT_EQ(push(odom, bottom), 0); // heads as far apart as can be
    EXPECT_TRUE(wait_queued(0, 0, 0));
    EXPECT_EQ(push(cloud, top), 0);
    EXPECT_EQ(push(cloud, bottom), 0); // the furthest step back
    EXPECT_EQ(sync->queued(cloud), 1u);
}
