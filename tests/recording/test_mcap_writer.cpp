// The MCAP writer and the ROS 2 messages against the bytes their formats
// describe; npm's reference readers read whole exports back in tests/tools/read_back.
#include "recording/converted_calibration.h"
#include "recording/mcap_writer.h"
#include "recording/ros2_messages.h"
#include "sdk/common/byte_order.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <zlib.h>
#if KEST_WITH_ZSTD
#include <zstd.h>
#endif

using kest_test::temp_dir;

namespace {

std::string le(uint64_t value, size_t bytes) {
    std::string out;
    for (size_t i = 0; i < bytes; ++i)
        out += static_cast<char>(value >> (8 * i));
    return out;
}

// A chunk's records from its stored bytes: zstd where the build writes it, else as stored.
std::string inflate(const std::string &compression, const std::string &stored, size_t size) {
#if KEST_WITH_ZSTD
    std::string out(size, '\0');
    EXPECT_EQ(compression, "zstd");
    EXPECT_EQ(ZSTD_decompress(&out[0], size, stored.data(), stored.size()), size);
    return out;
#else
    EXPECT_EQ(compression, "") << "stored";
    EXPECT_EQ(stored.size(), size);
    return stored;
#endif
}

uint64_t u64At(const std::string &bytes, size_t at) {
    return get_le64(reinterpret_cast<const uint8_t *>(bytes.data()) + at);
}

uint32_t crcOf(const std::string &bytes, size_t from, size_t to) {
    return static_cast<uint32_t>(
        crc32_z(0, reinterpret_cast<const Bytef *>(bytes.data()) + from, to - from));
}

std::string message(uint32_t sequence, uint64_t time, const std::string &data) {
    return "\x05" + le(22 + data.size(), 8) + le(1, 2) + le(sequence, 4) + le(time, 8) +
           le(time, 8) + data;
}

} // namespace

TEST(McapWriter, ChunksIndexesSummaryAndCrcsAreWhereTheFormatPutsThem) {
    temp_dir dir;
    McapWriter writer;
    std::string error;
    ASSERT_TRUE(writer.open(dir.file("a.mcap"), {"ros2", "lib", 1u << 20, 1}, error)) << error;
    ASSERT_EQ(writer.addSchema("s", "ros2msg", "int8 a", error), 1);
    ASSERT_EQ(writer.addChannel(1, "/t", "cdr", error), 1);
    ASSERT_TRUE(writer.write(1, 5, 5, "ab", error));
    ASSERT_TRUE(writer.write(1, 7, 7, "c", error));
    ASSERT_TRUE(writer.close(error)) << error;
    std::ifstream in(dir.file("a.mcap"), std::ios::binary);
    const std::string file{std::istreambuf_iterator<char>(in), {}};

    const std::string magic("\x89MCAP0\r\n", 8);
    const std::string head = magic + "\x01" + le(15, 8) + le(4, 4) + "ros2" + le(3, 4) + "lib" +
                             "\x03" + le(28, 8) + le(1, 2) + le(1, 4) + "s" + le(7, 4) + "ros2msg" +
                             le(6, 4) + "int8 a" + "\x04" + le(21, 8) + le(1, 2) + le(1, 2) +
                             le(2, 4) + "/t" + le(3, 4) + "cdr" + le(0, 4);
    ASSERT_EQ(file.substr(0, head.size()), head);
    ASSERT_EQ(file.substr(file.size() - 8), magic);

    // The chunk: times 5 to 7, its records' size and CRC, its compression, then the records.
    const size_t chunk = head.size();
    ASSERT_EQ(file[chunk], '\x06');
    const std::string records = message(0, 5, "ab") + message(1, 7, "c");
    const std::string compression = ChunkCompressor::name();
    EXPECT_EQ(file.substr(chunk + 9, 24), le(5, 8) + le(7, 8) + le(records.size(), 8));
    EXPECT_EQ(file.substr(chunk + 33, 8 + compression.size()),
              le(crcOf(records, 0, records.size()), 4) + le(compression.size(), 4) + compression);
    const size_t body = chunk + 41 + compression.size() + 8;
    const uint64_t compressed = u64At(file, body - 8);
    EXPECT_EQ(inflate(compression, file.substr(body, compressed), records.size()), records);
    // Its message index: channel 1, (time, offset in the records) per message.
    const size_t index = body + compressed;
    EXPECT_EQ(file.substr(index, 9 + 2 + 4 + 32), "\x07" + le(38, 8) + le(1, 2) + le(32, 4) +
                                                      le(5, 8) + le(0, 8) + le(7, 8) +
                                                      le(message(0, 5, "ab").size(), 8));

    // Data end carries the CRC of everything before it; the footer, the CRC of
    // the summary and its offsets up to the footer's own CRC.
    const size_t dataEnd = index + 47;
    ASSERT_EQ(file.substr(dataEnd, 9), "\x0f" + le(4, 8));
    EXPECT_EQ(file.substr(dataEnd + 9, 4), le(crcOf(file, 0, dataEnd), 4));
    const size_t footer = file.size() - 8 - 29;
    ASSERT_EQ(file.substr(footer, 9), "\x02" + le(20, 8));
    const uint64_t summary = u64At(file, footer + 9);
    EXPECT_EQ(summary, dataEnd + 13);
    EXPECT_EQ(file.substr(footer + 25, 4), le(crcOf(file, summary, footer + 25), 4));
    // The statistics group: two messages on one channel in one chunk, 5 to 7.
    const size_t statistics =
        file.find(std::string("\x0e\x11\x00\x00\x00\x00\x00\x00\x00\x0b", 10));
    ASSERT_NE(statistics, std::string::npos) << "a summary offset for the statistics";
    const size_t at = u64At(file, statistics + 10);
    EXPECT_EQ(file.substr(at, 9 + 42 + 4 + 10),
              "\x0b" + le(56, 8) + le(2, 8) + le(1, 2) + le(1, 4) + le(0, 4) + le(0, 4) + le(1, 4) +
                  le(5, 8) + le(7, 8) + le(10, 4) + le(1, 2) + le(2, 8));
}

