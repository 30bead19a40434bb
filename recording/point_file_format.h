// Point files as the field's tools read them: PLY (binary little-endian or
// ASCII), PCD v0.7 (binary or ASCII) and CSV, each with x y z as float32 in
// metres and red green blue as uint8. PCD carries the colour as PCL does: one
// 4-byte field "rgb" holding 0x00RRGGBB (type F in binary files, U in ASCII
// ones, where a float's text would not round-trip the bits).
//
// The points come as a recording stores them: 15 bytes each, x y z f32 and
// r g b u8, little-endian; or as the view stores them (CloudPoint, 20 bytes),
// whose intensity the files then carry as one more uint8 field, "intensity".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// LAS files are written by las_file.h: its header needs the points' bounds.
enum class PointFileFormat { Ply, Pcd, Csv, Las };

// How the points handed to the writers are laid out.
struct PointLayout {
    size_t stride;  // bytes from one point to the next
    bool intensity; // a u8 intensity follows the colour, and is written
    bool label;     // a u32 frame label follows the intensity (LAS keeps it)
};
constexpr PointLayout recordedPoints{15, false, false};
constexpr PointLayout viewPoints{20, true, true};

std::optional<PointFileFormat> pointFileFormatNamed(const std::string &name);
const char *pointFileExtension(PointFileFormat format);

// What comes before the points; comment is one line (PLY and PCD only). Not for LAS.
std::string pointFileHeader(PointFileFormat format, bool ascii, uint64_t count,
                            const std::string &comment, bool intensity = false);
// Appends count points to out in the body's encoding.
void appendPointFileBody(PointFileFormat format, bool ascii, const uint8_t *points, size_t count,
                         std::string &out, PointLayout layout = recordedPoints);
