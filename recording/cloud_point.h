// The point record that the stream decoders produce and the renderer uploads
// to the GPU byte for byte: its layout is the renderer's vertex format.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct CloudPoint {
    float x, y, z;     // metres
    uint8_t r, g, b;   // colour
    uint8_t intensity; // 0..255
    uint32_t label;    // frame id: the low 32 bits of the source entry's value1
};
#pragma pack(pop)

static_assert(sizeof(CloudPoint) == 20, "CloudPoint is uploaded as 20-byte vertices");
static_assert(offsetof(CloudPoint, r) == 12 && offsetof(CloudPoint, intensity) == 15 &&
                  offsetof(CloudPoint, label) == 16,
              "CloudPoint's layout is the vertex attribute table");
