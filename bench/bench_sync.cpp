// The SLAM synchronizer's throughput: three streams (100 kB clouds, 688-byte
// odometry and wiwc) pushed at matching time stamps, sets counted as the worker
// hands them out; beside memcpy of the same bytes, the floor of the one copy a
// push makes.
#include "sdk/api/stream_layout.h"
#include "sdk/sync/n_stream_sync.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr size_t cloud_bytes = 100000;
constexpr size_t record_bytes = 688;

void BM_SlamSets(benchmark::State &state) {
    std::vector<uint8_t> cloud(cloud_bytes, 0x11), odom(record_bytes, 0x22),
        wiwc(record_bytes, 0x33);
    std::atomic<uint64_t> sets{0};
    zev_sync::n_stream_sync sync(slam_sync_config());
    sync.start(
        [&](std::vector<zev_sync::sample> &&) { sets.fetch_add(1, std::memory_order_relaxed); },
        nullptr);
    int64_t t = 1700000000000000000;
    uint64_t pushed = 0;
    for (auto _ : state) {
        t += 100000000; // 10 Hz
        sync.push(SLAM_STREAM_WIWC, t, wiwc.data(), wiwc.size(), 0);
        sync.push(SLAM_STREAM_CLOUD, t, cloud.data(), cloud.size(), 0);
        sync.push(SLAM_STREAM_ODOMETRY, t, odom.data(), odom.size(), 0);
        pushed++;
        // Stay within the queue capacity, as a real producer at 10 Hz does.
        while (pushed - sets.load(std::memory_order_relaxed) > 16)
            std::this_thread::yield();
    }
    while (sets.load() < pushed)
        std::this_thread::yield();
    sync.stop();
    state.counters["sets_per_s"] =
        benchmark::Counter(static_cast<double>(pushed), benchmark::Counter::kIsRate);
    state.counters["pushes_per_s"] =
        benchmark::Counter(static_cast<double>(3 * pushed), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(pushed * (cloud_bytes + 2 * record_bytes)));
}

void BM_MemcpySameBytes(benchmark::State &state) {
    std::vector<uint8_t> source(cloud_bytes + 2 * record_bytes, 0x44), target(source.size());
    for (auto _ : state) {
        memcpy(target.data(), source.data(), source.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.counters["sets_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * source.size()));
}

} // namespace

BENCHMARK(BM_SlamSets)->UseRealTime();
BENCHMARK(BM_MemcpySameBytes);
BENCHMARK_MAIN();
