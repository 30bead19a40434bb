// Stream decoding: each decoder against literal bytes laid out as sdk/api/api.h
// documents its record, the dispatch of records to decoders and buffers, the
// recorder's records, the bounds every record is checked against (with the
// rate limit on their log lines), and the latest-value hand-off buffer.
#include "app/stream_decoding.h"
#include "app/stream_decoding_input.h"
#include "recording/record_layout.h"

#include "tests/support/log_capture.h"

#include <opencv2/imgcodecs.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

using namespace StreamDecoding;
using kest_test::capture_stdout;
using kest_test::captured_line_with;
using kest_test::captured_lines;
using kest_test::log_contains;

namespace {

using Bytes = std::vector<uint8_t>;

std::chrono::steady_clock::time_point fake_now;

std::chrono::steady_clock::time_point fakeClock() {
    return fake_now;
}

lidar_stream_entry_t entryOf(const Bytes &bytes) {
    lidar_stream_entry_t entry{};
    entry.size = static_cast<uint32_t>(bytes.size());
    entry.data = bytes.empty() ? nullptr : bytes.data();
    return entry;
}

lidar_stream_data_t recordOf(uint32_t type, const lidar_stream_entry_t &first) {
    lidar_stream_data_t record{};
    record.type = type;
    record.count = 1;
    record.entries[0] = first;
    return record;
}

Bytes concat(Bytes head, const Bytes &tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// The number of captured log lines that contain fragment.
size_t linesWith(const std::string &fragment) {
    size_t n = 0;
    for (const std::string &line : captured_lines())
        n += line.find(fragment) != std::string::npos;
    return n;
}

// A recording in progress with a recorder whose writers keep what they get.
struct Recording {
    std::atomic<uint32_t> poseSeq{0};
    std::atomic<uint32_t> cloudSeq{0};
    std::atomic<uint32_t> imageSeq{0};
    std::vector<Bytes> poses, clouds, images;

    RecordingTarget target() {
        return RecordingTarget{poseSeq,
                               cloudSeq,
                               imageSeq,
                               [this](Bytes &&r) { poses.push_back(std::move(r)); },
                               [this](Bytes &&r) { clouds.push_back(std::move(r)); },
                               [this](Bytes &&r) { images.push_back(std::move(r)); }};
    }
};

// SLAM cloud: two 28-byte points, seven little-endian int32 words each.
const Bytes slamTwoPoints = {
    0x10, 0x27, 0x00, 0x00, // x 10000
    0xE0, 0xB1, 0xFF, 0xFF, // y -20000
    0x05, 0x00, 0x00, 0x00, // z 5
    0xFF, 0x01, 0x00, 0x00, // r word 0x1FF
    0x02, 0x00, 0x00, 0x00, // g 2
    0x03, 0x00, 0x00, 0x00, // b 3
    0x63, 0x00, 0x00, 0x00, // a 99, not read
    0xFF, 0xFF, 0xFF, 0xFF, // x -1
    0x30, 0x75, 0x00, 0x00, // y 30000
    0x00, 0x00, 0x00, 0x80, // z INT32_MIN
    0x10, 0x00, 0x00, 0x00, // r 0x10
    0x20, 0x01, 0x00, 0x00, // g word 0x120
    0x30, 0x00, 0x00, 0x00, // b 0x30
    0x00, 0x00, 0x00, 0x00, // a
};

// DTOF, count 3: 3 columns x 2 rows of 16-byte points (x, y, z in mm, a fourth
// float), then 16-bit intensities.
const Bytes dtofWidePoints = concat(
    {
        0x00, 0x00, 0x7A, 0x44, 0x00, 0x00, 0xFA, 0x44, // 1000, 2000
        0x00, 0x80, 0x3B, 0x45, 0x00, 0x00, 0x80, 0x3F, // 3000, 1.0 (not read)
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3F, // 0, 1
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // 0, 0
        0x00, 0x00, 0x7A, 0xC4, 0x00, 0x00, 0xFA, 0x43, // -1000, 500
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3F, // 0, 1.0
    },
    Bytes(3 * 16, 0x40)); // 3.0039 mm on every axis
const Bytes dtofWideIntensities = {
    0x0A, 0x00, // 10
    0xD4, 0x30, // 12500
    0x05, 0x00, // 5
    0x6F, 0x18, // 6255
    0xFF, 0xFF, // 65535
    0x0B, 0x00, // 11
};

// DTOF, count 4: 2 columns x 1 row of 12-byte points, then 8-bit intensities.
const Bytes dtofCompactPoints = {
    0x00, 0x00, 0x7A, 0x44, 0x00, 0x00, 0xFA, 0x44, 0x00, 0x80, 0x3B, 0x45, // 1000, 2000, 3000
    0x00, 0x00, 0x7A, 0xC4, 0x00, 0x00, 0xFA, 0x43, 0x00, 0x00, 0x00, 0x00, // -1000, 500, 0
};
const Bytes dtofCompactIntensities = {0x00, 0xC8};
const Bytes dtofFourthEntry = {0x11, 0x22};

// A DTOF record of count entries whose points and intensities are the given bytes.
lidar_stream_data_t dtofRecord(uint32_t count, const Bytes &points, const Bytes &intensities,
                               uint32_t cols, uint32_t rows) {
    lidar_stream_data_t record{};
    record.type = LIDAR_STREAM_DTOF;
    record.count = count;
    lidar_stream_entry_t header{};
    header.value1 = 0xAB00000009ull;
    header.timestamp = 77;
    header.param1 = cols;
    header.param2 = rows;
    record.entries[0] = header;
    record.entries[1] = header;
    record.entries[1].size = static_cast<uint32_t>(points.size());
    record.entries[1].data = points.empty() ? nullptr : points.data();
    record.entries[2] = header;
    record.entries[2].size = static_cast<uint32_t>(intensities.size());
    record.entries[2].data = intensities.empty() ? nullptr : intensities.data();
    if (count == 4) {
        record.entries[3] = header;
        record.entries[3].size = static_cast<uint32_t>(dtofFourthEntry.size());
        record.entries[3].data = dtofFourthEntry.data();
    }
    return record;
}

// Odometry: time 1234567890123456789 ns, position (1, -2.5, 0) m, quaternion 0.
const Bytes odometry64 = {
    0x15, 0x81, 0xE9, 0x7D, 0xF4, 0x10, 0x22, 0x11, // time
    0x40, 0x42, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, // px 1000000
    0x60, 0xDA, 0xD9, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, // py -2500000
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // pz 0
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // qx 0
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // qy 0
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // qz 0
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // qw 0
};

// Odometry: a quarter turn about z, (0, 0, 0.707107, 0.707107) x 1e6, then 624
// bytes that are not read.
const Bytes odometry688 = concat(
    {
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // time 0
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // px
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // py
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // pz
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // qx
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // qy
        0x23, 0xCA, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, // qz 707107
        0x23, 0xCA, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, // qw 707107
    },
    Bytes(624, 0xEE));

// Device info: the 100-byte status record.
const Bytes deviceInfo = {
    0x2D, 0x00, 0x00, 0x00, // package_temp 45
    0x34, 0x00, 0x00, 0x00, // cpu 52
    0x30, 0x00, 0x00, 0x00, // center_temp 48
    0x2F, 0x00, 0x00, 0x00, // gpu_temp 47
    0xFD, 0xFF, 0xFF, 0xFF, // npu_temp -3
    0x0A, 0x00, 0x00, 0x00, // core 0: 10
    0x14, 0x00, 0x00, 0x00, // 20
    0x1E, 0x00, 0x00, 0x00, // 30
    0x28, 0x00, 0x00, 0x00, // 40
    0x32, 0x00, 0x00, 0x00, // 50
    0x3C, 0x00, 0x00, 0x00, // 60
    0x46, 0x00, 0x00, 0x00, // 70
    0x64, 0x00, 0x00, 0x00, // core 7: 100
    0x3F, 0x00, 0x00, 0x00, // ram_use_rate 63
    0x30, 0x75, 0x00, 0x00, // rgb configured 30000 mHz
    0x12, 0x75, 0x00, 0x00, // rgb tx 29970 mHz
    0x10, 0x27, 0x00, 0x00, // dtof configured 10000 mHz
    0x06, 0x27, 0x00, 0x00, // dtof tx 9990 mHz
    0x40, 0x9C, 0x00, 0x00, // dtof subframe 40000 mHz
    0xFB, 0xFF,             // dtof txtemp -5
    0x26, 0x00,             // dtof rxtemp 38
    0x40, 0x0D, 0x03, 0x00, // imu configured 200000 mHz
    0x4C, 0x0B, 0x03, 0x00, // imu tx 199500 mHz
    0x10, 0x27, 0x00, 0x00, // slam cloud 10000 mHz
    0x24, 0xFA, 0xFF, 0xFF, // slam odometry -1500 mHz
    0xA0, 0x86, 0x01, 0x00, // high-frequency odometry 100000 mHz
};

const char deviceInfoText[] = "\n [dev_info] [soc_thermal]: package_temp:45C \n"
                              "\n [dev_info] [soc_thermal]: cpu:52C \n"
                              "\n [dev_info] [soc_thermal]: center_temp:48C \n"
                              "\n [dev_info] [soc_thermal]: gpu_temp:47C \n"
                              "\n [dev_info] [soc_thermal]: npu_temp:-3C \n"
                              "\n [dev_info] [cpu]: cpu_use_rate-core[0]:10% \n"
                              "\n [dev_info] [cpu]: cpu_use_rate-core[1]:20% \n"
                              "\n [dev_info] [cpu]: cpu_use_rate-core[2]:30% \n"
                              "\n [dev_info] [cpu]: cpu_use_rate-core[3]:40% \n"
                              "\n [dev_info] [cpu]: cpu_use_rate-core[4]:50% \n"
                              "\n [dev_info] [cpu]: cpu_use_rate-core[5]:60% \n"
                              "\n [dev_info] [cpu]: cpu_use_rate-core[6]:70% \n"
                              "\n [dev_info] [cpu]: cpu_use_rate-core[7]:100% \n"
                              "\n [dev_info] [cpu]: ram_use_rate:63% \n"
                              "\n [dev_info] [rgb]: configured_odr: 30.00 HZ, tx_odr: 29.97 HZ \n"
                              "\n [dev_info] [dtof]: configured_odr: 10.00 HZ, tx_odr: 9.99 HZ \n"
                              "\n [dev_info] [dtof]: subframe_odr: 40.00 \n"
                              "\n [dev_info] [dtof]: txtemp:-5C, rxtemp:38C \n"
                              "\n [dev_info] [imu]: configured_odr: 200.00 HZ, tx_odr: 199.50 HZ\n"
                              "\n [dev_info] [slam]: slam_cloud_tx_odr: 10.00 HZ \n"
                              "\n [dev_info] [slam]: slam_odom_tx_odr: -1.50 HZ \n"
                              "\n [dev_info] [slam]: slam_odom_highfreq_tx_odr: 100.00 HZ \n"
                              "\n------------------------------------------\n";

// NV12, width x height: a luma plane of y, then interleaved chroma u, v.
Bytes nv12(int width, int height, uint8_t y, uint8_t u, uint8_t v) {
    Bytes bytes(static_cast<size_t>(width) * height, y);
    for (int i = 0; i < width * height / 4; ++i) {
        bytes.push_back(u);
        bytes.push_back(v);
    }
    return bytes;
}

Bytes jpegOf(const cv::Mat &picture) {
    Bytes jpeg;
    EXPECT_TRUE(cv::imencode(".jpg", picture, jpeg));
    return jpeg;
}

bool near(const cv::Vec3b &pixel, int b, int g, int r, int tolerance) {
    return std::abs(pixel[0] - b) <= tolerance && std::abs(pixel[1] - g) <= tolerance &&
           std::abs(pixel[2] - r) <= tolerance;
}

void drainBuffers() {
    std::vector<CloudPoint> points;
    cv::Mat image;
    PoseRecord pose;
    WiwcRecord wiwc;
    g_slamCloudBuffer.take(points);
    g_dtofCloudBuffer.take(points);
    g_imageBuffer.take(image);
    g_poseBuffer.take(pose);
    g_wiwcBuffer.take(wiwc);
}

class StreamDecodingTest : public kest_test::logged_test {
protected:
    void SetUp() override {
        logged_test::SetUp();
        fake_now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
        resetDropReports(fakeClock);
        drainBuffers();
    }
    void TearDown() override {
        resetDropReports();
        logged_test::TearDown();
    }
    // Lets the drop reports of every kind log again.
    void nextReportInterval() { fake_now += DROP_REPORT_INTERVAL; }
};

using DecodeBounds = StreamDecodingTest;

} // namespace

TEST_F(StreamDecodingTest, SlamCloudOfTwoPointsReadsMetresAndLowColourBytes) {
    lidar_stream_entry_t entry = entryOf(slamTwoPoints);
    entry.value1 = 0x700000002Aull;
    lidar_stream_data_t record = recordOf(LIDAR_STREAM_SLAM_CLOUD, entry);
    DecodedCloud cloud;
    std::string out = capture_stdout([&] { cloud = decodeSlamCloud(record); });

    EXPECT_EQ(out, "recv pc2xyzrgba num_points = 2.\ncloud size = 2.\n");
    ASSERT_EQ(cloud.points.size(), 2u);
    const CloudPoint &a = cloud.points[0];
    EXPECT_EQ(a.x, 1.0f);
    EXPECT_EQ(a.y, -2.0f);
    EXPECT_EQ(a.z, 0.0005f);
    EXPECT_EQ(a.r, 255);
    EXPECT_EQ(a.g, 2);
    EXPECT_EQ(a.b, 3);
    EXPECT_EQ(a.intensity, 0);
    EXPECT_EQ(a.label, 42u);
    const CloudPoint &b = cloud.points[1];
    EXPECT_EQ(b.x, -0.0001f);
    EXPECT_EQ(b.y, 3.0f);
    EXPECT_EQ(b.z, -214748.3648f);
    EXPECT_EQ(b.r, 0x10);
    EXPECT_EQ(b.g, 0x20);
    EXPECT_EQ(b.b, 0x30);
    EXPECT_EQ(b.label, 42u);
    EXPECT_TRUE(cloud.record.empty()) << "nothing is recorded without a sequence counter";
    EXPECT_TRUE(captured_lines().empty());
}

TEST_F(StreamDecodingTest, SlamCloudShorterThanOnePointPrintsZeroAndPublishesNothing) {
    Bytes bytes(slamTwoPoints.begin(), slamTwoPoints.begin() + 27);
    lidar_stream_data_t record = recordOf(LIDAR_STREAM_SLAM_CLOUD, entryOf(bytes));
    Recording recording;
    RecordingTarget target = recording.target();
    std::string out = capture_stdout([&] { decodeStreamRecord(record, StreamFlags{}, &target); });

    EXPECT_EQ(out, "recv pc2xyzrgba num_points = 0.\ncloud size = 0.\n");
    std::vector<CloudPoint> points;
    EXPECT_FALSE(g_slamCloudBuffer.take(points));
    EXPECT_TRUE(recording.clouds.empty());
    EXPECT_EQ(recording.cloudSeq.load(), 0u);
    EXPECT_TRUE(captured_lines().empty());
}

TEST_F(StreamDecodingTest, SlamCloudRecordCarriesSequenceTimeAndPoints) {
    lidar_stream_entry_t entry = entryOf(slamTwoPoints);
    entry.timestamp = 1500000000; // 1.5 s
    lidar_stream_data_t record = recordOf(LIDAR_STREAM_SLAM_CLOUD, entry);
    std::atomic<uint32_t> cloudSeq{7};
    DecodedCloud cloud;
    capture_stdout([&] { cloud = decodeSlamCloud(record, 0, &cloudSeq); });

    EXPECT_EQ(cloudSeq.load(), 8u);
    ASSERT_EQ(cloud.record.size(), 16u + 2 * 15);
    EXPECT_EQ(cloud.record.capacity(), cloud.record.size());
    const Bytes head = {
        0x07, 0x00, 0x00, 0x00,                         // sequence 7
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0x3F, // 1.5 s
        0x02, 0x00, 0x00, 0x00,                         // 2 points
        0x00, 0x00, 0x80, 0x3F,                         // x 1.0
        0x00, 0x00, 0x00, 0xC0,                         // y -2.0
        0x6F, 0x12, 0x03, 0x3A,                         // z 0.0005
        0xFF, 0x02, 0x03,                               // r, g, b
    };
    EXPECT_EQ(Bytes(cloud.record.begin(), cloud.record.begin() + 31), head);
    const Bytes tail = {0x10, 0x20, 0x30};
    EXPECT_EQ(Bytes(cloud.record.end() - 3, cloud.record.end()), tail);
}

TEST_F(StreamDecodingTest, DtofWideFrameMapsAxesAndSixteenBitIntensitiesToGrey) {
    lidar_stream_data_t record = dtofRecord(3, dtofWidePoints, dtofWideIntensities, 3, 2);
    std::vector<CloudPoint> points = decodeDtofCloud(record);

    ASSERT_EQ(points.size(), 6u);
    EXPECT_EQ(points[0].x, 3.0f);
    EXPECT_EQ(points[0].y, -1.0f);
    EXPECT_EQ(points[0].z, 2.0f);
    EXPECT_EQ(points[2].x, 0.0f);
    EXPECT_EQ(points[2].y, 1.0f);
    EXPECT_EQ(points[2].z, 0.5f);
    const uint8_t grey[6] = {0, 255, 0, 127, 255, 0}; // 10, 12500, 5, 6255, 65535, 11
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(points[i].intensity, grey[i]) << "point " << i;
        EXPECT_EQ(points[i].r, grey[i]);
        EXPECT_EQ(points[i].g, grey[i]);
        EXPECT_EQ(points[i].b, grey[i]);
        EXPECT_EQ(points[i].label, 9u);
    }
    EXPECT_TRUE(captured_lines().empty());
}