TEST(Ros2Messages, CdrAlignsEachValueFromTheEndOfTheEncapsulationHeader) {
    RosPose pose;
    pose.position = {1, 2, 3};
    const std::string bytes = Ros2::poseStamped({{7, 9}, "map"}, pose);
    std::string want = std::string("\x00\x01\x00\x00", 4) + le(7, 4) + le(9, 4) + le(4, 4) +
                       std::string("map\0", 4);
    for (double v : {1.0, 2.0, 3.0, 0.0, 0.0, 0.0, 1.0}) {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        want += le(bits, 8);
    }
    EXPECT_EQ(bytes, want);

    // A cloud: "x" then padding to the next u32, a one-byte datatype, the
    // count after three bytes of padding; the point's colour as 0x00RRGGBB.
    const uint8_t point[15] = {0, 0, 0x80, 0x3f, 0, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x22, 0x33};
    const std::string cloud = Ros2::pointCloud2({{0, 0}, "map"}, point, 1);
    const std::string field = le(2, 4) + std::string("x\0", 2) + std::string(2, '\0') + le(0, 4) +
                              "\x07" + std::string(3, '\0') + le(1, 4);
    EXPECT_EQ(cloud.substr(4 + 16, 12 + field.size()), le(1, 4) + le(1, 4) + le(4, 4) + field);
    EXPECT_EQ(cloud.substr(cloud.size() - 21), le(16, 4) + std::string("\x00\x00\x80\x3f", 4) +
                                                   std::string(8, '\0') + "\x33\x22\x11" +
                                                   std::string(1, '\0') + "\x01");
    EXPECT_EQ(rosStamp(12'000'000'345).sec, 12);
    EXPECT_EQ(rosStamp(12'000'000'345).nanosec, 345u);
}

TEST(ConvertedCalibration, ReadsTheRecordersTextAndRefusesAnythingElse) {
    const std::string text = "Tcl_0: [1.000000, 0.000000, 0.000000, 0.500000, \n"
                             "        0.000000, 1.000000, 0.000000, 0.000000, \n"
                             "        0.000000, 0.000000, 1.000000, 0.000000, \n"
                             "        0.000000, 0.000000, 0.000000, 1.000000]\ncam_0: \n"
                             "   image_width: 640\n   image_height: 480\n   k2: -0.1\n"
                             "   k3: 0.01\n   k4: 0.02\n   k5: 0\n   k6: 0\n   k7: 0.5\n"
                             "   p1: 0.001\n   p2: -0.002\n   A11: 500.5\n   A12: 0\n"
                             "   A22: 501\n   u0: 320\n   v0: 240\n";
    const auto calibration = parseConvertedCalibration(text);
    ASSERT_TRUE(calibration);
    EXPECT_EQ(calibration->tcl[3], 0.5);
    EXPECT_EQ(calibration->width, 640);
    EXPECT_EQ(calibration->k[5], 0.5) << "k7";
    EXPECT_EQ(calibration->p2, -0.002);
    EXPECT_EQ(calibration->a11, 500.5);
    EXPECT_EQ(calibration->v0, 240);
    EXPECT_FALSE(parseConvertedCalibration("# camera intrinsics/extrinsics TBD\n"));
    std::string broken = text;
    EXPECT_FALSE(parseConvertedCalibration(broken.replace(broken.find("501"), 3, "x")));
    EXPECT_FALSE(parseConvertedCalibration(text.substr(0, text.find("   v0"))));
    EXPECT_FALSE(parseConvertedCalibration(text.substr(0, text.find(", 1.000000]")) + "]\n"));
}
