// What the virtual KestOne spends making one item of each kind at the "full"
// preset's sizes: a SLAM scan, a depth frame, a camera picture. At the
// preset's rates (10, 15 and 30 per second) the time per item times the rate
// is the share of one core the device's threads need for that stream.
#include "sim/kestone.h"
#include "sim/kestone_camera.h"
#include "sim/kestone_payloads.h"
#include "sim/kestone_scan.h"

#include <benchmark/benchmark.h>

namespace {

const kest_sim::stream_settings full = kest_sim::stream_preset("full");

void BM_SlamScan(benchmark::State &state) {
    uint64_t frame = 0;
    size_t points = 0;
    for (auto _ : state) {
        auto scan = kest_sim::cloud_scan(full, frame, frame * 0.1);
        points += scan.size();
        ++frame;
        benchmark::DoNotOptimize(scan.data());
    }
    state.counters["points_per_scan"] =
        static_cast<double>(points) / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SlamScan)->Unit(benchmark::kMillisecond);

void BM_DepthFrame(benchmark::State &state) {
    uint64_t frame = 0;
    for (auto _ : state) {
        auto payload = kest_sim::dtof_payload(full, frame, 0, frame / full.dtof_hz);
        ++frame;
        benchmark::DoNotOptimize(payload.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DepthFrame)->Unit(benchmark::kMillisecond);

// A picture made afresh each time (the device keeps them once per place on
// its loop, so this is its cost in the first loop).
void BM_CameraPicture(benchmark::State &state) {
    uint64_t k = 0;
    for (auto _ : state) {
        auto jpeg = kest_sim::camera_picture(full.camera, full.motion, k / full.image_hz);
        ++k;
        benchmark::DoNotOptimize(jpeg.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CameraPicture)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
