// The voxel filter (see the header). Three ways to the same survivors:
// - a cloud whose grid of voxels is at most 64 per point: a bit per voxel,
//   the points walked from the last back, so that the first point met in a
//   voxel is its last (the grid is sized from a sample; the few points outside
//   it are filtered apart, as none of their voxels is in it);
// - a sparser cloud whose voxel numbers and point numbers pack into 64 bits:
//   a radix sort by voxel; the last point of each run of one voxel survives;
// - anything else (far points in the grid's outermost voxels), and the
//   incremental VoxelFilter: a flat open-addressing table.
#include "recording/voxel_filter.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <memory>
#include <utility>

namespace {

// Each coordinate is mixed over the whole word before the three are combined:
// an identity hash leaves the voxels of a cloud a few thousand distinct values.
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
inline int32_t voxelIndex(float coordinate, float edge) {
    const float quotient = coordinate / edge;
    constexpr float beyond = 2147483648.0f; // 2^31, the first value past INT32_MAX
    if (!(quotient < beyond))
        return INT32_MAX;
    if (quotient < -beyond)
        return INT32_MIN;
    // floor without a call into the maths library: the conversion truncates
    // towards zero, one too high for a negative quotient with a fraction.
    const int32_t truncated = static_cast<int32_t>(quotient);
    return static_cast<float>(truncated) > quotient ? truncated - 1 : truncated;
}

bool hasPlace(const CloudPoint &point) {
    return std::isfinite(point.x) && std::isfinite(point.y) && std::isfinite(point.z);
}

VoxelKey keyOf(const CloudPoint &point, float edge) {
    return {voxelIndex(point.x, edge), voxelIndex(point.y, edge), voxelIndex(point.z, edge)};
}

int bitsFor(uint64_t span) { // bits to number 0..span
    int bits = 0;
    while (bits < 64 && (span >> bits) != 0)
        ++bits;
    return bits;
}

// The voxels a cloud's points fall in, from the bounds of their coordinates
// (the voxel index never falls as a coordinate rises).
struct Grid {
    bool any = false; // a point with a place
    int32_t low[3] = {0, 0, 0};
    uint64_t cells[3] = {0, 0, 0}; // voxels along each axis
};

// Written without a branch per point so that it vectorises: a NaN never wins a
// comparison, and an infinite coordinate only widens the grid (its point has
// no place and is skipped later).
Grid gridOf(const std::vector<CloudPoint> &points, float edge, size_t stride = 1) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    float low[3] = {inf, inf, inf}, high[3] = {-inf, -inf, -inf};
    for (size_t i = 0; i < points.size(); i += stride) {
        const CloudPoint &p = points[i];
        low[0] = p.x < low[0] ? p.x : low[0];
        low[1] = p.y < low[1] ? p.y : low[1];
        low[2] = p.z < low[2] ? p.z : low[2];
        high[0] = p.x > high[0] ? p.x : high[0];
        high[1] = p.y > high[1] ? p.y : high[1];
        high[2] = p.z > high[2] ? p.z : high[2];
    }
    Grid grid;
    grid.any = low[0] <= high[0] && low[1] <= high[1] && low[2] <= high[2];
    for (int a = 0; grid.any && a < 3; ++a) {
        grid.low[a] = voxelIndex(std::max(low[a], -std::numeric_limits<float>::max()), edge);
        const int32_t top = voxelIndex(std::min(high[a], std::numeric_limits<float>::max()), edge);
        grid.cells[a] = uint64_t(int64_t(top) - grid.low[a]) + 1;
    }
    return grid;
}

// A point's voxel numbered within the grid, x slowest.
// The point's voxel numbered within the grid, or false when it lies outside
// or has no place.
inline bool cellWithin(const Grid &grid, const CloudPoint &p, float edge, uint64_t &cell) {
    const uint64_t x = uint64_t(int64_t(voxelIndex(p.x, edge)) - grid.low[0]);
    const uint64_t y = uint64_t(int64_t(voxelIndex(p.y, edge)) - grid.low[1]);
    const uint64_t z = uint64_t(int64_t(voxelIndex(p.z, edge)) - grid.low[2]);
    cell = (x * grid.cells[1] + y) * grid.cells[2] + z;
    return x < grid.cells[0] && y < grid.cells[1] && z < grid.cells[2] && hasPlace(p);
}

