// The voxel filter in points per second on one core: a scanned room (walls
// with a centimetre of noise) and points spread uniformly in a 10 m cube, each
// at 200 000 and 2 000 000 points, at 5 cm, beside copying the same points.
// With --points FILE (x y z as float32, as bench/compare_open3d.py writes
// them) it times the filter on those points instead and prints the best of
// --repeat runs in milliseconds, for comparing with other implementations.
#include "recording/voxel_filter.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

namespace {

// Points on the walls, floor and ceiling of a 10 x 8 x 3 m room, 1 cm noise.
std::vector<CloudPoint> roomScan(size_t n) {
    std::mt19937 random(5);
    std::uniform_real_distribution<float> unit(0, 1);
    std::normal_distribution<float> noise(0, 0.01f);
    const float size[3] = {10, 8, 3};
    std::vector<CloudPoint> out(n);
    for (CloudPoint &p : out) {
        float xyz[3] = {unit(random) * size[0], unit(random) * size[1], unit(random) * size[2]};
        const int axis = int(random() % 3);
        xyz[axis] = (random() % 2 ? size[axis] : 0) + noise(random);
        p = {xyz[0], xyz[1], xyz[2], 90, 90, 90, 0, 0};
    }
    return out;
}

std::vector<CloudPoint> uniformCube(size_t n) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> metres(-5, 5);
    std::vector<CloudPoint> out(n);
    for (CloudPoint &p : out)
        p = {metres(random), metres(random), metres(random), 90, 90, 90, 0, 0};
    return out;
}

void BM_Voxel(benchmark::State &state) {
    const size_t n = size_t(state.range(1));
    const std::vector<CloudPoint> points = state.range(0) == 0 ? roomScan(n) : uniformCube(n);
    size_t kept = 0;
    for (auto _ : state) {
        const std::vector<CloudPoint> survivors = voxelDownsample(points, 0.05f);
        kept = survivors.size();
        benchmark::DoNotOptimize(survivors.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations() * n));
    state.counters["kept"] = double(kept);
}
BENCHMARK(BM_Voxel)
    ->ArgNames({"cube", "points"})
    ->Args({0, 200000})
    ->Args({0, 2000000})
    ->Args({1, 200000})
    ->Args({1, 2000000})
    ->Unit(benchmark::kMillisecond);

void BM_CopyBaseline(benchmark::State &state) {
    const std::vector<CloudPoint> points = uniformCube(size_t(state.range(0)));
    for (auto _ : state) {
        std::vector<CloudPoint> copy = points;
        benchmark::DoNotOptimize(copy.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations() * points.size()));
}
BENCHMARK(BM_CopyBaseline)->Arg(2000000)->Unit(benchmark::kMillisecond);

// --points FILE [--edge METRES] [--repeat N]: the best time, in ms, and the survivors.
int timeFile(const std::string &path, float edge, int repeat) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<CloudPoint> points(bytes.size() / 12);
    for (size_t i = 0; i < points.size(); ++i) {
        memcpy(&points[i].x, &bytes[12 * i], 12);
        points[i].r = points[i].g = points[i].b = 90;
    }
    if (points.empty()) {
        fprintf(stderr, "bench_voxel: no points in %s\n", path.c_str());
        return 1;
    }
    double best = 1e300;
    size_t kept = 0;
    for (int run = 0; run < repeat; ++run) {
        const auto began = std::chrono::steady_clock::now();
        kept = voxelDownsample(points, edge).size();
        best = std::min(best, std::chrono::duration<double, std::milli>(
                                  std::chrono::steady_clock::now() - began)
                                  .count());
    }
    printf("%.3f ms %zu kept of %zu\n", best, kept, points.size());
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) != "--points")
            continue;
        float edge = 0.05f;
        int repeat = 3;
        for (int j = 1; j + 1 < argc; ++j) {
            if (std::string(argv[j]) == "--edge")
                edge = std::stof(argv[j + 1]);
            if (std::string(argv[j]) == "--repeat")
                repeat = std::stoi(argv[j + 1]);
        }
        return timeFile(argv[i + 1], edge, repeat);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
