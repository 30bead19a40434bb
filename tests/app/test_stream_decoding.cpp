// Stream decoding: each decoder against bytes laid out as sdk/api/api.h documents its record, the
// dispatch of records to decoders and buffers, the recorder's records, the bounds every record is
// checked against (with the rate limit on their log lines), and the latest-value hand-off buffer.
#include "app/stream_decoding.h"
#include "app/stream_decoding_input.h"
#include "recording/record_layout.h"

#include "tests/support/log_capture.h"

#include <opencv2/imgcodecs.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace StreamDecoding;
using kest_test::capture_stdout;
using kest_test::captured_lines;
using kest_test::log_contains;

namespace {

using Bytes = std::vector<uint8_t>;

// The bytes of values in turn, little-endian like the host.
template <typename T>
Bytes le(std::initializer_list<T> values) {
    Bytes out(values.size() * sizeof(T));
    std::memcpy(out.data(), values.begin(), out.size());
    return out;
}

template <typename... Tail>
Bytes concat(Bytes head, const Tail &...tail) {
    (head.insert(head.end(), tail.begin(), tail.end()), ...);
    return head;
}

Bytes cut(const Bytes &bytes, size_t drop) {
    return Bytes(bytes.begin(), bytes.end() - static_cast<std::ptrdiff_t>(drop));
}

std::chrono::steady_clock::time_point fake_now;

lidar_stream_entry_t entryOf(const Bytes &bytes, uint32_t param1 = 0, uint32_t param2 = 0) {
    lidar_stream_entry_t entry{};
    entry.size = static_cast<uint32_t>(bytes.size());
    entry.data = bytes.empty() ? nullptr : bytes.data();
    entry.param1 = param1;
    entry.param2 = param2;
    return entry;
}

// An entry that announces size bytes and holds none.
lidar_stream_entry_t withoutData(uint32_t size, uint32_t param1 = 0, uint32_t param2 = 0) {
    lidar_stream_entry_t entry = entryOf({}, param1, param2);
    entry.size = size;
    return entry;
}

lidar_stream_data_t recordOf(uint32_t type, const lidar_stream_entry_t &first) {
    lidar_stream_data_t record{};
    record.type = type;
    record.count = 1;
    record.entries[0] = first;
    return record;
}

size_t linesWith(const std::string &fragment) {
    const std::vector<std::string> lines = captured_lines();
    return std::count_if(lines.begin(), lines.end(), [&](const std::string &line) {
        return line.find(fragment) != std::string::npos;
    });
}

using Point = std::tuple<float, float, float, int, int, int, int, uint32_t>;

Point tie(const CloudPoint &p) {
    return Point(p.x, p.y, p.z, p.r, p.g, p.b, p.intensity, p.label);
}

std::vector<double> rotation(const PoseRecord &pose) {
    return std::vector<double>(pose.rotation, pose.rotation + 9);
}

const std::vector<double> identity = {1, 0, 0, 0, 1, 0, 0, 0, 1};

// A recording in progress with a recorder whose writers keep what they get.
struct Recording {
    std::atomic<uint32_t> poseSeq{0}, cloudSeq{0}, imageSeq{0};
    std::vector<Bytes> poses, clouds, images;

