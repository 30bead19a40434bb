// LAS 1.4 records and header against the bytes the format describes; other
// readers read whole exports back in tests/tools/read_back.
#include "recording/las_file.h"
#include "recording/record_layout.h"
#include "sdk/common/byte_order.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

const uint8_t *at(const std::string &bytes, size_t offset) {
    return reinterpret_cast<const uint8_t *>(bytes.data()) + offset;
}

double doubleAt(const std::string &bytes, size_t offset) {
    return get_le_double(at(bytes, offset));
}

std::vector<uint8_t> recorded(const std::vector<CloudPoint> &points) {
    std::vector<uint8_t> record = StreamDecoding::buildCloudRecord(0, 0, points);
    return {record.begin() + StreamDecoding::CLOUD_RECORD_HEADER_BYTES, record.end()};
}

} // namespace

TEST(LasFile, RecordsAndHeaderAreFormat7AtATenthOfAMillimetre) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<uint8_t> near = recorded(
        {{10.25f, -3.5f, 0.00004f, 255, 128, 0, 0, 0}, {12.0f, -1.0f, 2.0f, 0, 1, 2, 0, 0}});
    const std::vector<uint8_t> far =
        recorded({{nan, 0, 0, 1, 2, 3, 0, 0}, {3e5f, 0, 0, 9, 9, 9, 0, 0}});
    LasPoints las;
    std::string body;
    EXPECT_EQ(las.append(near.data(), 2, recordedPoints, {1234.5, 4464, 0}, body), 0u);
    EXPECT_EQ(las.offset(), (std::array<double, 3>{11, -2, 1})) << "the first points' centre";
    // A NaN, and a point 300 km from the offset, have no place in the file.
    EXPECT_EQ(las.append(far.data(), 2, recordedPoints, {}, body), 2u);
    ASSERT_EQ(body.size(), 2 * Las::pointBytes);
    // The first record, field by field.
    EXPECT_EQ(get_le32s(at(body, 0)), -7500);  // (10.25 - 11) / 0.0001
    EXPECT_EQ(get_le32s(at(body, 4)), -15000); // (-3.5 + 2) / 0.0001
    EXPECT_EQ(get_le32s(at(body, 8)), -10000); // 0.04 mm is rounded away
    EXPECT_EQ(get_le16(at(body, 12)), 0);      // no intensity recorded
    EXPECT_EQ(body[14], 0x11) << "return 1 of 1";
    EXPECT_EQ(body[16], 0) << "never classified";
    EXPECT_EQ(get_le16(at(body, 20)), 4464);  // the point source: the cloud
    EXPECT_EQ(doubleAt(body, 22), 1234.5);    // GPS time: the device time
    EXPECT_EQ(get_le16(at(body, 30)), 65535); // 255 widened
    EXPECT_EQ(get_le16(at(body, 32)), 128 * 257);
    EXPECT_EQ(get_le16(at(body, 34)), 0);

    const std::string header = las.header();
    ASSERT_EQ(header.size(), 375u);
    EXPECT_EQ(header.substr(0, 4), "LASF");
    EXPECT_EQ(get_le16(at(header, 6)), 16) << "WKT bit, as format 7 asks";
    EXPECT_EQ(header[24], 1);
    EXPECT_EQ(header[25], 4);
    EXPECT_EQ(get_le16(at(header, 94)), 375);
    EXPECT_EQ(get_le32(at(header, 96)), 375u);
    EXPECT_EQ(get_le32(at(header, 100)), 0u);
    EXPECT_EQ(header[104], 7);
    EXPECT_EQ(get_le16(at(header, 105)), 36);
    EXPECT_EQ(get_le32(at(header, 107)), 0u) << "the legacy count stays 0 for format 7";
    EXPECT_EQ(doubleAt(header, 131), 0.0001);
    EXPECT_EQ(doubleAt(header, 155), 11.0);
    EXPECT_EQ(doubleAt(header, 179), 10000 * 0.0001 + 11) << "max x";
    EXPECT_EQ(doubleAt(header, 187), -7500 * 0.0001 + 11) << "min x";
    EXPECT_EQ(doubleAt(header, 195), 10000 * 0.0001 - 2) << "max y";
    EXPECT_EQ(doubleAt(header, 203), -15000 * 0.0001 - 2) << "min y";
    EXPECT_EQ(doubleAt(header, 211), 10000 * 0.0001 + 1) << "max z";
    EXPECT_EQ(doubleAt(header, 219), -10000 * 0.0001 + 1) << "min z";
    EXPECT_EQ(get_le64(at(header, 247)), 2u);
    EXPECT_EQ(get_le64(at(header, 255)), 2u) << "both first returns";
    EXPECT_EQ(get_le64(at(header, 263)), 0u);
}

TEST(LasFile, TheViewsPointsKeepIntensityAndLabelAndAnEmptyFileHasZeroBounds) {
    const std::vector<CloudPoint> view = {{1, 2, 3, 10, 20, 30, 200, 0x12345}};
    LasPoints las;
    std::string body;
    las.append(reinterpret_cast<const uint8_t *>(view.data()), 1, viewPoints, {}, body);
    EXPECT_EQ(get_le16(at(body, 12)), 200 * 257);
    EXPECT_EQ(get_le16(at(body, 20)), 0x2345) << "the frame label's low 16 bits";
    EXPECT_EQ(get_le16(at(body, 34)), 30 * 257);

    const std::string empty = LasPoints().header();
    for (size_t field = 179; field < 227; field += 8)
        EXPECT_EQ(doubleAt(empty, field), 0.0) << "bound at " << field;
    EXPECT_EQ(get_le64(at(empty, 247)), 0u);
}