// A pixel without a return is (0, 0, 0): not a point at the sensor. Nor is a
// non-finite one. The others keep their own intensities.
TEST_F(StreamDecodingTest, DtofInvalidPixelsAreLeftOutAndTheRestKeepTheirIntensities) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float xyz[5][3] = {{0, 0, 0}, {1000, 2000, 3000}, {nan, 1, 1}, {1, 1, inf}, {0, 0, 500}};
    Bytes points(5 * 12);
    memcpy(points.data(), xyz, sizeof xyz);
    const Bytes intensities = {1, 2, 3, 4, 5};
    std::vector<CloudPoint> decoded = decodeDtofCloud(dtofRecord(4, points, intensities, 5, 1));
    ASSERT_EQ(decoded.size(), 2u);
    EXPECT_EQ(decoded[0].x, 3.0f);
    EXPECT_EQ(decoded[0].intensity, 2);
    EXPECT_EQ(decoded[1].x, 0.5f);
    EXPECT_EQ(decoded[1].y, 0.0f);
    EXPECT_EQ(decoded[1].intensity, 5);
    EXPECT_TRUE(captured_lines().empty()) << "invalid pixels are normal, not a fault";
}

TEST_F(StreamDecodingTest, DtofCompactFrameTakesGreyFromIntensityBytes) {
    lidar_stream_data_t record = dtofRecord(4, dtofCompactPoints, dtofCompactIntensities, 2, 1);
    std::vector<CloudPoint> points = decodeDtofCloud(record);

    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[0].x, 3.0f);
    EXPECT_EQ(points[0].y, -1.0f);
    EXPECT_EQ(points[0].z, 2.0f);
    EXPECT_EQ(points[0].intensity, 0);
    EXPECT_EQ(points[1].x, 0.0f);
    EXPECT_EQ(points[1].y, 1.0f);
    EXPECT_EQ(points[1].z, 0.5f);
    EXPECT_EQ(points[1].intensity, 200);
    EXPECT_EQ(points[1].r, 200);
    EXPECT_EQ(points[1].label, 9u);
}

