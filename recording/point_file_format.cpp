#include "recording/point_file_format.h"

#include "recording/export_text.h"
#include "recording/record_layout.h"
#include "sdk/common/byte_order.h"

#include <cstring>

namespace {

constexpr size_t pointBytes = StreamDecoding::CLOUD_RECORD_POINT_BYTES;
constexpr size_t colourAt = StreamDecoding::CLOUD_POINT_COLOUR_AT;
constexpr size_t pcdPointBytes = 16;

std::string plyHeader(bool ascii, uint64_t count, const std::string &comment) {
    return std::string("ply\nformat ") + (ascii ? "ascii" : "binary_little_endian") +
           " 1.0\ncomment " + comment + "\nelement vertex " + std::to_string(count) +
           "\nproperty float x\nproperty float y\nproperty float z\n"
           "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n";
}

std::string pcdHeader(bool ascii, uint64_t count, const std::string &comment) {
    const std::string n = std::to_string(count);
    return "# .PCD v0.7 - Point Cloud Data file format\n# " + comment +
           "\nVERSION 0.7\nFIELDS x y z rgb\nSIZE 4 4 4 4\nTYPE F F F " + (ascii ? "U" : "F") +
           "\nCOUNT 1 1 1 1\nWIDTH " + n + "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " + n +
           "\nDATA " + (ascii ? "ascii" : "binary") + "\n";
}

uint32_t packedColour(const uint8_t *point) {
    return uint32_t(point[colourAt]) << 16 | uint32_t(point[colourAt + 1]) << 8 |
           point[colourAt + 2];
}

// Binary PCD: x y z as they are, then the colour as B G R 0 (0x00RRGGBB little-endian).
void appendPcdBinary(const uint8_t *points, size_t count, std::string &out) {
    const size_t start = out.size();
    out.resize(start + count * pcdPointBytes);
    uint8_t *to = reinterpret_cast<uint8_t *>(&out[start]);
    for (const uint8_t *point = points; point != points + count * pointBytes;
         point += pointBytes, to += pcdPointBytes) {
        memcpy(to, point, colourAt);
        put_le32(to + colourAt, packedColour(point));
    }
}

// The shortest text of each float32 reads back as the same float.
void appendText(PointFileFormat format, const uint8_t *points, size_t count, std::string &out) {
    const char separator = format == PointFileFormat::Csv ? ',' : ' ';
    for (const uint8_t *point = points; point != points + count * pointBytes; point += pointBytes) {
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
    return std::nullopt;
}

const char *pointFileExtension(PointFileFormat format) {
    switch (format) {
    case PointFileFormat::Ply:
        return ".ply";
    case PointFileFormat::Pcd:
        return ".pcd";
    case PointFileFormat::Csv:
        break;
    }
    return ".csv";
}

std::string pointFileHeader(PointFileFormat format, bool ascii, uint64_t count,
                            const std::string &comment) {
    switch (format) {
    case PointFileFormat::Ply:
        return plyHeader(ascii, count, comment);
    case PointFileFormat::Pcd:
        return pcdHeader(ascii, count, comment);
    case PointFileFormat::Csv:
        break;
    }
    return "x,y,z,red,green,blue\n";
}

void appendPointFileBody(PointFileFormat format, bool ascii, const uint8_t *points, size_t count,
                         std::string &out) {
    if (format == PointFileFormat::Csv || ascii)
        appendText(format, points, count, out);
    else if (format == PointFileFormat::Ply) // the recorded layout is binary PLY's
        out.append(reinterpret_cast<const char *>(points), count * pointBytes);
    else
        appendPcdBinary(points, count, out);
}
