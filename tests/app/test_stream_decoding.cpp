// Stream decoding against bytes laid out as sdk/api/api.h documents each record, and its bounds.
#include "app/stream_decoding.h"
#include "app/stream_decoding_input.h"
#include "recording/record_layout.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstring>
#include <limits>
#include <thread>
#include <tuple>

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

lidar_stream_data_t recordOf(uint32_t type, const lidar_stream_entry_t &first) {
    lidar_stream_data_t record{};
    record.type = type;
    record.count = 1;
    record.entries[0] = first;
    return record;
}

// A record whose entry announces size bytes and holds none.
lidar_stream_data_t none(uint32_t type, uint32_t size, uint32_t param1 = 0, uint32_t param2 = 0) {
    lidar_stream_entry_t entry = entryOf({}, param1, param2);
    entry.size = size;
    return recordOf(type, entry);
}

using Point = std::tuple<float, float, float, int, int, int, int, uint32_t>;

Point tie(const CloudPoint &p) {
    return Point(p.x, p.y, p.z, p.r, p.g, p.b, p.intensity, p.label);
}

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

// DTOF, count 3: 3 x 2 points of four floats (x, y, z in mm, one not read), 16-bit intensities.
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
};

using DecodeBounds = StreamDecodingTest;

} // namespace

TEST_F(StreamDecodingTest, SlamCloudReadsMetresAndLowColourBytesAndIsRecordedNumbered) {
    lidar_stream_entry_t entry = entryOf(slamTwoPoints);
    entry.value1 = 0x700000002Aull;
    entry.timestamp = 1500000000; // 1.5 s
    const lidar_stream_data_t record = recordOf(LIDAR_STREAM_SLAM_CLOUD, entry);
    const Bytes shorter = cut(slamTwoPoints, 29); // less than one point
    std::atomic<uint32_t> cloudSeq{7};
    DecodedCloud cloud, empty;
    capture_stdout([&] {
        cloud = decodeSlamCloud(record, 0, &cloudSeq);
        empty = decodeSlamCloud(recordOf(LIDAR_STREAM_SLAM_CLOUD, entryOf(shorter)), 0, &cloudSeq);
    });
    ASSERT_EQ(cloud.points.size(), 2u);
    EXPECT_EQ(tie(cloud.points[0]), Point(1, -2, 0.0005f, 255, 2, 3, 0, 42));
    EXPECT_EQ(tie(cloud.points[1]), Point(-0.0001f, 3, -214748.3648f, 0x10, 0x20, 0x30, 0, 42));
    // Sequence, seconds, points, then x, y, z as floats and r, g, b of each point.
    EXPECT_EQ(cloud.record,
              concat(le<uint32_t>({7}), le<double>({1.5}), le<uint32_t>({2}),
                     le<float>({1, -2, 0.0005f}), Bytes{0xFF, 2, 3},
                     le<float>({-0.0001f, 3, -214748.3648f}), Bytes{0x10, 0x20, 0x30}));
    EXPECT_TRUE(empty.points.empty() && empty.record.empty());
    EXPECT_EQ(cloudSeq.load(), 8u) << "numbered once";
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
    EXPECT_EQ(tie(compact[1]), Point(0, 1, 0.5f, 200, 200, 200, 200, 9));
    // A pixel without a return (0, 0, 0) or a non-finite one is no point, and no fault.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const Bytes points = le<float>({0, 0, 0, 1000, 2000, 3000, nan, 1, 1, 1, 1, inf, 0, 0, 500});
    std::vector<CloudPoint> some = decodeDtofCloud(dtofRecord(4, points, {1, 2, 3, 4, 5}, 5, 1));
    ASSERT_EQ(some.size(), 2u);
    EXPECT_EQ(tie(some[0]), Point(3, -1, 2, 2, 2, 2, 2, 9));
    EXPECT_EQ(tie(some[1]), Point(0.5f, 0, 0, 5, 5, 5, 5, 9));
    EXPECT_TRUE(decodeDtofCloud(dtofRecord(4, {}, {}, 2, 0)).empty());
    decodeStreamRecord(dtofRecord(3, {}, {}, 0, 0), streamFlagsFor(ScanMode::DTOF, {}), nullptr);
    EXPECT_FALSE(anythingPublished());
    EXPECT_TRUE(captured_lines().empty());
}