TEST_F(StreamDecodingTest, DtofFrameOfZeroColumnsOrRowsIsEmptyAndSilent) {
    EXPECT_TRUE(decodeDtofCloud(dtofRecord(3, dtofWidePoints, dtofWideIntensities, 0, 2)).empty());
    EXPECT_TRUE(decodeDtofCloud(dtofRecord(4, {}, {}, 2, 0)).empty());
    lidar_stream_data_t record = dtofRecord(3, {}, {}, 0, 0);
    decodeStreamRecord(record, streamFlagsFor(ScanMode::DTOF, {}), nullptr);
    std::vector<CloudPoint> points;
    EXPECT_FALSE(g_dtofCloudBuffer.take(points));
    EXPECT_TRUE(captured_lines().empty());
}

TEST_F(StreamDecodingTest, ScanModeChoosesWhichCloudIsDecoded) {
    StreamFlags slam = streamFlagsFor(ScanMode::SLAM, StreamFlags{true, false});
    EXPECT_FALSE(slam.dtofEnabled);
    EXPECT_TRUE(slam.slamEnabled);
    StreamFlags dtof = streamFlagsFor(ScanMode::DTOF, slam);
    EXPECT_TRUE(dtof.dtofEnabled);
    EXPECT_FALSE(dtof.slamEnabled);
    StreamFlags other = streamFlagsFor(static_cast<ScanMode>(7), dtof);
    EXPECT_TRUE(other.dtofEnabled);
    EXPECT_FALSE(other.slamEnabled);

    lidar_stream_data_t cloud = recordOf(LIDAR_STREAM_SLAM_CLOUD, entryOf(slamTwoPoints));
    lidar_stream_data_t frame = dtofRecord(3, dtofWidePoints, dtofWideIntensities, 3, 2);
    std::vector<CloudPoint> points;

    // DTOF: the SLAM cloud is dropped before decoding, so nothing is printed.
    EXPECT_EQ(capture_stdout([&] { decodeStreamRecord(cloud, dtof, nullptr); }), "");
    EXPECT_FALSE(g_slamCloudBuffer.take(points));
    decodeStreamRecord(frame, dtof, nullptr);
    ASSERT_TRUE(g_dtofCloudBuffer.take(points));
    EXPECT_EQ(points.size(), 6u);

    // SLAM: the other way round.
    decodeStreamRecord(frame, slam, nullptr);
    EXPECT_FALSE(g_dtofCloudBuffer.take(points));
    EXPECT_NE(capture_stdout([&] { decodeStreamRecord(cloud, slam, nullptr); }), "");
    ASSERT_TRUE(g_slamCloudBuffer.take(points));
    EXPECT_EQ(points.size(), 2u);
    EXPECT_TRUE(captured_lines().empty());
}

