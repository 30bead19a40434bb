#include "recording/las_file.h"

#include "sdk/common/byte_order.h"
#include "sdk/common/platform/platform.h"
#include "sdk/common/version/version.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

namespace {

constexpr size_t colourAt = 12, intensityAt = 15, labelAt = 16;
// Global encoding bit 4: a coordinate system would be WKT, as LAS 1.4 asks
// of record formats 6 and above. The file names none: the map frame is local.
constexpr uint16_t wktEncoding = 1u << 4;
constexpr uint8_t firstOfOneReturn = 0x11; // return number 1, number of returns 1
// Where the fields of a record and of the header lie.
constexpr size_t returnAt = 14, classificationAt = 16, sourceAt = 20, gpsTimeAt = 22, rgbAt = 30;
constexpr size_t boundsAt = 179, pointCountAt = 247, byReturnAt = 255;
constexpr double largestUnit = std::numeric_limits<int32_t>::max();
constexpr double unitsPerMetre = 10000; // 1 / Las::scale, exactly

// A byte scaled to the 16 bits LAS gives colours and intensities: 255 is 65535.
uint16_t widened(uint8_t value) {
    return static_cast<uint16_t>(value * 257);
}

void putDouble(uint8_t *at, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    put_le64(at, bits);
}

void putText(uint8_t *at, const char *text, size_t field) {
    std::memcpy(at, text, std::min(std::strlen(text), field)); // the rest stays zero
}

// The coordinate in units from the offset, if it has a place in the file.
// Rounded half away from zero by hand: std::nearbyint is a library call on
// the baseline x86-64 target, and this runs for every coordinate.
bool toUnits(float value, double origin, int32_t &units) {
    const double scaled = (double(value) - origin) * unitsPerMetre;
    if (!(std::fabs(scaled) < largestUnit)) // also false for NaN
        return false;
    units = static_cast<int32_t>(scaled + (scaled < 0 ? -0.5 : 0.5));
    return true;
}

} // namespace

void LasPoints::chooseOffset(const uint8_t *points, size_t count, PointLayout layout) {
    if (offsetChosen)
        return;
    std::array<float, 3> least, most;
    least.fill(std::numeric_limits<float>::max());
    most.fill(std::numeric_limits<float>::lowest());
    bool any = false;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t *point = points + i * layout.stride;
        std::array<float, 3> v;
        for (size_t axis = 0; axis < 3; ++axis)
            v[axis] = get_le_float(point + 4 * axis);
        if (!std::isfinite(v[0]) || !std::isfinite(v[1]) || !std::isfinite(v[2]))
            continue;
        for (size_t axis = 0; axis < 3; ++axis) {
            least[axis] = std::min(least[axis], v[axis]);
            most[axis] = std::max(most[axis], v[axis]);
        }
        any = true;
    }
    if (!any)
        return; // chosen by the next points that have a place
    for (size_t axis = 0; axis < 3; ++axis)
        origin[axis] = std::round((double(least[axis]) + most[axis]) / 2);
    offsetChosen = true;
}

uint64_t LasPoints::append(const uint8_t *points, size_t count, PointLayout layout,
                           const LasBatch &batch, std::string &out) {
    chooseOffset(points, count, layout);
    uint8_t record[Las::pointBytes] = {};
    record[returnAt] = firstOfOneReturn;
    record[classificationAt] = batch.classification;
    put_le16(record + sourceAt, batch.sourceId);
    putDouble(record + gpsTimeAt, batch.gpsTime);
    const size_t start = out.size();
    out.resize(start + count * Las::pointBytes);
    uint8_t *to = reinterpret_cast<uint8_t *>(&out[start]);
    uint64_t leftOut = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t *point = points + i * layout.stride;
        std::array<int32_t, 3> units;
        bool placed = offsetChosen;
        for (size_t axis = 0; axis < 3 && placed; ++axis)
            placed = toUnits(get_le_float(point + 4 * axis), origin[axis], units[axis]);
        if (!placed) {
            ++leftOut;
            continue;
        }
        // Fields written straight into the file's bytes: building the record
        // on the stack and copying it stalls on store forwarding.
        std::memcpy(to, record, Las::pointBytes);
        for (size_t axis = 0; axis < 3; ++axis) {
            put_le32(to + 4 * axis, static_cast<uint32_t>(units[axis]));
            low[axis] = std::min(low[axis], units[axis]);
            high[axis] = std::max(high[axis], units[axis]);
        }
        if (layout.intensity)
            put_le16(to + 12, widened(point[intensityAt]));
        if (layout.label) // the frame's label, as the source of the point
            put_le16(to + sourceAt, static_cast<uint16_t>(get_le32(point + labelAt)));
        for (size_t channel = 0; channel < 3; ++channel)
            put_le16(to + rgbAt + 2 * channel, widened(point[colourAt + channel]));
        to += Las::pointBytes;
        ++written;
    }
    out.resize(out.size() - leftOut * Las::pointBytes);
    return leftOut;
}

std::string LasPoints::header() const {
    std::string bytes(Las::headerBytes, '\0');
    uint8_t *h = reinterpret_cast<uint8_t *>(&bytes[0]);
    std::memcpy(h, "LASF", 4);
    put_le16(h + 6, wktEncoding);
    h[24] = 1; // version 1.4
    h[25] = 4;
    putText(h + 26, "OTHER", 32);
    putText(h + 58, (std::string("KestViewer ") + kest_sdk_version()).c_str(), 32);
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    platform_utc_time(now, utc);
    put_le16(h + 90, static_cast<uint16_t>(utc.tm_yday + 1));
    put_le16(h + 92, static_cast<uint16_t>(utc.tm_year + 1900));
    put_le16(h + 94, Las::headerBytes);
    put_le32(h + 96, Las::headerBytes); // no variable-length records
    h[104] = Las::pointFormat;
    put_le16(h + 105, Las::pointBytes);
    // The legacy counts (offsets 107 and 111) stay zero: LAS 1.4 asks that of
    // record formats 6 and above, whose readers take the 64-bit counts.
    for (size_t axis = 0; axis < 3; ++axis) {
        putDouble(h + 131 + 8 * axis, Las::scale);
        putDouble(h + 155 + 8 * axis, origin[axis]);
        // Max then min, per axis: the extents of the stored coordinates.
        const double most = written ? high[axis] * Las::scale + origin[axis] : 0;
        const double least = written ? low[axis] * Las::scale + origin[axis] : 0;
        putDouble(h + boundsAt + 16 * axis, most);
        putDouble(h + boundsAt + 16 * axis + 8, least);
    }
    put_le64(h + pointCountAt, written);
    put_le64(h + byReturnAt, written); // every point is a first return
    return bytes;
}

bool LasFile::open(const std::string &path, std::string &error) {
    return file.open(path, error) && file.write(std::string(Las::headerBytes, '\0'), error);
}

bool LasFile::add(const uint8_t *points, size_t count, PointLayout layout, const LasBatch &batch,
                  std::string &error) {
    constexpr size_t flushBytes = size_t{1} << 20; // stays in the cache until written
    skipped += contents.append(points, count, layout, batch, body);
    if (body.size() < flushBytes)
        return true;
    const bool written = file.write(body, error);
    body.clear();
    return written;
}

bool LasFile::close(std::string &error) {
    return file.write(body, error) && file.writeAt(0, contents.header(), error) &&
           file.close(error);
}
