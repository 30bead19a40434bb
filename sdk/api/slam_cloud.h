// Moves SLAM cloud points (28-byte records, x, y, z in 0.1 mm) by the pose that
// an odometry record and a wiwc record give: T = O * B * inverse(A).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t CLOUD_POINT_BYTES = 28;

// out receives the moved points, or a byte copy of them when the odometry or the
// wiwc is missing (null) or A or B is the identity; empty when bytes is 0 or not a
// multiple of 28. odometry and wiwc point at 688-byte records.
void cloud_transform(const uint8_t *points, size_t bytes, const uint8_t *odometry,
                     const uint8_t *wiwc, std::vector<uint8_t> &out);