TEST_F(StreamDecodingTest, Nv12PictureOfExactSizeBecomesBgr) {
    Bytes bytes = nv12(640, 480, 81, 90, 240); // red in BT.601
    ASSERT_EQ(bytes.size(), 640u * 480 * 3 / 2);
    lidar_stream_entry_t entry = entryOf(bytes);
    entry.param1 = 640;
    entry.param2 = 480;
    DecodedImage image = decodeImage(entry);

    ASSERT_FALSE(image.image.empty());
    EXPECT_EQ(image.image.type(), CV_8UC3);
    EXPECT_EQ(image.image.cols, 640);
    EXPECT_EQ(image.image.rows, 480);
    EXPECT_TRUE(near(image.image.at<cv::Vec3b>(0, 0), 0, 0, 255, 4));
    EXPECT_TRUE(near(image.image.at<cv::Vec3b>(479, 639), 0, 0, 255, 4));
    EXPECT_NE(image.image.data, bytes.data()) << "the picture owns its pixels";
    EXPECT_TRUE(image.record.empty());
    EXPECT_TRUE(captured_lines().empty());
}

TEST_F(StreamDecodingTest, Nv12PictureIsRecordedAsJpeg) {
    Bytes bytes = nv12(64, 48, 81, 90, 240);
    lidar_stream_entry_t entry = entryOf(bytes);
    entry.param1 = 64;
    entry.param2 = 48;
    entry.timestamp = 1000000000;
    std::atomic<uint32_t> imageSeq{0};
    DecodedImage image = decodeImage(entry, &imageSeq);

    EXPECT_EQ(imageSeq.load(), 1u);
    ASSERT_GT(image.record.size(), 16u);
    EXPECT_EQ(image.record.capacity(), image.record.size());
    const Bytes head = {
        0x00, 0x00, 0x00, 0x00,                         // sequence 0
        0x19, 0xF1, 0x32, 0xFD, 0xF1, 0x02, 0xF0, 0x3F, // (1e9 + 719060) / 1e9 s
    };
    EXPECT_EQ(Bytes(image.record.begin(), image.record.begin() + 12), head);
    uint32_t m = image.record[12] | image.record[13] << 8 | image.record[14] << 16 |
                 static_cast<uint32_t>(image.record[15]) << 24;
    EXPECT_EQ(m, image.record.size() - 16);
    Bytes jpeg(image.record.begin() + 16, image.record.end());
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    cv::Mat back = cv::imdecode(jpeg, cv::IMREAD_COLOR);
    ASSERT_FALSE(back.empty());
    EXPECT_EQ(back.cols, 64);
    EXPECT_TRUE(near(back.at<cv::Vec3b>(24, 32), 0, 0, 255, 12));
}

