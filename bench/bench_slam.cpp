// The SLAM cloud transform in points per second for 20 000- and 200 000-point
// clouds, beside copying the same bytes.
#include "sdk/api/slam_cloud.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> cloud(size_t points) {
    std::vector<uint8_t> bytes(points * CLOUD_POINT_BYTES);
    for (size_t i = 0; i < points; ++i) {
        int32_t xyz[3] = {static_cast<int32_t>(i % 40000) - 20000, static_cast<int32_t>(i % 3000),
                          static_cast<int32_t>(i % 777)};
        memcpy(bytes.data() + i * CLOUD_POINT_BYTES, xyz, sizeof xyz);
    }
    return bytes;
}

std::vector<uint8_t> record_with(size_t at, const double *values, size_t count) {
    std::vector<uint8_t> out(688, 0);
    memcpy(out.data() + at, values, count * sizeof(double));
    return out;
}

void BM_CloudTransform(benchmark::State &state) {
    auto points = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> input = cloud(points);
    int64_t odometry_words[7] = {120000, -30000, 5000, 0, 0, 382683, 923880}; // 45 degrees about z
    std::vector<uint8_t> odometry(688, 0);
    memcpy(odometry.data() + 8, odometry_words, sizeof odometry_words);
    const double a[12] = {0, -1, 0, 0.1, 1, 0, 0, 0.2, 0, 0, 1, 0.3};
    const double b[12] = {1, 0, 0, 0.5, 0, 0, -1, 0, 0, 1, 0, 0};
    std::vector<uint8_t> wiwc = record_with(112, a, 12);
    memcpy(wiwc.data() + 400, b, sizeof b);
    std::vector<uint8_t> out;
    for (auto _ : state) {
        cloud_transform(input.data(), input.size(), odometry.data(), wiwc.data(), out);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["points_per_s"] = benchmark::Counter(
        static_cast<double>(points), benchmark::Counter::kIsIterationInvariantRate);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

void BM_CopySameBytes(benchmark::State &state) {
    auto points = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> input = cloud(points), out;
    for (auto _ : state) {
        out.assign(input.begin(), input.end());
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["points_per_s"] = benchmark::Counter(
        static_cast<double>(points), benchmark::Counter::kIsIterationInvariantRate);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

} // namespace

BENCHMARK(BM_CloudTransform)->Arg(20000)->Arg(200000);
BENCHMARK(BM_CopySameBytes)->Arg(20000)->Arg(200000);
BENCHMARK_MAIN();