inline uint64_t cellOf(const Grid &grid, const CloudPoint &p, float edge) {
    const uint64_t x = uint64_t(int64_t(voxelIndex(p.x, edge)) - grid.low[0]);
    const uint64_t y = uint64_t(int64_t(voxelIndex(p.y, edge)) - grid.low[1]);
    const uint64_t z = uint64_t(int64_t(voxelIndex(p.z, edge)) - grid.low[2]);
    return (x * grid.cells[1] + y) * grid.cells[2] + z;
}

// The survivors in the order of the cloud: one pass over the points instead
// of a jump to each survivor's place.
void gatherKept(const std::vector<CloudPoint> &points, const std::vector<uint8_t> &kept,
                std::vector<CloudPoint> &out) {
    for (size_t i = 0; i < points.size(); ++i)
        if (kept[i] != 0)
            out.push_back(points[i]);
}

// Grids of at most 64 voxels per point (a bit each), and at most this many
// in all (256 MB of bits), are kept whole; sparser ones are sorted.
constexpr uint64_t denseGridVoxels = uint64_t{1} << 31;
constexpr uint64_t denseVoxelsPerPoint = 64;

// From the last point back, the first point met in a voxel is its last one:
// one pass, a bit per voxel. Each point is written to the next free place
// and kept only if it was the first of its voxel, without a branch to guess.
// The grid comes from a sample of the points: the few outside it (and those
// without a place) are filtered apart, as no voxel of theirs is in the grid.
void denseSurvivors(const std::vector<CloudPoint> &points, float edge, const Grid &grid,
                    uint64_t voxels, std::vector<CloudPoint> &out) {
    std::vector<uint64_t> met((voxels + 63) / 64, 0);
    // Not initialised: its pages are only taken as survivors are written.
    std::unique_ptr<CloudPoint[]> found(new CloudPoint[points.size()]);
    std::vector<CloudPoint> outside;
    size_t count = 0;
    for (size_t i = points.size(); i-- > 0;) {
        const CloudPoint &p = points[i];
        uint64_t cell;
        if (!cellWithin(grid, p, edge, cell)) {
            outside.push_back(p);
            continue;
        }
        uint64_t &word = met[cell / 64];
        const uint64_t bit = uint64_t{1} << (cell % 64);
        found[count] = p;
        count += (word & bit) == 0;
        word |= bit;
    }
    out.assign(std::make_reverse_iterator(found.get() + count),
               std::make_reverse_iterator(found.get()));
    if (outside.empty())
        return;
    std::reverse(outside.begin(), outside.end()); // back in the cloud's order
    VoxelFilter apart(edge);
    apart.add(outside.data(), outside.size());
    out.insert(out.end(), apart.points().begin(), apart.points().end());
}

// Every this many points make the sample the dense grid is sized by; the
// grid is then widened by a sixteenth of its span on each side.
constexpr size_t sampleStride = 16;

Grid widened(Grid grid) {
    for (int a = 0; a < 3; ++a) {
        const int64_t margin = int64_t(grid.cells[a] / 16) + 1;
        const int64_t low = std::max<int64_t>(INT32_MIN, int64_t(grid.low[a]) - margin);
        const int64_t high = std::min<int64_t>(INT32_MAX, int64_t(grid.low[a]) +
                                                              int64_t(grid.cells[a]) - 1 + margin);
        grid.low[a] = int32_t(low);
        grid.cells[a] = uint64_t(high - low) + 1;
    }
    return grid;
}

// Stable LSD radix sort of values on bits [low, low + width), in as few
// passes of at most 12 bits as cover them, all counted in one read.
void radixSort(std::vector<uint64_t> &values, int low, int width) {
    if (width <= 0)
        return;
    const int passes = (width + 11) / 12, digit = (width + passes - 1) / passes;
    const uint64_t mask = (uint64_t{1} << digit) - 1;
    std::vector<std::vector<size_t>> count(passes, std::vector<size_t>(mask + 1));
    for (uint64_t value : values)
        for (int pass = 0; pass < passes; ++pass)
            ++count[pass][(value >> (low + pass * digit)) & mask];
    std::vector<uint64_t> spare(values.size());
    for (int pass = 0; pass < passes; ++pass) {
        size_t at = 0;
        for (size_t &bucket : count[pass])
            at += std::exchange(bucket, at);
        const int shift = low + pass * digit;
        for (uint64_t value : values)
            spare[count[pass][(value >> shift) & mask]++] = value;
        values.swap(spare);
    }
}