TEST_F(StreamDecodingTest, JpegPictureIsDecodedAndRecordedUnchanged) {
    Bytes jpeg = jpegOf(cv::Mat(8, 16, CV_8UC3, cv::Scalar(255, 0, 0)));
    ASSERT_NE(jpeg.size(), 16u * 8 * 3 / 2);
    lidar_stream_entry_t entry = entryOf(jpeg);
    entry.param1 = 16;
    entry.param2 = 8;
    std::atomic<uint32_t> imageSeq{3};
    DecodedImage image = decodeImage(entry, &imageSeq);

    ASSERT_FALSE(image.image.empty());
    EXPECT_EQ(image.image.type(), CV_8UC3);
    EXPECT_EQ(image.image.cols, 16);
    EXPECT_EQ(image.image.rows, 8);
    EXPECT_TRUE(near(image.image.at<cv::Vec3b>(4, 8), 255, 0, 0, 8));
    ASSERT_EQ(image.record.size(), 16 + jpeg.size());
    EXPECT_EQ(image.record[0], 3);
    EXPECT_EQ(Bytes(image.record.begin() + 16, image.record.end()), jpeg);
    EXPECT_EQ(imageSeq.load(), 4u);
    EXPECT_TRUE(captured_lines().empty());
}

TEST_F(StreamDecodingTest, UndecodableJpegFailsButIsStillRecorded) {
    const Bytes garbage = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'n', 'o', 't', ' ', 'a', 'n'};
    lidar_stream_entry_t entry = entryOf(garbage);
    entry.param1 = 640;
    entry.param2 = 480;
    std::atomic<uint32_t> imageSeq{0};
    DecodedImage image = decodeImage(entry, &imageSeq);

    EXPECT_TRUE(image.image.empty());
    ASSERT_EQ(image.record.size(), 16 + garbage.size());
    EXPECT_EQ(Bytes(image.record.begin() + 16, image.record.end()), garbage);
    EXPECT_EQ(captured_line_with("could not be decoded"),
              "<ERROR><stream_decoding_image.cpp:StreamDecoding::decodeImage:N>: jpeg image of 12 "
              "bytes (640 x 480 pixels announced) could not be decoded; dropped.\n");

    // Through the dispatch: nothing is published, the bytes still reach the writer.
    Recording recording;
    RecordingTarget target = recording.target();
    decodeStreamRecord(recordOf(LIDAR_STREAM_IMAGE, entry), StreamFlags{}, &target);
    cv::Mat taken;
    EXPECT_FALSE(g_imageBuffer.take(taken));
    ASSERT_EQ(recording.images.size(), 1u);
    EXPECT_EQ(recording.images[0].size(), 16 + garbage.size());
}

TEST_F(StreamDecodingTest, PictureInAnotherFormatIsNotDecoded) {
    Bytes png;
    ASSERT_TRUE(cv::imencode(".png", cv::Mat(8, 8, CV_8UC3, cv::Scalar(9, 9, 9)), png));
    lidar_stream_entry_t entry = entryOf(png);
    entry.param1 = 8;
    entry.param2 = 8;
    std::atomic<uint32_t> imageSeq{0};
    DecodedImage image = decodeImage(entry, &imageSeq);

    EXPECT_TRUE(image.image.empty()) << "only JPEG files are decoded";
    EXPECT_EQ(image.record.size(), 16 + png.size());
    EXPECT_TRUE(log_contains("could not be decoded; dropped.\n"));
}

TEST_F(StreamDecodingTest, OnlyTheNewestPublishedImageIsTaken) {
    Bytes small = jpegOf(cv::Mat(8, 8, CV_8UC3, cv::Scalar(0, 255, 0)));
    Bytes large = jpegOf(cv::Mat(16, 32, CV_8UC3, cv::Scalar(0, 0, 255)));
    decodeStreamRecord(recordOf(LIDAR_STREAM_IMAGE, entryOf(small)), StreamFlags{}, nullptr);
    decodeStreamRecord(recordOf(LIDAR_STREAM_IMAGE, entryOf(large)), StreamFlags{}, nullptr);

    cv::Mat taken;
    ASSERT_TRUE(g_imageBuffer.take(taken));
    EXPECT_EQ(taken.cols, 32);
    EXPECT_FALSE(g_imageBuffer.take(taken));
}

TEST_F(StreamDecodingTest, OdometryOf64BytesGivesTimePositionAndIdentity) {
    DecodedPose decoded = decodePose(recordOf(LIDAR_STREAM_ODOMETRY, entryOf(odometry64)));

    ASSERT_TRUE(decoded.pose.has_value());
    const PoseRecord &pose = *decoded.pose;
    EXPECT_EQ(pose.time, 1234567890123456789.0);
    EXPECT_EQ(pose.translation[0], 1.0);
    EXPECT_EQ(pose.translation[1], -2.5);
    EXPECT_EQ(pose.translation[2], 0.0);
    const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    for (size_t i = 0; i < 9; ++i)
        EXPECT_EQ(pose.rotation[i], identity[i]) << "element " << i;
    EXPECT_TRUE(decoded.record.empty());
}

TEST_F(StreamDecodingTest, OdometryOf688BytesNormalisesTheQuaternion) {
    DecodedPose decoded = decodePose(recordOf(LIDAR_STREAM_HF_ODOMETRY, entryOf(odometry688)));

    ASSERT_TRUE(decoded.pose.has_value());
    const double *r = decoded.pose->rotation; // column-major
    const double quarterTurn[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1};
    for (size_t i = 0; i < 9; ++i)
        EXPECT_NEAR(r[i], quarterTurn[i], 1e-12) << "element " << i;
}

TEST_F(StreamDecodingTest, OdometryRecordKeepsPlainOdometryAsReceived) {
    Recording recording;
    RecordingTarget target = recording.target();
    decodeStreamRecord(recordOf(LIDAR_STREAM_ODOMETRY, entryOf(odometry64)), StreamFlags{},
                       &target);
    decodeStreamRecord(recordOf(LIDAR_STREAM_HF_ODOMETRY, entryOf(odometry688)), StreamFlags{},
                       &target);

    ASSERT_EQ(recording.poses.size(), 1u) << "high-frequency odometry is never recorded";
    EXPECT_EQ(recording.poseSeq.load(), 1u);
    const Bytes expected = {
        0x00, 0x00, 0x00, 0x00,                         // sequence 0
        0xB7, 0xE6, 0x87, 0xB4, 0x80, 0x65, 0xD2, 0x41, // 1234567890.123456789 s
        0x00, 0x00, 0x80, 0x3F,                         // x 1.0
        0x00, 0x00, 0x20, 0xC0,                         // y -2.5
        0x00, 0x00, 0x00, 0x00,                         // z
        0x00, 0x00, 0x00, 0x00,                         // qx
        0x00, 0x00, 0x00, 0x00,                         // qy
        0x00, 0x00, 0x00, 0x00,                         // qz
        0x00, 0x00, 0x00, 0x00,                         // qw, not normalised
    };
    EXPECT_EQ(recording.poses[0], expected);

    PoseRecord pose;
    ASSERT_TRUE(g_poseBuffer.take(pose));
    EXPECT_EQ(pose.time, 0.0) << "the later, high-frequency pose is the one taken";
}

