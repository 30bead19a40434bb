// The voxel filter against a plain reference (a std::map from voxel to the last point met in it) on
// the clouds that take each of its ways: room-sized ones (sorted), ones with far points (the
// table), and the incremental filter.
#include "recording/voxel_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <tuple>
#include <unordered_set>

namespace {

using Key = std::tuple<int64_t, int64_t, int64_t>;

int64_t referenceIndex(float coordinate, float edge) {
    const float index = std::floor(coordinate / edge); // the float32 quotient
    return static_cast<int64_t>(std::clamp<double>(index, INT32_MIN, INT32_MAX));
}

std::map<Key, CloudPoint> reference(const std::vector<CloudPoint> &points, float edge) {
    std::map<Key, CloudPoint> out;
    for (const CloudPoint &p : points)
        if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z))
            out[{referenceIndex(p.x, edge), referenceIndex(p.y, edge), referenceIndex(p.z, edge)}] =
                p;
    return out;
}

// Survivors equal the reference's: one per voxel, the last point met in it.
void expectSurvivors(const std::vector<CloudPoint> &got, const std::vector<CloudPoint> &points,
                     float edge) {
    const std::map<Key, CloudPoint> want = reference(points, edge);
    ASSERT_EQ(got.size(), want.size());
    std::map<Key, CloudPoint> seen;
    for (const CloudPoint &p : got) {
        const Key key{referenceIndex(p.x, edge), referenceIndex(p.y, edge),
                      referenceIndex(p.z, edge)};
        ASSERT_TRUE(seen.emplace(key, p).second) << "two survivors in one voxel";
        auto found = want.find(key);
        ASSERT_NE(found, want.end());
        EXPECT_EQ(found->second.label, p.label) << "not the last point of its voxel";
    }
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
        {"one point", cloud(1, 1, 5), 0.1f},
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

TEST(VoxelKeys, NeighbouringVoxelsHashApart) {
    // A 5 cm grid over a 10 x 10 x 2 m room: every voxel should find its own bucket, or the table
    // slows to a crawl on large clouds.
    VoxelKeyHash hash;
    std::unordered_set<size_t> values;
    size_t keys = 0;
    for (int32_t x = -100; x < 100; ++x)
        for (int32_t y = -100; y < 100; ++y)
            for (int32_t z = -20; z < 20; ++z, ++keys)
                values.insert(hash({x, y, z}) % 2000003); // a prime bucket count
    EXPECT_GT(values.size(), keys * 6 / 10) << "distinct buckets of " << keys << " voxels";
}
