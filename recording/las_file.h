// LAS 1.4 point files, the survey world's format (CloudCompare, PDAL, QGIS),
// in point data record format 7: x, y, z as 32-bit integers at 0.1 mm, a
// 16-bit intensity, return 1 of 1, classification, point source ID, GPS time
// and 16-bit RGB, 36 bytes a point, no variable-length records.
//
// The coordinate offset is chosen once per file, at whole metres near the
// first points, so that every point keeps its 0.1 mm. The header is written
// last, when the bounds and counts are known. A point that has no place in
// the file (not finite, or more than about 214 km from the offset) is left out
// and counted.
#pragma once

#include "recording/export_file.h"
#include "recording/point_file_format.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace Las {
constexpr double scale = 0.0001; // metres per coordinate unit
constexpr size_t headerBytes = 375;
constexpr size_t pointBytes = 36;
constexpr uint8_t pointFormat = 7;
} // namespace Las

// What every point of one batch shares: the points themselves carry only
// position, colour and (in the view's layout) intensity.
struct LasBatch {
    double gpsTime = 0;    // the device time of the cloud, in seconds
    uint16_t sourceId = 0; // the frame the points came from, unless they carry a label
    uint8_t classification = 0;
};

// The running contents of a LAS file: its offset, bounds and counts.
class LasPoints {
public:
    // Sets the offset from points (the centre of their finite bounds,
    // rounded to whole metres) if it is not set yet.
    void chooseOffset(const uint8_t *points, size_t count, PointLayout layout);
    // Appends the records of count points to out; returns how many were left out.
    uint64_t append(const uint8_t *points, size_t count, PointLayout layout, const LasBatch &batch,
                    std::string &out);
    // The 375-byte public header block for what was appended.
    std::string header() const;

    uint64_t count() const { return written; }
    const std::array<double, 3> &offset() const { return origin; }

private:
    bool offsetChosen = false;
    std::array<double, 3> origin{};
    std::array<int32_t, 3> low{INT32_MAX, INT32_MAX, INT32_MAX};
    std::array<int32_t, 3> high{INT32_MIN, INT32_MIN, INT32_MIN};
    uint64_t written = 0;
};

// A LAS file written as it goes: a placeholder header, the points, then the
// real header over the placeholder.
class LasFile {
public:
    bool open(const std::string &path, std::string &error);
    // Returns false only for a write error; left-out points add to leftOut().
    bool add(const uint8_t *points, size_t count, PointLayout layout, const LasBatch &batch,
             std::string &error);
    bool close(std::string &error);
    uint64_t count() const { return contents.count(); }
    uint64_t leftOut() const { return skipped; }

private:
    ExportFile file;
    LasPoints contents;
    std::string body;
    uint64_t skipped = 0;
};