TEST_F(StreamDecodingTest, MakePoseNormalisesAndBuildsAColumnMajorRotation) {
    PoseRecord scaled = makePose(1, 2, 3, 2, 0, 0, 0, 5);
    const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    for (size_t i = 0; i < 9; ++i)
        EXPECT_EQ(scaled.rotation[i], identity[i]);
    EXPECT_EQ(scaled.time, 5.0);
    EXPECT_EQ(scaled.translation[2], 3.0);

    PoseRecord zero = makePose(0, 0, 0, 0, 0, 0, 0, 0);
    for (size_t i = 0; i < 9; ++i)
        EXPECT_EQ(zero.rotation[i], identity[i]);

    PoseRecord halfTurnAboutX = makePose(0, 0, 0, 0, 3, 0, 0, 0);
    const double diag[9] = {1, 0, 0, 0, -1, 0, 0, 0, -1};
    for (size_t i = 0; i < 9; ++i)
        EXPECT_EQ(halfTurnAboutX.rotation[i], diag[i]);
}

TEST_F(StreamDecodingTest, DeviceInfoIsPrintedLineByLine) {
    lidar_stream_data_t record = recordOf(LIDAR_STREAM_DEVICE_INFO, entryOf(deviceInfo));
    ASSERT_EQ(deviceInfo.size(), 100u);
    EXPECT_EQ(capture_stdout([&] { decodeStreamRecord(record, StreamFlags{}, nullptr); }),
              deviceInfoText);
    EXPECT_TRUE(captured_lines().empty());
}

TEST_F(StreamDecodingTest, UnknownTypeIsReportedAndImuIgnored) {
    lidar_stream_data_t unknown = recordOf(1, entryOf(odometry64));
    EXPECT_EQ(capture_stdout([&] { decodeStreamRecord(unknown, StreamFlags{}, nullptr); }),
              "[Lidar] Unknown data type: 1\n");
    unknown.type = 0x80000000u;
    EXPECT_EQ(capture_stdout([&] { decodeStreamRecord(unknown, StreamFlags{}, nullptr); }),
              "[Lidar] Unknown data type: 2147483648\n");
    lidar_stream_data_t imu = recordOf(LIDAR_STREAM_IMU, entryOf(Bytes(40, 1)));
    EXPECT_EQ(capture_stdout([&] { decodeStreamRecord(imu, StreamFlags{}, nullptr); }), "");
    EXPECT_TRUE(captured_lines().empty());
}

TEST_F(StreamDecodingTest, WiwcOf688BytesIsStoredAndOthersIgnoredSilently) {
    Bytes wiwc(688);
    for (size_t i = 0; i < wiwc.size(); ++i)
        wiwc[i] = static_cast<uint8_t>(i);
    decodeStreamRecord(recordOf(LIDAR_STREAM_WIWC, entryOf(wiwc)), StreamFlags{}, nullptr);
    WiwcRecord taken{};
    ASSERT_TRUE(g_wiwcBuffer.take(taken));
    EXPECT_EQ(Bytes(taken.begin(), taken.end()), wiwc);

    Bytes shorter(687, 0x55);
    decodeStreamRecord(recordOf(LIDAR_STREAM_WIWC, entryOf(shorter)), StreamFlags{}, nullptr);
    EXPECT_FALSE(g_wiwcBuffer.take(taken));
    EXPECT_TRUE(captured_lines().empty());
}

TEST_F(StreamDecodingTest, EachKindIsNumberedOnItsOwnAndAMissingWriterIsSkipped) {
    Recording recording;
    RecordingTarget target = recording.target();
    target.imageWriter = nullptr;
    Bytes jpeg = jpegOf(cv::Mat(8, 8, CV_8UC3, cv::Scalar(1, 2, 3)));
    lidar_stream_data_t cloud = recordOf(LIDAR_STREAM_SLAM_CLOUD, entryOf(slamTwoPoints));
    capture_stdout([&] {
        decodeStreamRecord(recordOf(LIDAR_STREAM_IMAGE, entryOf(jpeg)), StreamFlags{}, &target);
        decodeStreamRecord(cloud, StreamFlags{}, &target);
        decodeStreamRecord(cloud, StreamFlags{}, &target);
        decodeStreamRecord(recordOf(LIDAR_STREAM_ODOMETRY, entryOf(odometry688)), StreamFlags{},
                           &target);
    });

    EXPECT_EQ(recording.imageSeq.load(), 1u);
    EXPECT_TRUE(recording.images.empty());
    ASSERT_EQ(recording.clouds.size(), 2u);
    EXPECT_EQ(recording.clouds[0][0], 0);
    EXPECT_EQ(recording.clouds[1][0], 1);
    ASSERT_EQ(recording.poses.size(), 1u);
    EXPECT_EQ(recording.poses[0][0], 0);
    cv::Mat image;
    EXPECT_TRUE(g_imageBuffer.take(image)) << "the picture is published all the same";
}

TEST_F(DecodeBounds, DtofPointsShorterThanTheFrameAreDropped) {
    Bytes shortPoints(dtofWidePoints.begin(), dtofWidePoints.end() - 1);
    EXPECT_TRUE(decodeDtofCloud(dtofRecord(3, shortPoints, dtofWideIntensities, 3, 2)).empty());
    EXPECT_EQ(captured_line_with("dtof frame"),
              "<ERROR><stream_decoding.cpp:StreamDecoding::decodeDtofCloud:N>: dtof frame of 3 x 2 "
              "points does not fit the 95 bytes of its point entry (16 per point); dropped.\n");
    EXPECT_EQ(captured_lines().size(), 1u);

    nextReportInterval();
    Bytes compactShort(dtofCompactPoints.begin(), dtofCompactPoints.end() - 12);
    EXPECT_TRUE(decodeDtofCloud(dtofRecord(4, compactShort, dtofCompactIntensities, 2, 1)).empty());
    EXPECT_TRUE(log_contains("does not fit the 12 bytes of its point entry (12 per point)"));

    nextReportInterval();
    lidar_stream_data_t noData = dtofRecord(3, dtofWidePoints, dtofWideIntensities, 3, 2);
    noData.entries[1].data = nullptr;
    EXPECT_TRUE(decodeDtofCloud(noData).empty());
    EXPECT_TRUE(log_contains("does not fit the 0 bytes of its point entry"));
}

