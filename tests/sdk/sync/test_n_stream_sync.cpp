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
#include <set>
#include <sys/resource.h>
#include <thread>

using namespace zev_sync;
using kest_test::eventually;
using kest_test::patience;
using testing::HasSubstr;

namespace {

constexpr int64_t ms = 1000000;
constexpr int64_t s = 1000 * ms;
constexpr size_t cloud = SLAM_STREAM_CLOUD, odom = SLAM_STREAM_ODOMETRY, wiwc = SLAM_STREAM_WIWC;

// Collects the sets the worker hands out.
class Timeline : public kest_test::logged_test {
protected:
    void SetUp() override {
        logged_test::SetUp();
        sync_log_rewind();
    }
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
    ASSERT_EQ(set(0).size(), 3u);
    EXPECT_EQ(set(0)[cloud].timestamp_ns, 1000 * ms);
    EXPECT_EQ(set(0)[cloud].data, (std::vector<uint8_t>{0, 1, 0xAB}));
    EXPECT_EQ(set(0)[odom].timestamp_ns, 1030 * ms);
    EXPECT_EQ(set(0)[odom].extra, 2u);
    EXPECT_EQ(set(0)[wiwc].timestamp_ns, 0) << "an empty slot";
    EXPECT_TRUE(set(0)[wiwc].data.empty());
    EXPECT_EQ(set(0)[wiwc].extra, 0u);

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

TEST_F(Timeline, BackwardJumpsBeyondTheToleranceResetAndTheirLinesStopAfterEight) {
    start();
    testing::internal::CaptureStderr();
    push(cloud, 1000 * ms);
    push(cloud, 960 * ms); // 40 ms back: accepted
    size_t after_small_step = sync->queued(cloud);
    push(cloud, 900 * ms); // 60 ms back from 960
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(after_small_step, 2u);
    EXPECT_EQ(err, "[n_stream_sync] backward jump on stream 0: prev=960000000 ns, new=900000000 ns "
                   "-> reset\n");
    EXPECT_EQ(sync->queued(cloud), 1u) << "the sample that caused the reset is still queued";

    testing::internal::CaptureStderr();
    for (int i = 1; i <= 9; ++i)
        push(cloud, 900 * ms - i * 80 * ms); // every push is a backward jump
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 7) << "eight lines in all";
    EXPECT_EQ(sync->queued(cloud), 1u) << "the resets after them took effect";
    EXPECT_EQ(sync_log_count(), 10);
}

TEST_F(Timeline, UnitMismatchIsRejected) {
    start();
    testing::internal::CaptureStderr();
    ASSERT_EQ(push(odom, 1700000000000000000), 0);
    EXPECT_EQ(push(cloud, 1700000000000), -4) << "milliseconds against nanoseconds";
    EXPECT_EQ(push(cloud, 1700000000000000), 0) << "microseconds are a ratio of 1000 only";
    std::string err = testing::internal::GetCapturedStderr();
    // (The accepted pair is 1.7e18 against 1.7e15: the worker may reset it as a gap.)
    EXPECT_THAT(
        err,
        HasSubstr("[n_stream_sync] suspected unit mismatch on stream 0: incoming=1700000000000 vs "
                  "known max=1700000000000000000 (ratio>=1000000) -> rejecting push\n"));
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n') -
                  (err.find("cross-stream gap") != std::string::npos),
              1);
}

TEST_F(Timeline, FullQueueDropsItsOldestOrRefusesAndSoDoBadPushes) {
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

    sync_config strict = slam_sync_config();
    strict.drop_oldest = false;
    strict.queue_capacity = 0; // taken as 1
    start(strict);
    EXPECT_EQ(push(cloud, 1000 * ms), 0);
    EXPECT_EQ(push(cloud, 1001 * ms), -3);
}

TEST_F(Timeline, PassthroughStreamGoesStraightToItsCallback) {
    sync_config config;
    config.stream_count = 2;
    config.policies = {REQUIRED, PASSTHROUGH};
    sync = std::make_unique<n_stream_sync>(config);
    std::vector<std::pair<size_t, sample>> passed;
    ASSERT_EQ(
        sync->start(nullptr, [&](size_t stream,
                                 sample &&item) { passed.emplace_back(stream, std::move(item)); }),
        0);
    uint8_t payload[2] = {4, 2};
    EXPECT_EQ(sync->push(1, 5 * s, payload, 2, 9), 0);
    ASSERT_EQ(passed.size(), 1u) << "called on the pushing thread";
    EXPECT_EQ(passed[0].first, 1u);
    EXPECT_EQ(passed[0].second.data, (std::vector<uint8_t>{4, 2}));
    EXPECT_EQ(passed[0].second.extra, 9u);
    EXPECT_EQ(sync->queued(1), 0u);
}

