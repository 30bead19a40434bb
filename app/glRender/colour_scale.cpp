#include "app/glRender/colour_scale.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace colour_scale {
namespace {

// Each map as its colours at every tenth of its span (0, 0.1, ... 1), in sRGB;
// between them the colour is interpolated linearly.
constexpr int anchors = 11;
constexpr Rgb maps[colormapCount][anchors] = {
    // Turbo: dark blue through cyan, green and yellow to dark red.
    {{48, 18, 59},
     {69, 91, 206},
     {57, 162, 252},
     {27, 208, 213},
     {70, 247, 131},
     {164, 252, 60},
     {225, 221, 55},
     {254, 163, 49},
     {240, 94, 28},
     {196, 38, 8},
     {122, 4, 3}},
    // Viridis: dark violet through blue and green to yellow.
    {{68, 1, 84},
     {72, 36, 117},
     {65, 68, 135},
     {53, 95, 141},
     {42, 120, 142},
     {33, 145, 140},
     {34, 168, 132},
     {68, 191, 112},
     {122, 209, 81},
     {189, 223, 38},
     {253, 231, 37}},
    // Grey: from a grey that still shows on the view's dark background to white.
    {{64, 64, 64},
     {83, 83, 83},
     {102, 102, 102},
     {121, 121, 121},
     {140, 140, 140},
     {160, 160, 160},
     {179, 179, 179},
     {198, 198, 198},
     {217, 217, 217},
     {236, 236, 236},
     {255, 255, 255}},
};
const char *const names[colormapCount] = {"turbo", "viridis", "grey"};

constexpr float narrowestSpan = 0.001f; // metres

} // namespace

Rgb colourAt(Colormap map, float t) {
    const Rgb *stops = maps[std::clamp(static_cast<int>(map), 0, colormapCount - 1)];
    const float position = std::clamp(std::isfinite(t) ? t : 0.0f, 0.0f, 1.0f) * (anchors - 1);
    const int below = std::min(static_cast<int>(position), anchors - 2);
    const float share = position - static_cast<float>(below);
    Rgb colour{};
    for (size_t c = 0; c < 3; ++c)
        colour[c] = static_cast<uint8_t>(
            std::lround(stops[below][c] + share * (stops[below + 1][c] - stops[below][c])));
    return colour;
}

std::array<Rgb, tableSize> table(Colormap map) {
    std::array<Rgb, tableSize> colours{};
    for (int i = 0; i < tableSize; ++i)
        colours[static_cast<size_t>(i)] = colourAt(map, static_cast<float>(i) / (tableSize - 1));
    return colours;
}

const char *nameOf(Colormap map) {
    return names[std::clamp(static_cast<int>(map), 0, colormapCount - 1)];
}

std::optional<Colormap> colormapNamed(const char *name) {
    for (int i = 0; i < colormapCount; ++i)
        if (std::strcmp(name, names[i]) == 0)
            return static_cast<Colormap>(i);
    return std::nullopt;
}

std::optional<std::pair<float, float>> robustRange(std::vector<float> values, float tail) {
    std::vector<float> &picked = values;
    picked.erase(std::remove_if(picked.begin(), picked.end(),
                                [](float value) { return !std::isfinite(value); }),
                 picked.end());
    if (picked.empty())
        return std::nullopt;
    const auto at = [&picked](float share) {
        auto nth =
            picked.begin() + static_cast<std::ptrdiff_t>(std::lround(share * (picked.size() - 1)));
        std::nth_element(picked.begin(), nth, picked.end());
        return *nth;
    };
    float low = at(tail), high = at(1.0f - tail);
    if (high - low < narrowestSpan) {
        const float middle = 0.5f * (low + high);
        low = middle - 0.5f * narrowestSpan;
        high = middle + 0.5f * narrowestSpan;
    }
    return std::make_pair(low, high);
}

} // namespace colour_scale
