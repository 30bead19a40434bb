// The voxel filter of the point cloud view and of a recording's merged map:
// one point per occupied voxel of a cubic grid, the last one that fell in it.
// A point without a place (NaN or infinite) belongs to no voxel and is left out.
#pragma once

#include "recording/cloud_point.h"

#include <cstddef>
#include <cstdint>
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
// and keeps only the survivors, in the order their voxels were first met, so
// a whole map never has to be held at once. A flat open-addressing table.
class VoxelFilter {
public:
    // edge > 0, in metres; expectedVoxels sizes the table at the start.
    explicit VoxelFilter(float edge, size_t expectedVoxels = 0);

    void add(const CloudPoint *points, size_t count);
    size_t size() const { return survivors.size(); }
    const std::vector<CloudPoint> &points() const { return survivors; }

private:
    struct Slot {
        static constexpr uint32_t empty = UINT32_MAX;
        VoxelKey key{0, 0, 0};
        uint32_t survivor = empty; // in survivors
    };
    size_t find(const VoxelKey &key) const;
    void place(const VoxelKey &key, uint32_t survivor);
    void grow();

    float edge;
    std::vector<Slot> table; // a power of two, at most half full
    std::vector<CloudPoint> survivors;
};

// The filter in one call; an edge of 0 or less filters nothing. The survivors
// come in no particular order.
std::vector<CloudPoint> voxelDownsample(const std::vector<CloudPoint> &points, float voxelEdge);