TEST_F(DecodeBounds, DtofIntensitiesShorterThanTheFrameAreDropped) {
    Bytes shortWide(dtofWideIntensities.begin(), dtofWideIntensities.end() - 1);
    EXPECT_TRUE(decodeDtofCloud(dtofRecord(3, dtofWidePoints, shortWide, 3, 2)).empty());
    EXPECT_TRUE(log_contains("dtof frame of 3 x 2 points does not fit the 11 bytes of its "
                             "intensity entry (2 per point); dropped.\n"));

    nextReportInterval();
    Bytes shortCompact(dtofCompactIntensities.begin(), dtofCompactIntensities.end() - 1);
    EXPECT_TRUE(decodeDtofCloud(dtofRecord(4, dtofCompactPoints, shortCompact, 2, 1)).empty());
    EXPECT_TRUE(log_contains("does not fit the 1 bytes of its intensity entry (1 per point)"));

    nextReportInterval();
    lidar_stream_data_t twoEntries = dtofRecord(3, dtofWidePoints, dtofWideIntensities, 3, 2);
    twoEntries.count = 2;
    twoEntries.entries[2] = lidar_stream_entry_t{};
    EXPECT_TRUE(decodeDtofCloud(twoEntries).empty());
    EXPECT_TRUE(log_contains("does not fit the 0 bytes of its intensity entry"));
    EXPECT_EQ(captured_lines().size(), 3u);
}

TEST_F(DecodeBounds, DtofNegativeAndHugeDimensionsAreDropped) {
    EXPECT_TRUE(decodeDtofCloud(dtofRecord(3, dtofWidePoints, dtofWideIntensities, 0xFFFFFFFFu, 2))
                    .empty());
    EXPECT_TRUE(log_contains("dtof frame of -1 x 2 points has a negative dimension; dropped.\n"));

    nextReportInterval();
    EXPECT_TRUE(
        decodeDtofCloud(dtofRecord(3, dtofWidePoints, dtofWideIntensities, 0x7FFFFFFF, 0x7FFFFFFF))
            .empty());
    EXPECT_TRUE(log_contains("dtof frame of 2147483647 x 2147483647 points does not fit the 96 "
                             "bytes of its point entry"));
    EXPECT_EQ(captured_lines().size(), 2u);
}

TEST_F(DecodeBounds, Nv12WithAnOddDimensionIsDropped) {
    Bytes bytes(9, 0x80); // 3 x 2 x 3 / 2
    lidar_stream_entry_t entry = entryOf(bytes);
    entry.param1 = 3;
    entry.param2 = 2;
    std::atomic<uint32_t> imageSeq{0};
    DecodedImage image = decodeImage(entry, &imageSeq);
    EXPECT_TRUE(image.image.empty());
    EXPECT_TRUE(image.record.empty());
    EXPECT_EQ(captured_line_with("nv12"),
              "<ERROR><stream_decoding_image.cpp:StreamDecoding::decodeImage:N>: nv12 image of 3 x "
              "2 pixels has an odd dimension; dropped.\n");
    EXPECT_EQ(captured_lines().size(), 1u);
}

TEST_F(DecodeBounds, ImageSizeThatWrapsIn32BitsIsNotTakenForNv12) {
    // 65536 x 65538 x 3 / 2 is 196608 in 32-bit arithmetic: read as NV12, this
    // entry would be read far past its end.
    Bytes bytes(196608, 0x10);
    lidar_stream_entry_t entry = entryOf(bytes);
    entry.param1 = 65536;
    entry.param2 = 65538;
    DecodedImage image = decodeImage(entry);
    EXPECT_TRUE(image.image.empty());
    EXPECT_TRUE(log_contains("jpeg image of 196608 bytes (65536 x 65538 pixels announced) could "
                             "not be decoded; dropped.\n"));
    EXPECT_EQ(captured_lines().size(), 1u);
}

TEST_F(DecodeBounds, ImageWithoutBytesIsDropped) {
    lidar_stream_entry_t entry{};
    entry.param1 = 640;
    entry.param2 = 480;
    EXPECT_TRUE(decodeImage(entry).image.empty());
    EXPECT_TRUE(
        log_contains("image entry of 640 x 480 pixels holds none of its 0 bytes; dropped.\n"));

    nextReportInterval();
    entry.size = 460800; // announced, but no data
    std::atomic<uint32_t> imageSeq{0};
    DecodedImage image = decodeImage(entry, &imageSeq);
    EXPECT_TRUE(image.image.empty());
    EXPECT_TRUE(image.record.empty());
    EXPECT_TRUE(log_contains("holds none of its 460800 bytes"));
}

TEST_F(DecodeBounds, DeviceInfoShorterThanItsRecordIsDroppedUnprinted) {
    Bytes shorter(deviceInfo.begin(), deviceInfo.end() - 1);
    lidar_stream_data_t record = recordOf(LIDAR_STREAM_DEVICE_INFO, entryOf(shorter));
    EXPECT_EQ(capture_stdout([&] { decodeStreamRecord(record, StreamFlags{}, nullptr); }), "");
    EXPECT_EQ(captured_line_with("device info"),
              "<ERROR><stream_decoding_device_info.cpp:StreamDecoding::printDeviceInfo:N>: device "
              "info entry holds 99 of its 100 bytes; dropped.\n");

    nextReportInterval();
    lidar_stream_entry_t noData{};
    noData.size = 100;
    EXPECT_FALSE(printDeviceInfo(noData));
    EXPECT_TRUE(log_contains("device info entry holds 0 of its 100 bytes; dropped.\n"));
}

