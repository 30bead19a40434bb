// The voxel filter against a plain reference, on clouds that take each of its ways.
#include "recording/voxel_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <tuple>

namespace {

using Key = std::tuple<int64_t, int64_t, int64_t>;

Key keyOf(const CloudPoint &p, float edge) {
    const auto index = [edge](float coordinate) { // of the float32 quotient
        return int64_t(std::clamp<double>(std::floor(coordinate / edge), INT32_MIN, INT32_MAX));
    };
    return {index(p.x), index(p.y), index(p.z)};
}

// Survivors equal the reference's: one per voxel, the last point met in it.
void expectSurvivors(const std::vector<CloudPoint> &got, const std::vector<CloudPoint> &points,
                     float edge) {
    std::map<Key, uint32_t> want, seen;
    for (const CloudPoint &p : points)
        if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z))
            want[keyOf(p, edge)] = p.label;
    for (const CloudPoint &p : got)
        seen.emplace(keyOf(p, edge), p.label);
    EXPECT_EQ(seen.size(), got.size()) << "two survivors in one voxel";
    EXPECT_EQ(seen, want);
}

std::vector<CloudPoint> cloud(size_t n, float extent, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> where(-extent, extent);
    std::vector<CloudPoint> out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = {where(random), where(random), where(random), 1, 2, 3, 0, uint32_t(i)};
    return out;
}

} // namespace

TEST(VoxelFilter, KeepsTheLastPointOfEachVoxelOnEveryKindOfCloud) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<CloudPoint> withFarPoints = cloud(5000, 2, 2);
    withFarPoints[10].x = 1e30f; // the outermost voxel: too wide to sort
    withFarPoints[20].y = -3e38f;
    withFarPoints[30].z = nan;
    withFarPoints[40].x = inf;
    std::vector<CloudPoint> boundaries; // 0.7f / 0.1f is 7, -0.3f / 0.1f is -3
    for (float x : {0.7f, 0.75f, 0.65f, -0.3f, -0.25f, -0.35f})
        boundaries.push_back({x, 0, 0, 0, 0, 0, 0, uint32_t(boundaries.size())});
    const struct {
        const char *name;
        std::vector<CloudPoint> points;
        float edge;
    } cases[] = {
        {"dense room", cloud(20000, 1, 1), 0.05f},
        {"sparse cube", cloud(20000, 5, 3), 0.05f},
        {"far points", withFarPoints, 0.05f},
        {"boundaries", boundaries, 0.1f},
        {"one voxel", cloud(100, 0.01f, 4), 1.0f},
        {"no place", {{nan, 0, 0, 0, 0, 0, 0, 0}, {0, inf, 0, 0, 0, 0, 0, 1}}, 0.1f},
        // NaN's index is the outermost one too: it must not join the far points' voxel.
        {"far and no place",
         {{1e30f, 1e30f, 1e30f, 0, 0, 0, 0, 0},
          {2e30f, 1e30f, 3e30f, 0, 0, 0, 0, 1},
          {nan, nan, nan, 0, 0, 0, 0, 2}},
         0.1f},
    };
    for (const auto &each : cases) {
        SCOPED_TRACE(each.name);
        expectSurvivors(voxelDownsample(each.points, each.edge), each.points, each.edge);
        VoxelFilter incremental(each.edge);
        const size_t half = each.points.size() / 2;
        incremental.add(each.points.data(), half);
        incremental.add(each.points.data() + half, each.points.size() - half);
        expectSurvivors(incremental.points(), each.points, each.edge);
    }
    EXPECT_EQ(voxelDownsample(boundaries, 0.1f).size(), 4u) << "voxels 7, 6, -3 and -4";
    EXPECT_EQ(voxelDownsample(boundaries, 0.0f).size(), boundaries.size()) << "0 filters nothing";
}
