// Colouring points by a value (height, range, a coordinate): the perceptual
// colour maps the view offers and the range of values a map spans. Plain
// functions, no GL: the view uploads a map as a 1D texture and the vertex
// shader looks values up in it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace colour_scale {

enum Colormap { Turbo = 0, Viridis = 1, Grey = 2 };
constexpr int colormapCount = 3;
constexpr int tableSize = 256;

using Rgb = std::array<uint8_t, 3>;

// The colour of t (0 at the low end, 1 at the high end; clamped) in map.
Rgb colourAt(Colormap map, float t);
// tableSize colours from 0 to 1, for the texture: entry i is colourAt(i / 255).
std::array<Rgb, tableSize> table(Colormap map);
const char *nameOf(Colormap map); // "turbo", "viridis", "grey"
std::optional<Colormap> colormapNamed(const char *name);

// How many values robustRange needs to be representative: a caller with more
// takes every n-th.
constexpr size_t rangeSample = 65536;
// The tail-th and (1 - tail)-th quantiles of values (the 2nd and 98th
// percentiles by default), so that a few far outliers do not squeeze the rest
// into one colour or out of a framed view. Non-finite values are left out; none
// left: nothing. A span narrower than a millimetre is widened to one around its
// middle.
std::optional<std::pair<float, float>> robustRange(std::vector<float> values, float tail = 0.02f);

} // namespace colour_scale