TEST_F(StreamDecodingTest, ScanModeChoosesWhichCloudIsDecoded) {
    const StreamFlags slam = streamFlagsFor(ScanMode::SLAM, StreamFlags{true, false});
    const StreamFlags dtof = streamFlagsFor(ScanMode::DTOF, slam);
    const StreamFlags other = streamFlagsFor(static_cast<ScanMode>(7), dtof);
    EXPECT_TRUE(other.dtofEnabled && !other.slamEnabled) << "an unknown mode keeps the flags";
    const lidar_stream_data_t cloud = recordOf(LIDAR_STREAM_SLAM_CLOUD, entryOf(slamTwoPoints));
    const lidar_stream_data_t frame = dtofRecord(3, dtofWidePoints, dtofWideIntensities, 3, 2);
    std::vector<CloudPoint> points;
    decodeStreamRecord(cloud, dtof, nullptr);
    EXPECT_FALSE(g_slamCloudBuffer.take(points));
    decodeStreamRecord(frame, dtof, nullptr);
    EXPECT_TRUE(g_dtofCloudBuffer.take(points));
    decodeStreamRecord(frame, slam, nullptr);
    EXPECT_FALSE(g_dtofCloudBuffer.take(points));
    capture_stdout([&] { decodeStreamRecord(cloud, slam, nullptr); });
    EXPECT_TRUE(g_slamCloudBuffer.take(points));
}

// An NV12 picture is converted and recorded as a JPEG file; a JPEG file is recorded unchanged.
TEST_F(StreamDecodingTest, Nv12PictureBecomesBgrAndIsRecordedAsJpeg) {
    Bytes bytes(640 * 480, 81); // red in BT.601: a luma plane, then interleaved u, v
    for (int i = 0; i < 640 * 480 / 4; ++i)
        bytes.insert(bytes.end(), {90, 240});
    lidar_stream_entry_t entry = entryOf(bytes, 640, 480);
    entry.timestamp = 1000000000;
    std::atomic<uint32_t> imageSeq{0};
    DecodedImage image = decodeImage(entry, &imageSeq);
    ASSERT_EQ(image.image.size(), cv::Size(640, 480));
    EXPECT_EQ(image.image.type(), CV_8UC3);
    EXPECT_LE(cv::norm(image.image.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 255), cv::NORM_INF), 4);
    EXPECT_NE(image.image.data, bytes.data()) << "the picture owns its pixels";
    ASSERT_GT(image.record.size(), 18u);
    const Bytes head = {0x00, 0x00, 0x00, 0x00,                          // sequence 0
                        0x19, 0xF1, 0x32, 0xFD, 0xF1, 0x02, 0xF0, 0x3F}; // (1e9 + 719060) / 1e9 s
    const Bytes jpeg(image.record.begin() + 16, image.record.end());
    EXPECT_EQ(Bytes(image.record.begin(), image.record.begin() + 16),
              concat(head, le<uint32_t>({static_cast<uint32_t>(jpeg.size())})));
    cv::Mat back = cv::imdecode(jpeg, cv::IMREAD_COLOR);
    ASSERT_EQ(back.size(), cv::Size(640, 480));
    EXPECT_LE(cv::norm(back.at<cv::Vec3b>(240, 320), cv::Vec3b(0, 0, 255), cv::NORM_INF), 12);
    Bytes file;
    ASSERT_TRUE(cv::imencode(".jpg", cv::Mat(8, 16, CV_8UC3, cv::Scalar(255, 0, 0)), file));
    image = decodeImage(entryOf(file, 16, 8), &imageSeq);
    ASSERT_EQ(image.image.size(), cv::Size(16, 8));
    EXPECT_LE(cv::norm(image.image.at<cv::Vec3b>(4, 8), cv::Vec3b(255, 0, 0), cv::NORM_INF), 8);
    EXPECT_EQ(image.record[0], 1);
    EXPECT_EQ(Bytes(image.record.begin() + 16, image.record.end()), file) << "recorded unchanged";
    EXPECT_TRUE(captured_lines().empty());
}

TEST_F(StreamDecodingTest, OdometryGivesTimePositionAndANormalisedColumnMajorRotation) {
    DecodedPose plain = decodePose(recordOf(LIDAR_STREAM_ODOMETRY, entryOf(odometry64)));
    ASSERT_TRUE(plain.pose.has_value());
    EXPECT_EQ(plain.pose->time, 1234567890123456789.0);
    EXPECT_EQ(std::vector<double>(plain.pose->translation, plain.pose->translation + 3),
              (std::vector<double>{1.0, -2.5, 0.0}));
    EXPECT_EQ(std::vector<double>(plain.pose->rotation, plain.pose->rotation + 9),
              (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1}))
        << "a zero quaternion is no turn";
    DecodedPose turned = decodePose(recordOf(LIDAR_STREAM_HF_ODOMETRY, entryOf(odometry688)));
    ASSERT_TRUE(turned.pose.has_value());
    const double quarterTurn[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1};
    for (size_t i = 0; i < 9; ++i)
        EXPECT_NEAR(turned.pose->rotation[i], quarterTurn[i], 1e-12) << "element " << i;
}