TEST_F(DecodeBounds, OdometryOfAnotherSizeIsDropped) {
    Recording recording;
    RecordingTarget target = recording.target();
    Bytes shorter(odometry64.begin(), odometry64.end() - 1);
    decodeStreamRecord(recordOf(LIDAR_STREAM_ODOMETRY, entryOf(shorter)), StreamFlags{}, &target);
    EXPECT_TRUE(log_contains("odometry entry of 63 bytes is neither 688 nor 64 bytes; dropped.\n"));
    PoseRecord pose;
    EXPECT_FALSE(g_poseBuffer.take(pose));
    EXPECT_TRUE(recording.poses.empty());
    EXPECT_EQ(recording.poseSeq.load(), 0u);

    nextReportInterval();
    Bytes between(100, 0);
    EXPECT_FALSE(decodePose(recordOf(LIDAR_STREAM_ODOMETRY, entryOf(between))).pose);
    EXPECT_TRUE(log_contains("odometry entry of 100 bytes is neither"));

    nextReportInterval();
    lidar_stream_entry_t noData{};
    noData.size = 688;
    EXPECT_FALSE(decodePose(recordOf(LIDAR_STREAM_ODOMETRY, noData)).pose);
    EXPECT_TRUE(log_contains("odometry entry of 688 bytes has no data; dropped.\n"));
    EXPECT_EQ(captured_lines().size(), 3u);
}

TEST_F(DecodeBounds, SlamCloudAndWiwcWithoutDataAreDropped) {
    lidar_stream_entry_t noData{};
    noData.size = 56;
    lidar_stream_data_t record = recordOf(LIDAR_STREAM_SLAM_CLOUD, noData);
    EXPECT_EQ(capture_stdout([&] { decodeStreamRecord(record, StreamFlags{}, nullptr); }), "");
    EXPECT_TRUE(log_contains("slam cloud entry of 56 bytes has no data; dropped.\n"));

    noData.size = 688;
    WiwcRecord wiwc{};
    EXPECT_FALSE(copyWiwc(noData, wiwc));
    EXPECT_TRUE(log_contains("wiwc entry of 688 bytes has no data; dropped.\n"));
}

TEST_F(DecodeBounds, ManyBadRecordsGiveOneLineThenACount) {
    Bytes shortPoints(dtofWidePoints.begin(), dtofWidePoints.end() - 1);
    lidar_stream_data_t bad = dtofRecord(3, shortPoints, dtofWideIntensities, 3, 2);
    for (int i = 0; i < 1000; ++i)
        decodeDtofCloud(bad);
    EXPECT_EQ(linesWith("dtof frame"), 1u);

    fake_now += DROP_REPORT_INTERVAL - std::chrono::milliseconds(1);
    decodeDtofCloud(bad);
    EXPECT_EQ(linesWith("dtof frame"), 1u) << "still within the interval";

    fake_now += std::chrono::milliseconds(1);
    decodeDtofCloud(bad);
    ASSERT_EQ(linesWith("dtof frame"), 2u);
    EXPECT_EQ(captured_lines().back(),
              "<ERROR><stream_decoding.cpp:StreamDecoding::decodeDtofCloud:" +
                  std::to_string(kest_test::captured_logs().back().line) +
                  ">: dtof frame of 3 x 2 points does not fit the 95 bytes of its point entry (16 "
                  "per point); dropped (1000 more dropped in the last 5 s).\n");

    decodeDtofCloud(bad);
    EXPECT_EQ(linesWith("dtof frame"), 2u) << "a new interval starts with each line";
    fake_now += std::chrono::seconds(60);
    decodeDtofCloud(bad);
    EXPECT_TRUE(log_contains("(1 more dropped in the last 60 s).\n"));
}

TEST_F(DecodeBounds, EachKindOfRecordHasItsOwnBudget) {
    Bytes shortPoints(dtofWidePoints.begin(), dtofWidePoints.end() - 1);
    decodeDtofCloud(dtofRecord(3, shortPoints, dtofWideIntensities, 3, 2));
    Bytes shorter(odometry64.begin(), odometry64.end() - 1);
    decodePose(recordOf(LIDAR_STREAM_ODOMETRY, entryOf(shorter)));
    Bytes oddNv12(9, 0);
    lidar_stream_entry_t image = entryOf(oddNv12);
    image.param1 = 3;
    image.param2 = 2;
    decodeImage(image);
    EXPECT_EQ(linesWith("dtof frame"), 1u);
    EXPECT_EQ(linesWith("odometry entry"), 1u);
    EXPECT_EQ(linesWith("nv12 image"), 1u);
}

TEST(SwapBuffer, StartsEmptyAndHandsOnlyTheNewestValueOnce) {
    SwapBuffer<int> buffer;
    int value = -1;
    EXPECT_FALSE(buffer.take(value));
    EXPECT_EQ(value, -1) << "an empty take leaves the output alone";

    buffer.publish(1);
    buffer.publish(2);
    ASSERT_TRUE(buffer.take(value));
    EXPECT_EQ(value, 2) << "the first value is lost";
    EXPECT_FALSE(buffer.take(value)) << "a take clears updated";

    const int three = 3;
    buffer.publish(three);
    ASSERT_TRUE(buffer.take(value));
    EXPECT_EQ(value, 3);
}

TEST(SwapBuffer, ImagesShareTheirPixelsThroughTheBuffer) {
    SwapBuffer<cv::Mat> buffer;
    cv::Mat picture(4, 4, CV_8UC3, cv::Scalar(1, 2, 3));
    buffer.publish(picture);
    cv::Mat taken;
    ASSERT_TRUE(buffer.take(taken));
    EXPECT_EQ(taken.data, picture.data);
}

TEST(SwapBuffer, OneProducerAndOneConsumerNeverSeeAValueGoBackwards) {
    constexpr uint64_t count = 100000;
    constexpr size_t width = 16; // every element carries the counter: a torn copy shows
    SwapBuffer<std::vector<uint64_t>> buffer;
    std::atomic<bool> produced{false};

    std::thread producer([&] {
        std::vector<uint64_t> value(width);
        for (uint64_t i = 1; i <= count; ++i) {
            std::fill(value.begin(), value.end(), i);
            buffer.publish(value);
        }
        produced = true;
    });

    uint64_t last = 0;
    size_t taken = 0, backwards = 0, torn = 0;
    std::vector<uint64_t> value;
    while (last != count) {
        bool done = produced.load(); // read before the take: a false take after it is final
        if (buffer.take(value)) {
            ++taken;
            backwards += value.front() <= last;
            torn += std::count(value.begin(), value.end(), value.front()) !=
                    static_cast<std::ptrdiff_t>(width);
            last = value.front();
        } else if (done) {
            break;
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();

    EXPECT_EQ(last, count) << "the last value published must be taken";
    EXPECT_EQ(backwards, 0u);
    EXPECT_EQ(torn, 0u);
    EXPECT_GT(taken, 0u);
}