    static RecordWriter into(std::vector<Bytes> &kept) {
        return [&kept](Bytes &&record) { kept.push_back(std::move(record)); };
    }
    RecordingTarget target() {
        return {poseSeq, cloudSeq, imageSeq, into(poses), into(clouds), into(images)};
    }
};

// SLAM cloud: two points of seven int32 words: x, y, z in 0.1 mm, r, g, b, a (not read).
const Bytes slamTwoPoints =
    le<int32_t>({10000, -20000, 5, 0x1FF, 2, 3, 99, -1, 30000, INT32_MIN, 0x10, 0x120, 0x30, 0});

// DTOF, count 3: 3 columns x 2 rows of 16-byte points (x, y, z in mm, a fourth float not read),
// then 16-bit intensities.
const Bytes dtofWidePoints =
    concat(le<float>({1000, 2000, 3000, 1, 0, 1, 0, 0, -1000, 500, 0, 1}), Bytes(3 * 16, 0x40));
const Bytes dtofWideIntensities = le<uint16_t>({10, 12500, 5, 6255, 65535, 11});

// DTOF, count 4: 2 columns x 1 row of 12-byte points, then 8-bit intensities.
const Bytes dtofCompactPoints = le<float>({1000, 2000, 3000, -1000, 500, 0});
const Bytes dtofCompactIntensities = {0x00, 0xC8};
const Bytes dtofFourthEntry = {0x11, 0x22};

// A DTOF record of count entries: a header, then the points, the intensities and a fourth.
lidar_stream_data_t dtofRecord(uint32_t count, const Bytes &points, const Bytes &intensities,
                               uint32_t cols, uint32_t rows) {
    lidar_stream_data_t record{};
    record.type = LIDAR_STREAM_DTOF;
    record.count = count;
    const Bytes none, *entries[] = {&none, &points, &intensities, &dtofFourthEntry};
    for (uint32_t i = 0; i < count; ++i) {
        record.entries[i] = entryOf(*entries[i], cols, rows);
        record.entries[i].value1 = 0xAB00000009ull;
        record.entries[i].timestamp = 77;
    }
    return record;
}

// Odometry: time in ns, position in um, quaternion (x, y, z, w) x 1e6.
const Bytes odometry64 = le<int64_t>({1234567890123456789, 1000000, -2500000, 0, 0, 0, 0, 0});
// A quarter turn about z, then 624 bytes that are not read.
const Bytes odometry688 = concat(le<int64_t>({0, 0, 0, 0, 0, 0, 707107, 707107}), Bytes(624, 0xEE));

// Device info, the 100-byte status record: temperatures, loads, then rates in mHz with the DTOF's
// two 16-bit temperatures among them.
const Bytes deviceInfo =
    concat(le<int32_t>({45, 52, 48, 47, -3, 10, 20, 30, 40, 50, 60, 70, 100, 63, 30000, 29970,
                        10000, 9990, 40000}),
           le<int16_t>({-5, 38}), le<int32_t>({200000, 199500, 10000, -1500, 100000}));

const char deviceInfoText[] =
    "\n [dev_info] [soc_thermal]: package_temp:45C \n\n [dev_info] [soc_thermal]: cpu:52C \n"
    "\n [dev_info] [soc_thermal]: center_temp:48C \n\n [dev_info] [soc_thermal]: gpu_temp:47C \n"
    "\n [dev_info] [soc_thermal]: npu_temp:-3C \n"
    "\n [dev_info] [cpu]: cpu_use_rate-core[0]:10% \n\n [dev_info] [cpu]: cpu_use_rate-core[1]:20% "
    "\n"
    "\n [dev_info] [cpu]: cpu_use_rate-core[2]:30% \n\n [dev_info] [cpu]: cpu_use_rate-core[3]:40% "
    "\n"
    "\n [dev_info] [cpu]: cpu_use_rate-core[4]:50% \n\n [dev_info] [cpu]: cpu_use_rate-core[5]:60% "
    "\n"
    "\n [dev_info] [cpu]: cpu_use_rate-core[6]:70% \n\n [dev_info] [cpu]: "
    "cpu_use_rate-core[7]:100% \n"
    "\n [dev_info] [cpu]: ram_use_rate:63% \n"
    "\n [dev_info] [rgb]: configured_odr: 30.00 HZ, tx_odr: 29.97 HZ \n"
    "\n [dev_info] [dtof]: configured_odr: 10.00 HZ, tx_odr: 9.99 HZ \n"
    "\n [dev_info] [dtof]: subframe_odr: 40.00 \n\n [dev_info] [dtof]: txtemp:-5C, rxtemp:38C \n"
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

// Empties every buffer; true if any held a value.
bool anythingPublished() {
    std::vector<CloudPoint> points;
    cv::Mat image;
    PoseRecord pose;
    WiwcRecord wiwc;
    bool any = g_slamCloudBuffer.take(points);
    any |= g_dtofCloudBuffer.take(points);
    any |= g_imageBuffer.take(image);
    any |= g_poseBuffer.take(pose);
    return g_wiwcBuffer.take(wiwc) || any;
}

class StreamDecodingTest : public kest_test::logged_test {
protected:
    void SetUp() override {
        logged_test::SetUp();
        fake_now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
        resetDropReports([] { return fake_now; });
        anythingPublished();
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

TEST_F(StreamDecodingTest, SlamCloudReadsMetresAndLowColourBytesAndIsRecordedNumbered) {
    lidar_stream_entry_t entry = entryOf(slamTwoPoints);
    entry.value1 = 0x700000002Aull;
    entry.timestamp = 1500000000; // 1.5 s
    const lidar_stream_data_t record = recordOf(LIDAR_STREAM_SLAM_CLOUD, entry);
    DecodedCloud cloud;
    EXPECT_EQ(capture_stdout([&] { cloud = decodeSlamCloud(record); }),
              "recv pc2xyzrgba num_points = 2.\ncloud size = 2.\n");
    ASSERT_EQ(cloud.points.size(), 2u);
    EXPECT_EQ(tie(cloud.points[0]), Point(1, -2, 0.0005f, 255, 2, 3, 0, 42));
    EXPECT_EQ(tie(cloud.points[1]), Point(-0.0001f, 3, -214748.3648f, 0x10, 0x20, 0x30, 0, 42));
    EXPECT_TRUE(cloud.record.empty()) << "nothing is recorded without a sequence counter";

    std::atomic<uint32_t> cloudSeq{7};
    capture_stdout([&] { cloud = decodeSlamCloud(record, 0, &cloudSeq); });
    EXPECT_EQ(cloudSeq.load(), 8u);
    ASSERT_EQ(cloud.record.size(), 16u + 2 * 15);
    EXPECT_EQ(cloud.record.capacity(), cloud.record.size());
    // Sequence, seconds, points, then x, y, z as floats and r, g, b of each point.
    EXPECT_EQ(cloud.record,
              concat(le<uint32_t>({7}), le<double>({1.5}), le<uint32_t>({2}),
                     le<float>({1, -2, 0.0005f}), Bytes{0xFF, 2, 3},
                     le<float>({-0.0001f, 3, -214748.3648f}), Bytes{0x10, 0x20, 0x30}));

    // Shorter than one point: zero printed, nothing published, recorded or numbered.
    const Bytes shorter = cut(slamTwoPoints, 29);
    EXPECT_EQ(capture_stdout([&] {
                  cloud = decodeSlamCloud(recordOf(LIDAR_STREAM_SLAM_CLOUD, entryOf(shorter)), 0,
                                          &cloudSeq);
              }),
              "recv pc2xyzrgba num_points = 0.\ncloud size = 0.\n");
    EXPECT_TRUE(cloud.points.empty());
    EXPECT_TRUE(cloud.record.empty());
    EXPECT_EQ(cloudSeq.load(), 8u);
    EXPECT_TRUE(captured_lines().empty());
}

TEST_F(StreamDecodingTest, DtofFramesMapTheAxesAndTakeGreyFromTheIntensities) {
    std::vector<CloudPoint> wide =
        decodeDtofCloud(dtofRecord(3, dtofWidePoints, dtofWideIntensities, 3, 2));
    ASSERT_EQ(wide.size(), 6u);
    EXPECT_EQ(tie(wide[0]), Point(3, -1, 2, 0, 0, 0, 0, 9));
    EXPECT_EQ(tie(wide[2]), Point(0, 1, 0.5f, 0, 0, 0, 0, 9));
    const int grey[6] = {0, 255, 0, 127, 255, 0}; // of 10, 12500, 5, 6255, 65535, 11
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(std::make_tuple(wide[i].r, wide[i].g, wide[i].b, wide[i].intensity),
                  std::make_tuple(grey[i], grey[i], grey[i], grey[i]))
            << "point " << i;

    std::vector<CloudPoint> compact =
        decodeDtofCloud(dtofRecord(4, dtofCompactPoints, dtofCompactIntensities, 2, 1));
    ASSERT_EQ(compact.size(), 2u);
    EXPECT_EQ(tie(compact[0]), Point(3, -1, 2, 0, 0, 0, 0, 9));
    EXPECT_EQ(tie(compact[1]), Point(0, 1, 0.5f, 200, 200, 200, 200, 9));
    EXPECT_TRUE(captured_lines().empty());
}

// A pixel without a return is (0, 0, 0): not a point at the sensor. Nor is a non-finite one.
// Neither is a fault, nor is a frame of no pixels.
TEST_F(StreamDecodingTest, DtofPixelsWithoutAPlaceAreLeftOutSilently) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const Bytes points = le<float>({0, 0, 0, 1000, 2000, 3000, nan, 1, 1, 1, 1, inf, 0, 0, 500});
    std::vector<CloudPoint> decoded = decodeDtofCloud(dtofRecord(4, points, {1, 2, 3, 4, 5}, 5, 1));
    ASSERT_EQ(decoded.size(), 2u);
    EXPECT_EQ(tie(decoded[0]), Point(3, -1, 2, 2, 2, 2, 2, 9));
    EXPECT_EQ(tie(decoded[1]), Point(0.5f, 0, 0, 5, 5, 5, 5, 9));

    EXPECT_TRUE(decodeDtofCloud(dtofRecord(3, dtofWidePoints, dtofWideIntensities, 0, 2)).empty());
    EXPECT_TRUE(decodeDtofCloud(dtofRecord(4, {}, {}, 2, 0)).empty());
    decodeStreamRecord(dtofRecord(3, {}, {}, 0, 0), streamFlagsFor(ScanMode::DTOF, {}), nullptr);
    EXPECT_FALSE(anythingPublished());
    EXPECT_TRUE(captured_lines().empty());
}

TEST_F(StreamDecodingTest, ScanModeChoosesWhichCloudIsDecoded) {
    using Flags = std::pair<bool, bool>; // DTOF, SLAM
    const StreamFlags slam = streamFlagsFor(ScanMode::SLAM, StreamFlags{true, false});
    const StreamFlags dtof = streamFlagsFor(ScanMode::DTOF, slam);
    const StreamFlags other = streamFlagsFor(static_cast<ScanMode>(7), dtof);
    EXPECT_EQ(Flags(slam.dtofEnabled, slam.slamEnabled), Flags(false, true));
    EXPECT_EQ(Flags(dtof.dtofEnabled, dtof.slamEnabled), Flags(true, false));
    EXPECT_EQ(Flags(other.dtofEnabled, other.slamEnabled), Flags(true, false));

    const lidar_stream_data_t cloud = recordOf(LIDAR_STREAM_SLAM_CLOUD, entryOf(slamTwoPoints));
    const lidar_stream_data_t frame = dtofRecord(3, dtofWidePoints, dtofWideIntensities, 3, 2);
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

TEST_F(StreamDecodingTest, Nv12PictureBecomesBgrAndIsRecordedAsJpeg) {
    const Bytes bytes = nv12(640, 480, 81, 90, 240); // red in BT.601
    ASSERT_EQ(bytes.size(), 640u * 480 * 3 / 2);
    lidar_stream_entry_t entry = entryOf(bytes, 640, 480);
    entry.timestamp = 1000000000;
    std::atomic<uint32_t> imageSeq{0};
    DecodedImage image = decodeImage(entry, &imageSeq);

    ASSERT_FALSE(image.image.empty());
    EXPECT_EQ(image.image.type(), CV_8UC3);
    EXPECT_EQ(image.image.size(), cv::Size(640, 480));
    EXPECT_TRUE(near(image.image.at<cv::Vec3b>(0, 0), 0, 0, 255, 4));
    EXPECT_TRUE(near(image.image.at<cv::Vec3b>(479, 639), 0, 0, 255, 4));
    EXPECT_NE(image.image.data, bytes.data()) << "the picture owns its pixels";

    EXPECT_EQ(imageSeq.load(), 1u);
    ASSERT_GT(image.record.size(), 16u);
    EXPECT_EQ(image.record.capacity(), image.record.size());
    const Bytes head = {0x00, 0x00, 0x00, 0x00,                          // sequence 0
                        0x19, 0xF1, 0x32, 0xFD, 0xF1, 0x02, 0xF0, 0x3F}; // (1e9 + 719060) / 1e9 s
    const Bytes jpeg(image.record.begin() + 16, image.record.end());
    EXPECT_EQ(Bytes(image.record.begin(), image.record.begin() + 16),
              concat(head, le<uint32_t>({static_cast<uint32_t>(jpeg.size())})));
    ASSERT_GT(jpeg.size(), 2u);
    EXPECT_EQ(Bytes(jpeg.begin(), jpeg.begin() + 2), (Bytes{0xFF, 0xD8}));
    cv::Mat back = cv::imdecode(jpeg, cv::IMREAD_COLOR);
    ASSERT_EQ(back.size(), cv::Size(640, 480));
    EXPECT_TRUE(near(back.at<cv::Vec3b>(240, 320), 0, 0, 255, 12));
    EXPECT_TRUE(captured_lines().empty());
}

TEST_F(StreamDecodingTest, JpegPictureIsDecodedAndRecordedUnchanged) {
    const Bytes jpeg = jpegOf(cv::Mat(8, 16, CV_8UC3, cv::Scalar(255, 0, 0)));
    std::atomic<uint32_t> imageSeq{3};
    DecodedImage image = decodeImage(entryOf(jpeg, 16, 8), &imageSeq);
    ASSERT_FALSE(image.image.empty());
    EXPECT_EQ(image.image.type(), CV_8UC3);
    EXPECT_EQ(image.image.size(), cv::Size(16, 8));
    EXPECT_TRUE(near(image.image.at<cv::Vec3b>(4, 8), 255, 0, 0, 8));
    ASSERT_EQ(image.record.size(), 16 + jpeg.size());
    EXPECT_EQ(image.record[0], 3);
    EXPECT_EQ(Bytes(image.record.begin() + 16, image.record.end()), jpeg);
    EXPECT_EQ(imageSeq.load(), 4u);
    EXPECT_TRUE(captured_lines().empty());
}

// Only JPEG files are decoded; what cannot be is still recorded, never published.
TEST_F(StreamDecodingTest, UndecodablePictureFailsButIsStillRecorded) {
    Bytes png;
    ASSERT_TRUE(cv::imencode(".png", cv::Mat(8, 8, CV_8UC3, cv::Scalar(9, 9, 9)), png));
    Bytes garbage = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'n', 'o', 't', ' ', 'a', 'n'};
    for (const Bytes *bytes : {&garbage, &png}) {
        nextReportInterval();
        const lidar_stream_entry_t entry = entryOf(*bytes, 640, 480);
        std::atomic<uint32_t> imageSeq{0};
        DecodedImage image = decodeImage(entry, &imageSeq);
        EXPECT_TRUE(image.image.empty());
        ASSERT_EQ(image.record.size(), 16 + bytes->size());
        EXPECT_EQ(Bytes(image.record.begin() + 16, image.record.end()), *bytes);
        EXPECT_TRUE(
            log_contains("jpeg image of " + std::to_string(bytes->size()) +
                         " bytes (640 x 480 pixels announced) could not be decoded; dropped"));

        Recording recording;
        RecordingTarget target = recording.target();
        decodeStreamRecord(recordOf(LIDAR_STREAM_IMAGE, entry), StreamFlags{}, &target);
        EXPECT_FALSE(anythingPublished());
        ASSERT_EQ(recording.images.size(), 1u);
        EXPECT_EQ(recording.images[0].size(), 16 + bytes->size());
    }
}

TEST_F(StreamDecodingTest, OdometryGivesTimePositionAndANormalisedColumnMajorRotation) {
    DecodedPose plain = decodePose(recordOf(LIDAR_STREAM_ODOMETRY, entryOf(odometry64)));
    ASSERT_TRUE(plain.pose.has_value());
    EXPECT_EQ(plain.pose->time, 1234567890123456789.0);
    EXPECT_EQ(std::vector<double>(plain.pose->translation, plain.pose->translation + 3),
              (std::vector<double>{1.0, -2.5, 0.0}));
    EXPECT_EQ(rotation(*plain.pose), identity) << "a zero quaternion is no turn";
    EXPECT_TRUE(plain.record.empty());

    DecodedPose turned = decodePose(recordOf(LIDAR_STREAM_HF_ODOMETRY, entryOf(odometry688)));
    ASSERT_TRUE(turned.pose.has_value());
    const double quarterTurn[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1};
    for (size_t i = 0; i < 9; ++i)
        EXPECT_NEAR(turned.pose->rotation[i], quarterTurn[i], 1e-12) << "element " << i;

    const PoseRecord scaled = makePose(1, 2, 3, 2, 0, 0, 0, 5);
    EXPECT_EQ(rotation(scaled), identity);
    EXPECT_EQ(scaled.time, 5.0);
    EXPECT_EQ(scaled.translation[2], 3.0);
    EXPECT_EQ(rotation(makePose(0, 0, 0, 0, 3, 0, 0, 0)),
              (std::vector<double>{1, 0, 0, 0, -1, 0, 0, 0, -1}))
        << "a half turn about x";
}

TEST_F(StreamDecodingTest, DeviceInfoIsPrintedUnknownTypesNamedImuIgnoredAndWholeWiwcStored) {
    ASSERT_EQ(deviceInfo.size(), 100u);
    const lidar_stream_data_t info = recordOf(LIDAR_STREAM_DEVICE_INFO, entryOf(deviceInfo));
    EXPECT_EQ(capture_stdout([&] { decodeStreamRecord(info, StreamFlags{}, nullptr); }),
              deviceInfoText);
    lidar_stream_data_t unknown = recordOf(1, entryOf(odometry64));
    EXPECT_EQ(capture_stdout([&] { decodeStreamRecord(unknown, StreamFlags{}, nullptr); }),
              "[Lidar] Unknown data type: 1\n");
    unknown.type = 0x80000000u;
    EXPECT_EQ(capture_stdout([&] { decodeStreamRecord(unknown, StreamFlags{}, nullptr); }),
              "[Lidar] Unknown data type: 2147483648\n");
    const lidar_stream_data_t imu = recordOf(LIDAR_STREAM_IMU, entryOf(Bytes(40, 1)));
    EXPECT_EQ(capture_stdout([&] { decodeStreamRecord(imu, StreamFlags{}, nullptr); }), "");

    Bytes wiwc(688);
    for (size_t i = 0; i < wiwc.size(); ++i)
        wiwc[i] = static_cast<uint8_t>(i);
    decodeStreamRecord(recordOf(LIDAR_STREAM_WIWC, entryOf(wiwc)), StreamFlags{}, nullptr);
    WiwcRecord taken{};
    ASSERT_TRUE(g_wiwcBuffer.take(taken));
    EXPECT_EQ(Bytes(taken.begin(), taken.end()), wiwc);
    decodeStreamRecord(recordOf(LIDAR_STREAM_WIWC, entryOf(cut(wiwc, 1))), StreamFlags{}, nullptr);
    EXPECT_FALSE(anythingPublished());
    EXPECT_TRUE(captured_lines().empty());
}

// Each kind is numbered on its own, a missing writer is skipped, and plain odometry is recorded as
// received while the high-frequency kind is never recorded.
TEST_F(StreamDecodingTest, RecordsAreNumberedPerKindAndOdometryKeptAsReceived) {
    Recording recording;
    RecordingTarget target = recording.target();
    target.imageWriter = nullptr;
    const Bytes jpeg = jpegOf(cv::Mat(8, 8, CV_8UC3, cv::Scalar(1, 2, 3)));
    const lidar_stream_data_t cloud = recordOf(LIDAR_STREAM_SLAM_CLOUD, entryOf(slamTwoPoints));
    capture_stdout([&] {
        decodeStreamRecord(recordOf(LIDAR_STREAM_IMAGE, entryOf(jpeg)), StreamFlags{}, &target);
        decodeStreamRecord(cloud, StreamFlags{}, &target);
        decodeStreamRecord(cloud, StreamFlags{}, &target);
        decodeStreamRecord(recordOf(LIDAR_STREAM_ODOMETRY, entryOf(odometry64)), StreamFlags{},
                           &target);
        decodeStreamRecord(recordOf(LIDAR_STREAM_HF_ODOMETRY, entryOf(odometry688)), StreamFlags{},
                           &target);
    });
    EXPECT_EQ(recording.imageSeq.load(), 1u);
    EXPECT_TRUE(recording.images.empty());
    ASSERT_EQ(recording.clouds.size(), 2u);
    EXPECT_EQ(recording.clouds[0][0], 0);
    EXPECT_EQ(recording.clouds[1][0], 1);
    cv::Mat image;
    EXPECT_TRUE(g_imageBuffer.take(image)) << "the picture is published all the same";

    ASSERT_EQ(recording.poses.size(), 1u);
    EXPECT_EQ(recording.poseSeq.load(), 1u);
    const Bytes head = {0x00, 0x00, 0x00, 0x00,                          // sequence 0
                        0xB7, 0xE6, 0x87, 0xB4, 0x80, 0x65, 0xD2, 0x41}; // 1234567890.123456789 s
    // Position in metres, then the quaternion as received, not normalised.
    EXPECT_EQ(recording.poses[0], concat(head, le<float>({1.0f, -2.5f, 0, 0, 0, 0, 0})));
    PoseRecord pose;
    ASSERT_TRUE(g_poseBuffer.take(pose));
    EXPECT_EQ(pose.time, 0.0) << "the later, high-frequency pose is the one taken";
}

// Each malformed record is dropped with one line that says why: nothing is published, printed or
// recorded, and no sequence number is used.
TEST_F(DecodeBounds, EveryMalformedRecordIsDroppedWithALineThatSaysWhy) {
    const Bytes widePointsShort = cut(dtofWidePoints, 1),
                compactPointsShort = cut(dtofCompactPoints, 12),
                wideGreyShort = cut(dtofWideIntensities, 1),
                compactGreyShort = cut(dtofCompactIntensities, 1), infoShort = cut(deviceInfo, 1),
                odometryShort = cut(odometry64, 1), oddNv12(9, 0x80), wrapping(196608, 0x10);
    lidar_stream_data_t noPointData = dtofRecord(3, dtofWidePoints, dtofWideIntensities, 3, 2);
    noPointData.entries[1].data = nullptr;
    const struct {
        const char *line;
        lidar_stream_data_t record;
        bool recorded = false; // a picture the decoder cannot read is recorded all the same
    } cases[] = {
        {"<ERROR><stream_decoding.cpp:StreamDecoding::decodeDtofCloud:N>: dtof frame of 3 x 2 "
         "points does not fit the 95 bytes of its point entry (16 per point); dropped.\n",
         dtofRecord(3, widePointsShort, dtofWideIntensities, 3, 2)},
        {"does not fit the 12 bytes of its point entry (12 per point)",
         dtofRecord(4, compactPointsShort, dtofCompactIntensities, 2, 1)},
        {"does not fit the 0 bytes of its point entry", noPointData},
        {"dtof frame of 3 x 2 points does not fit the 11 bytes of its intensity entry (2 per "
         "point); dropped.\n",
         dtofRecord(3, dtofWidePoints, wideGreyShort, 3, 2)},
        {"does not fit the 1 bytes of its intensity entry (1 per point)",
         dtofRecord(4, dtofCompactPoints, compactGreyShort, 2, 1)},
        {"does not fit the 0 bytes of its intensity entry",
         dtofRecord(2, dtofWidePoints, dtofWideIntensities, 3, 2)},
        {"dtof frame of -1 x 2 points has a negative dimension; dropped.\n",
         dtofRecord(3, dtofWidePoints, dtofWideIntensities, 0xFFFFFFFFu, 2)},
        {"dtof frame of 2147483647 x 2147483647 points does not fit the 96 bytes of its point "
         "entry",
         dtofRecord(3, dtofWidePoints, dtofWideIntensities, 0x7FFFFFFF, 0x7FFFFFFF)},
        {"<ERROR><stream_decoding_image.cpp:StreamDecoding::decodeImage:N>: nv12 image of 3 x 2 "
         "pixels has an odd dimension; dropped.\n",
         recordOf(LIDAR_STREAM_IMAGE, entryOf(oddNv12, 3, 2))},
        // 65536 x 65538 x 3 / 2 is 196608 in 32 bits: read as NV12, far past the entry's end.
        {"jpeg image of 196608 bytes (65536 x 65538 pixels announced) could not be decoded; "
         "dropped.\n",
         recordOf(LIDAR_STREAM_IMAGE, entryOf(wrapping, 65536, 65538)), true},
        {"image entry of 640 x 480 pixels holds none of its 0 bytes; dropped.\n",
         recordOf(LIDAR_STREAM_IMAGE, withoutData(0, 640, 480))},
        {"holds none of its 460800 bytes", recordOf(LIDAR_STREAM_IMAGE, withoutData(460800))},
        {"<ERROR><stream_decoding_device_info.cpp:StreamDecoding::printDeviceInfo:N>: device info "
         "entry holds 99 of its 100 bytes; dropped.\n",
         recordOf(LIDAR_STREAM_DEVICE_INFO, entryOf(infoShort))},
        {"device info entry holds 0 of its 100 bytes; dropped.\n",
         recordOf(LIDAR_STREAM_DEVICE_INFO, withoutData(100))},
        {"odometry entry of 63 bytes is neither 688 nor 64 bytes; dropped.\n",
         recordOf(LIDAR_STREAM_ODOMETRY, entryOf(odometryShort))},
        {"odometry entry of 688 bytes has no data; dropped.\n",
         recordOf(LIDAR_STREAM_ODOMETRY, withoutData(688))},
        {"slam cloud entry of 56 bytes has no data; dropped.\n",
         recordOf(LIDAR_STREAM_SLAM_CLOUD, withoutData(56))},
        {"wiwc entry of 688 bytes has no data; dropped.\n",
         recordOf(LIDAR_STREAM_WIWC, withoutData(688))},
    };
    for (const auto &bad : cases) {
        SCOPED_TRACE(bad.line);
        nextReportInterval();
        const size_t before = captured_lines().size();
        Recording recording;
        RecordingTarget target = recording.target();
        const ScanMode mode =
            bad.record.type == LIDAR_STREAM_DTOF ? ScanMode::DTOF : ScanMode::SLAM;
        EXPECT_EQ(capture_stdout(
                      [&] { decodeStreamRecord(bad.record, streamFlagsFor(mode, {}), &target); }),
                  "");
        ASSERT_EQ(captured_lines().size(), before + 1);
        const std::string last =
            std::regex_replace(captured_lines().back(), std::regex(":[0-9]+>: "), ":N>: ");
        EXPECT_NE(last.find(bad.line), std::string::npos) << last;
        EXPECT_FALSE(anythingPublished());
        const size_t records =
            recording.poses.size() + recording.clouds.size() + recording.images.size();
        EXPECT_EQ(records, bad.recorded ? 1u : 0u);
        EXPECT_EQ(recording.poseSeq + recording.cloudSeq + recording.imageSeq, records);
    }
}

TEST_F(DecodeBounds, ManyBadRecordsGiveOneLineThenACount) {
    const Bytes shortPoints = cut(dtofWidePoints, 1);
    const lidar_stream_data_t bad = dtofRecord(3, shortPoints, dtofWideIntensities, 3, 2);
    for (int i = 0; i < 1000; ++i)
        decodeDtofCloud(bad);
    EXPECT_EQ(linesWith("dtof frame"), 1u);

    fake_now += DROP_REPORT_INTERVAL - std::chrono::milliseconds(1);
    decodeDtofCloud(bad);
    EXPECT_EQ(linesWith("dtof frame"), 1u) << "still within the interval";

    fake_now += std::chrono::milliseconds(1);
    decodeDtofCloud(bad);
    ASSERT_EQ(linesWith("dtof frame"), 2u);
    EXPECT_TRUE(
        log_contains("dtof frame of 3 x 2 points does not fit the 95 bytes of its point "
                     "entry (16 per point); dropped (1000 more dropped in the last 5 s).\n"));

    decodeDtofCloud(bad);
    EXPECT_EQ(linesWith("dtof frame"), 2u) << "a new interval starts with each line";
    fake_now += std::chrono::seconds(60);
    decodeDtofCloud(bad);
    EXPECT_TRUE(log_contains("(1 more dropped in the last 60 s).\n"));
}

TEST_F(DecodeBounds, EachKindOfRecordHasItsOwnBudget) {
    const Bytes shortPoints = cut(dtofWidePoints, 1), shortPose = cut(odometry64, 1), oddNv12(9, 0);
    decodeDtofCloud(dtofRecord(3, shortPoints, dtofWideIntensities, 3, 2));
    decodePose(recordOf(LIDAR_STREAM_ODOMETRY, entryOf(shortPose)));
    decodeImage(entryOf(oddNv12, 3, 2));
    EXPECT_EQ(linesWith("dtof frame"), 1u);
    EXPECT_EQ(linesWith("odometry entry"), 1u);
    EXPECT_EQ(linesWith("nv12 image"), 1u);
}

TEST(SwapBuffer, StartsEmptyAndHandsOnlyTheNewestValueOnceSharingPictures) {
    SwapBuffer<int> buffer;
    int value = -1;
    EXPECT_FALSE(buffer.take(value));
    EXPECT_EQ(value, -1) << "an empty take leaves the output alone";
    buffer.publish(1);
    buffer.publish(2);
    ASSERT_TRUE(buffer.take(value));
    EXPECT_EQ(value, 2) << "the first value is lost";
    EXPECT_FALSE(buffer.take(value)) << "a take clears updated";

    SwapBuffer<cv::Mat> pictures;
    cv::Mat picture(4, 4, CV_8UC3, cv::Scalar(1, 2, 3)), taken;
    pictures.publish(picture);
    ASSERT_TRUE(pictures.take(taken));
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
