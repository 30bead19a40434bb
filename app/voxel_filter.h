// The voxel filter of the point cloud view and of a recording's merged map:
// one point per occupied voxel of a cubic grid, the last one that fell in it.
// A point without a place (NaN or infinite) belongs to no voxel and is left out.
#pragma once

#include "app/cloud_point.h"

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

// A voxel's integer coordinates: floor(coordinate / voxel edge) per axis.
struct VoxelKey {
    int32_t ix, iy, iz;
    bool operator==(const VoxelKey &other) const {
        return ix == other.ix && iy == other.iy && iz == other.iz;
    }
};

struct VoxelKeyHash {
    size_t operator()(const VoxelKey &key) const;
};

// Takes points a batch at a time (a recording's clouds, one after the other)
// and keeps only the survivors, so a whole map never has to be held at once.
class VoxelFilter {
public:
    // edge > 0, in metres.
    explicit VoxelFilter(float edge, size_t expectedPoints = 0);

    void add(const CloudPoint *points, size_t count);
    size_t size() const { return voxels.size(); }
    // The survivors, in no particular order.
    std::vector<CloudPoint> points() const;

private:
    float edge;
    std::unordered_map<VoxelKey, CloudPoint, VoxelKeyHash> voxels;
};

// The filter in one call; an edge of 0 or less filters nothing.
std::vector<CloudPoint> voxelDownsample(const std::vector<CloudPoint> &points, float voxelEdge);