// Sorted by voxel, the point numbers in the low bits: the last point of each
// run of one voxel survives. False when voxel and number do not fit 64 bits.
bool sortedSurvivors(const std::vector<CloudPoint> &points, float edge, const Grid &grid,
                     std::vector<CloudPoint> &out) {
    const int indexBits = bitsFor(points.size() - 1);
    int keyBits = 0;
    for (uint64_t cells : grid.cells)
        keyBits += bitsFor(cells - 1);
    if (indexBits + keyBits > 64)
        return false;
    std::vector<uint64_t> packed;
    packed.reserve(points.size());
    for (size_t i = 0; i < points.size(); ++i)
        if (hasPlace(points[i]))
            packed.push_back(cellOf(grid, points[i], edge) << indexBits | i);
    radixSort(packed, indexBits, keyBits);
    const uint64_t indexMask = (uint64_t{1} << indexBits) - 1;
    std::vector<uint8_t> kept(points.size(), 0); // then one pass, not a jump per survivor
    for (size_t i = 0; i < packed.size(); ++i)
        if (i + 1 == packed.size() || (packed[i] >> indexBits) != (packed[i + 1] >> indexBits))
            kept[packed[i] & indexMask] = 1;
    gatherKept(points, kept, out);
    return true;
}

// The voxels of the grid in all, or 0 beyond 2^64.
uint64_t voxelsOf(const Grid &grid) {
    uint64_t product = 1;
    for (uint64_t cells : grid.cells) {
        if (cells != 0 && product > UINT64_MAX / cells)
            return 0;
        product *= cells;
    }
    return product;
}

} // namespace

size_t VoxelKeyHash::operator()(const VoxelKey &key) const {
    return static_cast<size_t>(mixed(key.ix) ^ (mixed(key.iy) << 1) ^ (mixed(key.iz) << 2));
}

VoxelFilter::VoxelFilter(float voxelEdge, size_t expectedPoints) : edge(voxelEdge) {
    size_t capacity = 16;
    while (capacity < expectedPoints * 2)
        capacity *= 2;
    table.assign(capacity, Slot{});
}

void VoxelFilter::grow() {
    std::vector<Slot> old(table.size() * 2);
    old.swap(table);
    for (const Slot &slot : old)
        if (slot.survivor != Slot::empty)
            place(slot.key, slot.survivor);
}

// The slot of key: its own, or the empty one where it would go.
size_t VoxelFilter::find(const VoxelKey &key) const {
    const size_t mask = table.size() - 1;
    size_t at = VoxelKeyHash()(key) & mask;
    while (table[at].survivor != Slot::empty && !(table[at].key == key))
        at = (at + 1) & mask;
    return at;
}

void VoxelFilter::place(const VoxelKey &key, uint32_t survivor) {
    Slot &slot = table[find(key)];
    slot.key = key;
    slot.survivor = survivor;
}

void VoxelFilter::add(const CloudPoint *points, size_t count) {
    for (const CloudPoint *point = points; point != points + count; ++point) {
        if (!hasPlace(*point))
            continue;
        const VoxelKey key = keyOf(*point, edge);
        Slot &slot = table[find(key)];
        if (slot.survivor != Slot::empty) {
            survivors[slot.survivor] = *point;
            continue;
        }
        slot.key = key;
        slot.survivor = static_cast<uint32_t>(survivors.size());
        survivors.push_back(*point);
        if (survivors.size() * 2 > table.size())
            grow();
    }
}

std::vector<CloudPoint> voxelDownsample(const std::vector<CloudPoint> &points, float voxelEdge) {
    if (voxelEdge <= 0 || points.empty())
        return points;
    std::vector<CloudPoint> out;
    const Grid sampled = widened(gridOf(points, voxelEdge, sampleStride));
    const uint64_t voxels = voxelsOf(sampled);
    if (voxels != 0 && voxels <= denseGridVoxels && voxels <= denseVoxelsPerPoint * points.size()) {
        denseSurvivors(points, voxelEdge, sampled, voxels, out);
        return out;
    }
    const Grid grid = gridOf(points, voxelEdge);
    if (!grid.any)
        return out;
    if (points.size() < UINT32_MAX && sortedSurvivors(points, voxelEdge, grid, out))
        return out;
    out.clear();
    VoxelFilter filter(voxelEdge, points.size() / 4);
    filter.add(points.data(), points.size());
    return filter.points();
}
