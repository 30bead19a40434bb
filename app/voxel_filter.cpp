#include "app/voxel_filter.h"

#include <cmath>

namespace {

// Each coordinate is mixed over the whole word before the three are combined:
// the standard library's integer hash is the identity, which leaves the voxels
// of a cloud a few thousand distinct values and turns the filter quadratic.
uint64_t mixed(int32_t coordinate) {
    uint64_t x = static_cast<uint32_t>(coordinate) + 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// floor(coordinate / edge) with a 32-bit float quotient, as the voxel grid is
// defined: a point on a voxel boundary within float rounding belongs to the
// voxel the float quotient names. Held within 32 bits: a far point (or a
// quotient that overflows to infinity) shares the outermost voxel instead of
// overflowing the conversion. The coordinate is finite and the edge positive.
int32_t voxelIndex(float coordinate, float edge) {
    float index = std::floor(coordinate / edge);
    constexpr float beyond = 2147483648.0f; // 2^31, the first value past INT32_MAX
    if (index >= beyond)
        return INT32_MAX;
    if (index < -beyond)
        return INT32_MIN;
    return static_cast<int32_t>(index);
}

} // namespace

size_t VoxelKeyHash::operator()(const VoxelKey &key) const {
    return static_cast<size_t>(mixed(key.ix) ^ (mixed(key.iy) << 1) ^ (mixed(key.iz) << 2));
}

VoxelFilter::VoxelFilter(float voxelEdge, size_t expectedPoints)
    : edge(voxelEdge), voxels(expectedPoints) {
    voxels.max_load_factor(1.0f);
}

void VoxelFilter::add(const CloudPoint *points, size_t count) {
    for (const CloudPoint *point = points; point != points + count; ++point) {
        if (!std::isfinite(point->x) || !std::isfinite(point->y) || !std::isfinite(point->z))
            continue;
        voxels[{voxelIndex(point->x, edge), voxelIndex(point->y, edge),
                voxelIndex(point->z, edge)}] = *point;
    }
}

std::vector<CloudPoint> VoxelFilter::points() const {
    std::vector<CloudPoint> out;
    out.reserve(voxels.size());
    for (const auto &entry : voxels)
        out.push_back(entry.second);
    return out;
}

std::vector<CloudPoint> voxelDownsample(const std::vector<CloudPoint> &points, float voxelEdge) {
    if (voxelEdge <= 0 || points.empty())
        return points;
    VoxelFilter filter(voxelEdge, points.size());
    filter.add(points.data(), points.size());
    return filter.points();
}