TEST_F(Timeline, WithoutARequiredStreamTheWorkerSleeps) {
    sync_config config;
    config.stream_count = 2;
    config.policies = {OPTIONAL_LATEST, OPTIONAL_LATEST};
    start(config);
    push(0, 1 * s);
    push(1, 1 * s);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // a spinning worker burns this
    getrusage(RUSAGE_SELF, &after);
    auto cpu_us = [](const rusage &u) {
        return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000LL + u.ru_utime.tv_usec +
               u.ru_stime.tv_usec;
    };
    EXPECT_LT(cpu_us(after) - cpu_us(before), 150000);
    EXPECT_EQ(sets.size(), 0u);
    EXPECT_EQ(sync->queued(0), 1u);
    sync->stop();
    EXPECT_FALSE(sync->running());
}

// Long seeded runs of three streams with jitter, drops, duplicates and jumps.
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
        std::vector<uint32_t> pushed_ids[3];
        for (int step = 0; step < 3000; ++step) {
            clock += 100 * ms;
            if (percent(random) == 0)
                clock += (percent(random) < 50 ? 2 * s : -500 * ms); // a jump
            for (size_t stream = 0; stream < 3; ++stream) {
                if (percent(random) < 10)
                    continue; // dropped by the device
                int copies = percent(random) < 5 ? 2 : 1;
                for (int copy = 0; copy < copies; ++copy) {
                    uint32_t mine = id++;
                    if (push(stream, clock + jitter(random), mine) == 0)
                        pushed_ids[stream].push_back(mine);
                }
                for (size_t q = 0; q < 3; ++q)
                    ASSERT_LE(sync->queued(q), 32u);
            }
            // Pace like a device at 10 Hz: let the worker match what it can.
            ASSERT_TRUE(
                eventually([&] { return sync->queued(cloud) == 0 || sync->queued(odom) == 0; },
                           "the worker matching what it can"));
        }
        sync->stop();

        const std::vector<std::vector<sample>> all = sets.snapshot();
        ASSERT_GT(all.size(), 2000u);
        // Every sample taken is in a set or was told as thrown away, the
        // leftovers at stop included.
        for (size_t stream = 0; stream < 3; ++stream) {
            size_t in_sets = 0;
            for (const std::vector<sample> &set : all)
                in_sets += set[stream].extra != 0 ? 1 : 0;
            EXPECT_EQ(pushed_ids[stream].size(), in_sets + discarded[stream])
                << "stream " << stream;
            EXPECT_GT(discarded[stream], 0u) << "the run's jumps and gaps throw some away";
        }
        std::set<uint32_t> seen;
        uint32_t last_id[3] = {0, 0, 0};
        for (const std::vector<sample> &set : all) {
            ASSERT_EQ(set.size(), 3u);
            ASSERT_NE(set[cloud].timestamp_ns, 0);
            ASSERT_NE(set[odom].timestamp_ns, 0);
            int64_t low = std::min(set[cloud].timestamp_ns, set[odom].timestamp_ns);
            int64_t high = std::max(set[cloud].timestamp_ns, set[odom].timestamp_ns);
            ASSERT_LE(high - low, 50 * ms);
            if (set[wiwc].timestamp_ns != 0) {
                ASSERT_GE(set[wiwc].timestamp_ns, low - 50 * ms);
                ASSERT_LE(set[wiwc].timestamp_ns, high + 50 * ms);
            }
            for (size_t stream = 0; stream < 3; ++stream) {
                uint32_t sample_id = set[stream].extra;
                if (sample_id == 0)
                    continue;
                ASSERT_TRUE(seen.insert(sample_id).second)
                    << "sample " << sample_id << " emitted twice";
                ASSERT_GT(sample_id, last_id[stream]) << "order within stream " << stream;
                last_id[stream] = sample_id;
                ASSERT_EQ(set[stream].data[1], static_cast<uint8_t>(sample_id))
                    << "payload stays with its sample";
            }
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
            while (!done) {
                sync->push(stream, clock.load(), payload, sizeof payload, 1);
                std::this_thread::yield();
            }
        });
    std::thread ticker([&] {
        while (!done) {
            clock += ms;
            std::this_thread::yield();
        }
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
    ticker.join();
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
    testing::internal::CaptureStderr();
    push(cloud, 1000 * ms);
    push(odom, 2500 * ms);
    bool emptied = wait_queued(0, 0, 0);
    push(cloud, 500 * ms); // earlier than the forgotten 1.0 s: no backward jump any more
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(emptied);
    EXPECT_EQ(err, "[n_stream_sync] cross-stream gap 1500000000 ns > jump_threshold 1000000000 ns "
                   "-> reset\n");
    EXPECT_EQ(sync->queued(cloud), 1u);

    testing::internal::CaptureStderr();
    const int64_t top = std::numeric_limits<int64_t>::max(),
                  bottom = std::numeric_limits<int64_t>::min();
    EXPECT_EQ(push(wiwc, bottom), 0);
    EXPECT_EQ(push(cloud, top), 0);
    EXPECT_EQ(push(odom, bottom), 0); // heads as far apart as can be: a reset
    EXPECT_TRUE(wait_queued(0, 0, 0));
    EXPECT_EQ(push(cloud, top), 0);
    EXPECT_EQ(push(cloud, bottom), 0); // the furthest step back: a reset
    err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("cross-stream gap 9223372036854775807 ns > jump_threshold"));
    EXPECT_THAT(err, HasSubstr("backward jump on stream 0"));
    EXPECT_EQ(sync->queued(cloud), 1u);
}