// Each kind is numbered on its own, a missing writer is skipped, plain odometry is recorded as
// received, high-frequency odometry never, and a wiwc record is kept whole.
TEST_F(StreamDecodingTest, RecordsAreNumberedPerKindAndOdometryKeptAsReceived) {
    Recording recording;
    RecordingTarget target = recording.target();
    target.imageWriter = nullptr;
    Bytes jpeg;
    ASSERT_TRUE(cv::imencode(".jpg", cv::Mat(8, 8, CV_8UC3, cv::Scalar(1, 2, 3)), jpeg));
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
    cv::Mat image;
    EXPECT_TRUE(g_imageBuffer.take(image)) << "the picture is published all the same";
    ASSERT_EQ(recording.clouds.size(), 2u);
    EXPECT_EQ(recording.clouds[1][0], 1);
    ASSERT_EQ(recording.poses.size(), 1u);
    const Bytes head = {0x00, 0x00, 0x00, 0x00,                          // sequence 0
                        0xB7, 0xE6, 0x87, 0xB4, 0x80, 0x65, 0xD2, 0x41}; // 1234567890.123456789 s
    // Position in metres, then the quaternion as received, not normalised.
    EXPECT_EQ(recording.poses[0], concat(head, le<float>({1.0f, -2.5f, 0, 0, 0, 0, 0})));
    PoseRecord pose;
    ASSERT_TRUE(g_poseBuffer.take(pose));
    EXPECT_EQ(pose.time, 0.0) << "the later, high-frequency pose is the one taken";
    Bytes wiwc(688);
    for (size_t i = 0; i < wiwc.size(); ++i)
        wiwc[i] = static_cast<uint8_t>(i);
    decodeStreamRecord(recordOf(LIDAR_STREAM_WIWC, entryOf(wiwc)), StreamFlags{}, nullptr);
    WiwcRecord taken{};
    ASSERT_TRUE(g_wiwcBuffer.take(taken));
    EXPECT_EQ(Bytes(taken.begin(), taken.end()), wiwc);
    decodeStreamRecord(recordOf(LIDAR_STREAM_WIWC, entryOf(cut(wiwc, 1))), StreamFlags{}, nullptr);
    EXPECT_FALSE(g_wiwcBuffer.take(taken)) << "a short wiwc record is not published";
}

