#include "recording/point_file_format.h"

#include "recording/cloud_point.h"
#include "recording/export_text.h"
#include "recording/record_layout.h"
#include "sdk/common/byte_order.h"

#include <cstring>

namespace {

constexpr size_t pointBytes = StreamDecoding::CLOUD_RECORD_POINT_BYTES;
constexpr size_t colourAt = StreamDecoding::CLOUD_POINT_COLOUR_AT;
constexpr size_t pcdPointBytes = 16; // without intensity
constexpr size_t intensityAt = colourAt + 3;
static_assert(viewPoints.stride == sizeof(CloudPoint) &&
                  offsetof(CloudPoint, intensity) == intensityAt &&
                  offsetof(CloudPoint, r) == colourAt,
              "the view's points are CloudPoints");

std::string plyHeader(bool ascii, uint64_t count, const std::string &comment, bool intensity) {
    return std::string("ply\nformat ") + (ascii ? "ascii" : "binary_little_endian") +
           " 1.0\ncomment " + comment + "\nelement vertex " + std::to_string(count) +
           "\nproperty float x\nproperty float y\nproperty float z\n"
           "property uchar red\nproperty uchar green\nproperty uchar blue\n" +
           (intensity ? "property uchar intensity\n" : "") + "end_header\n";
}

std::string pcdHeader(bool ascii, uint64_t count, const std::string &comment, bool intensity) {
    const std::string n = std::to_string(count);
    return "# .PCD v0.7 - Point Cloud Data file format\n# " + comment +
           "\nVERSION 0.7\nFIELDS x y z rgb" + (intensity ? " intensity" : "") + "\nSIZE 4 4 4 4" +
           (intensity ? " 1" : "") + "\nTYPE F F F " + (ascii ? "U" : "F") +
           (intensity ? " U" : "") + "\nCOUNT 1 1 1 1" + (intensity ? " 1" : "") + "\nWIDTH " + n +
           "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " + n + "\nDATA " +
           (ascii ? "ascii" : "binary") + "\n";
}

uint32_t packedColour(const uint8_t *point) {
    return uint32_t(point[colourAt]) << 16 | uint32_t(point[colourAt + 1]) << 8 |
           point[colourAt + 2];
}

// Binary PCD: x y z as they are, then the colour as B G R 0 (0x00RRGGBB
// little-endian), then the intensity where the layout has it.
void appendPcdBinary(const uint8_t *points, size_t count, std::string &out, PointLayout layout) {
    const size_t written = pcdPointBytes + (layout.intensity ? 1 : 0);
    const size_t start = out.size();
    out.resize(start + count * written);
    uint8_t *to = reinterpret_cast<uint8_t *>(&out[start]);
    for (const uint8_t *point = points; point != points + count * layout.stride;
         point += layout.stride, to += written) {
        memcpy(to, point, colourAt);
        put_le32(to + colourAt, packedColour(point));
        if (layout.intensity)
            to[pcdPointBytes] = point[intensityAt];
    }
}

// Binary PLY: the recorded layout is the file's; the view's points lose their label.
void appendPlyBinary(const uint8_t *points, size_t count, std::string &out, PointLayout layout) {
    const size_t written = pointBytes + (layout.intensity ? 1 : 0);
    if (written == layout.stride) {
        out.append(reinterpret_cast<const char *>(points), count * written);
        return;
    }
    for (const uint8_t *point = points; point != points + count * layout.stride;
         point += layout.stride)
        out.append(reinterpret_cast<const char *>(point), written);
}

// The shortest text of each float32 reads back as the same float.
void appendText(PointFileFormat format, const uint8_t *points, size_t count, std::string &out,
                PointLayout layout) {
    const char separator = format == PointFileFormat::Csv ? ',' : ' ';
    for (const uint8_t *point = points; point != points + count * layout.stride;
         point += layout.stride) {
        for (size_t axis = 0; axis < 3; ++axis) {
            appendFloat(out, get_le_float(point + 4 * axis));
            out += separator;
        }
        if (format == PointFileFormat::Pcd) {
            appendUnsigned(out, packedColour(point));
        } else {
            for (size_t channel = 0; channel < 3; ++channel) {
                appendUnsigned(out, point[colourAt + channel]);
                if (channel < 2)
                    out += separator;
            }
        }
        if (layout.intensity) {
            out += separator;
            appendUnsigned(out, point[intensityAt]);
        }
        out += '\n';
    }
}

} // namespace

std::optional<PointFileFormat> pointFileFormatNamed(const std::string &name) {
    if (name == "ply")
        return PointFileFormat::Ply;
    if (name == "pcd")
        return PointFileFormat::Pcd;
    if (name == "csv")
        return PointFileFormat::Csv;
    if (name == "las")
        return PointFileFormat::Las;
    return std::nullopt;
}

const char *pointFileExtension(PointFileFormat format) {
    switch (format) {
    case PointFileFormat::Ply:
        return ".ply";
    case PointFileFormat::Pcd:
        return ".pcd";
    case PointFileFormat::Las:
        return ".las";
    case PointFileFormat::Csv:
        break;
    }
    return ".csv";
}

std::string pointFileHeader(PointFileFormat format, bool ascii, uint64_t count,
                            const std::string &comment, bool intensity) {
    switch (format) {
    case PointFileFormat::Ply:
        return plyHeader(ascii, count, comment, intensity);
    case PointFileFormat::Pcd:
        return pcdHeader(ascii, count, comment, intensity);
    case PointFileFormat::Csv:
    case PointFileFormat::Las:
        break;
    }
    return intensity ? "x,y,z,red,green,blue,intensity\n" : "x,y,z,red,green,blue\n";
}

void appendPointFileBody(PointFileFormat format, bool ascii, const uint8_t *points, size_t count,
                         std::string &out, PointLayout layout) {
    if (format == PointFileFormat::Csv || ascii)
        appendText(format, points, count, out, layout);
    else if (format == PointFileFormat::Ply)
        appendPlyBinary(points, count, out, layout);
    else
        appendPcdBinary(points, count, out, layout);
}