// Each malformed record is dropped with one line that says why; nothing published, printed,
// recorded.
TEST_F(DecodeBounds, EveryMalformedRecordIsDroppedWithALineThatSaysWhy) {
    const Bytes widePointsShort = cut(dtofWidePoints, 1),
                compactGreyShort = cut(dtofCompactIntensities, 1),
                odometryShort = cut(odometry64, 1), oddNv12(9, 0x80), wrapping(196608, 0x10),
                notJpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'n', 'o', 't', ' ', 'a', 'n'};
    const struct {
        const char *line;
        lidar_stream_data_t record;
        bool recorded = false; // a picture the decoder cannot read is recorded all the same
    } cases[] = {
        {"dtof frame of 3 x 2 points does not fit the 95 bytes of its point entry (16 per point); "
         "dropped.\n",
         dtofRecord(3, widePointsShort, dtofWideIntensities, 3, 2)},
        {"does not fit the 1 bytes of its intensity entry (1 per point)",
         dtofRecord(4, dtofCompactPoints, compactGreyShort, 2, 1)},
        {"does not fit the 0 bytes of its intensity entry",
         dtofRecord(2, dtofWidePoints, dtofWideIntensities, 3, 2)},
        {"dtof frame of -1 x 2 points has a negative dimension",
         dtofRecord(3, dtofWidePoints, dtofWideIntensities, 0xFFFFFFFFu, 2)},
        {"dtof frame of 2147483647 x 2147483647 points does not fit the 96 bytes",
         dtofRecord(3, dtofWidePoints, dtofWideIntensities, 0x7FFFFFFF, 0x7FFFFFFF)},
        {"nv12 image of 3 x 2 pixels has an odd dimension; dropped.\n",
         recordOf(LIDAR_STREAM_IMAGE, entryOf(oddNv12, 3, 2))},
        // 65536 x 65538 x 3 / 2 is 196608 in 32 bits: read as NV12, far past the entry's end.
        {"jpeg image of 196608 bytes (65536 x 65538 pixels announced) could not be decoded; "
         "dropped.\n",
         recordOf(LIDAR_STREAM_IMAGE, entryOf(wrapping, 65536, 65538)), true},
        {"jpeg image of 12 bytes (640 x 480 pixels announced) could not be decoded",
         recordOf(LIDAR_STREAM_IMAGE, entryOf(notJpeg, 640, 480)), true},
        {"image entry of 640 x 480 pixels holds none of its 460800 bytes",
         none(LIDAR_STREAM_IMAGE, 460800, 640, 480)},
        {"device info entry holds 0 of its 100 bytes", none(LIDAR_STREAM_DEVICE_INFO, 100)},
        {"odometry entry of 63 bytes is neither 688 nor 64 bytes; dropped.\n",
         recordOf(LIDAR_STREAM_ODOMETRY, entryOf(odometryShort))},
        {"odometry entry of 688 bytes has no data", none(LIDAR_STREAM_ODOMETRY, 688)},
        {"slam cloud entry of 56 bytes has no data", none(LIDAR_STREAM_SLAM_CLOUD, 56)},
        {"wiwc entry of 688 bytes has no data", none(LIDAR_STREAM_WIWC, 688)},
    };
    for (const auto &bad : cases) {
        SCOPED_TRACE(bad.line);
        fake_now += DROP_REPORT_INTERVAL;
        const size_t before = captured_lines().size();
        Recording recording;
        RecordingTarget target = recording.target();
        const ScanMode mode =
            bad.record.type == LIDAR_STREAM_DTOF ? ScanMode::DTOF : ScanMode::SLAM;
        EXPECT_EQ(capture_stdout(
                      [&] { decodeStreamRecord(bad.record, streamFlagsFor(mode, {}), &target); }),
                  "");
        ASSERT_EQ(captured_lines().size(), before + 1);
        EXPECT_NE(captured_lines().back().find(bad.line), std::string::npos)
            << captured_lines().back();
        EXPECT_FALSE(anythingPublished());
        const size_t records =
            recording.poses.size() + recording.clouds.size() + recording.images.size();
        EXPECT_EQ(records, bad.recorded ? 1u : 0u);
        EXPECT_EQ(recording.poseSeq + recording.cloudSeq + recording.imageSeq, records);
    }
}

// One line, then one per interval with the count of those left out; each kind has its own budget.
TEST_F(DecodeBounds, ManyBadRecordsGiveOneLineThenACount) {
    const Bytes shortPoints = cut(dtofWidePoints, 1), shortPose = cut(odometry64, 1), oddNv12(9, 0);
    const lidar_stream_data_t bad = dtofRecord(3, shortPoints, dtofWideIntensities, 3, 2);
    for (int i = 0; i < 1000; ++i)
        decodeDtofCloud(bad);
    decodePose(recordOf(LIDAR_STREAM_ODOMETRY, entryOf(shortPose)));
    decodeImage(entryOf(oddNv12, 3, 2));
    EXPECT_EQ(captured_lines().size(), 3u) << "one line of each kind";
    fake_now += DROP_REPORT_INTERVAL;
    decodeDtofCloud(bad);
    EXPECT_TRUE(
        log_contains("dtof frame of 3 x 2 points does not fit the 95 bytes of its point "
                     "entry (16 per point); dropped (999 more dropped in the last 5 s).\n"));
}

TEST(SwapBuffer, OneProducerAndOneConsumerNeverSeeAValueGoBackwards) {
    constexpr uint64_t count = 100000, width = 16; // every element carries the counter
    SwapBuffer<std::vector<uint64_t>> buffer;
    std::atomic<bool> produced{false};
    std::thread producer([&] {
        for (uint64_t i = 1; i <= count; ++i)
            buffer.publish(std::vector<uint64_t>(width, i));
        produced = true;
    });
    uint64_t last = 0, backwards = 0, torn = 0;
    for (std::vector<uint64_t> value; last != count;) {
        const bool done = produced.load(); // read before the take: a false take after it is final
        if (buffer.take(value)) {
            backwards += value.front() <= last;
            torn += uint64_t(std::count(value.begin(), value.end(), value.front())) != width;
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
    EXPECT_EQ(torn, 0u) << "a torn copy";
}
