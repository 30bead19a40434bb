// A recording read back without trusting it: the figures of a sound one, and the faults a reader
// must report (gaps, times going back, a record cut off, a length past the end of the file, a cloud
// without a point) without losing the records before them or allocating what a bad length claims.
#include "recording/record_layout.h"
#include "recording/recording_summary.h"
#include "tests/support/recording_files.h"
#include "tests/support/temp_dir.h"

#include <gmock/gmock.h>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>

using namespace kest_test;
using testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

std::vector<CloudPoint> points(size_t n) {
    std::vector<CloudPoint> out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = {float(i), 1.0f, 2.0f, 10, 20, 30, 0, 0};
    return out;
}

std::vector<uint8_t> jpeg(int width, int height) {
    std::vector<uint8_t> out;
    cv::imencode(".jpg", cv::Mat(height, width, CV_8UC3, cv::Scalar(40, 90, 200)), out);
    return out;
}

std::vector<uint8_t> pose(uint32_t sequence, double seconds) {
    const float values[StreamDecoding::POSE_RECORD_VALUES] = {1, 2, 3, 0, 0, 0, 1};
    return StreamDecoding::buildPoseRecord(sequence, seconds, values);
}

std::vector<uint8_t> cloud(uint32_t sequence, double seconds, size_t n) {
    return StreamDecoding::buildCloudRecord(sequence, seconds, points(n));
}

std::vector<uint8_t> image(uint32_t sequence, double seconds, const std::vector<uint8_t> &file) {
    return StreamDecoding::buildImageRecord(sequence, seconds, file.data(), uint32_t(file.size()));
}

// A recording folder as the recorder lays it out, its binary files empty.
struct recording_folder {
    temp_dir dir;
    fs::path root = dir.path() / "20250131_142501";
    fs::path poses = root / "KestPose.bin";
    fs::path clouds = root / "MT20250131_142501.kvx";
    fs::path images = root / "KestImage.bin";

    explicit recording_folder(const std::string &calibration = "Tcl_0: [1, 0, 0, 0]\n") {
        fs::create_directories(root / "image");
        write_file((root / "image/info.txt").string(),
                   "device=KestOne\ncreated_at=20250131_142501\n");
        write_file((root / "image/cam_in_ex.txt").string(), calibration);
        for (const fs::path &file : {poses, clouds, images})
            write_file(file.string(), "");
    }
};

} // namespace

TEST(RecordingSummary, ASoundRecordingsFiguresAndNoFaults) {
    recording_folder rec;
    for (uint32_t i = 0; i < 11; ++i)
        append_file(rec.poses, pose(i, 100.0 + i * 0.1));
    append_file(rec.clouds, cloud(0, 100.05, 3));
    append_file(rec.clouds, cloud(1, 100.55, 5));
    append_file(rec.clouds, cloud(2, 101.05, 10));
    append_file(rec.images, image(0, 99.9, jpeg(64, 48)));
    append_file(rec.images, image(1, 100.4, jpeg(64, 48)));
    append_file(rec.images, image(2, 100.9, jpeg(32, 16)));

    // A trailing separator names the same folder, and its name finds the cloud file.
    const RecordingSummary summary = summariseRecording(rec.root.string() + "/");
    ASSERT_TRUE(summary.isRecording);
    EXPECT_THAT(summary.faults(), testing::IsEmpty());
    EXPECT_TRUE(summary.sound());
    EXPECT_EQ(summary.startedAt, "20250131_142501");
    EXPECT_EQ(summary.calibration, CalibrationState::Converted);
    EXPECT_NEAR(summary.durationSeconds(), 101.05 - 99.9, 1e-9);

    EXPECT_EQ(summary.poses.records, 11u);
    EXPECT_EQ(summary.poses.bytes, 11u * 40);
    EXPECT_NEAR(summary.poses.rate(), 10.0, 1e-6);
    EXPECT_EQ(summary.clouds.fileName, "MT20250131_142501.kvx");
    EXPECT_EQ(summary.clouds.records, 3u);
    EXPECT_EQ(summary.clouds.minCount, 3u);
    EXPECT_EQ(summary.clouds.maxCount, 10u);
    EXPECT_EQ(summary.clouds.totalCount, 18u);
    EXPECT_NEAR(summary.clouds.rate(), 2.0, 1e-6);
    EXPECT_EQ(summary.images.records, 3u);
    const std::map<std::pair<int, int>, uint64_t> sizes = {{{64, 48}, 2}, {{32, 16}, 1}};
    EXPECT_EQ(summary.images.pictureSizes, sizes);
}

TEST(RecordingSummary, CalibrationConvertedPlaceholderOrMissingAndFoldersThatAreNotOne) {
    recording_folder placeholder("# camera intrinsics/extrinsics TBD\n");
    EXPECT_EQ(summariseRecording(placeholder.root.string()).calibration,
              CalibrationState::Placeholder);
    recording_folder missing;
    fs::remove(missing.root / "image/cam_in_ex.txt");
    const RecordingSummary summary = summariseRecording(missing.root.string());
    EXPECT_EQ(summary.calibration, CalibrationState::Missing);
    // An empty recording (no stream reached it) is still a sound one.
    EXPECT_TRUE(summary.sound()) << testing::PrintToString(summary.faults());

    EXPECT_FALSE(summariseRecording(missing.dir.path().string()).isRecording);
    EXPECT_FALSE(summariseRecording(missing.dir.file("absent")).isRecording);
    EXPECT_FALSE(summariseRecording((missing.root / "image/info.txt").string()).isRecording);
}

TEST(RecordingSummary, ARecordCutOffIsReportedWithItsOffsetAndTheOnesBeforeCount) {
    recording_folder rec;
    append_file(rec.clouds, cloud(0, 1.0, 4));
    append_file(rec.clouds, cloud(1, 1.1, 4));
    const uint64_t cutAt = fs::file_size(rec.clouds);
    std::vector<uint8_t> last = cloud(2, 1.2, 4);
    last.resize(last.size() - 7); // the recorder stopped mid-record
    append_file(rec.clouds, last);
    append_file(rec.poses, pose(0, 1.0));
    append_file(rec.poses, {1, 2, 3}); // a pose record's first bytes only

    const RecordingSummary summary = summariseRecording(rec.root.string());
    EXPECT_EQ(summary.clouds.records, 2u);
    ASSERT_TRUE(summary.clouds.truncatedAt.has_value());
    EXPECT_EQ(*summary.clouds.truncatedAt, cutAt);
    EXPECT_EQ(summary.poses.records, 1u);
    EXPECT_EQ(summary.poses.truncatedAt, std::optional<uint64_t>(40));
    EXPECT_THAT(summary.faults(),
                testing::UnorderedElementsAre(
                    "poses: the last record, at byte 40, is cut off (the 1 before it are whole)",
                    "clouds: the last record, at byte " + std::to_string(cutAt) +
                        ", is cut off (the 2 before it are whole)"));
}

TEST(RecordingSummary, GapsRepeatsAndTimesGoingBackAreFaults) {
    recording_folder rec;
    for (uint32_t sequence : {0u, 1u, 4u, 5u, 9u})
        append_file(rec.poses, pose(sequence, sequence));
    append_file(rec.images, image(0, 2.0, jpeg(8, 8)));
    append_file(rec.images, image(1, 1.5, jpeg(8, 8)));
    append_file(rec.images, image(1, 2.5, jpeg(8, 8)));

    const RecordingSummary summary = summariseRecording(rec.root.string());
    EXPECT_EQ(summary.poses.gaps, 2u);
    EXPECT_EQ(summary.poses.missing, 5u);
    EXPECT_EQ(summary.images.timesBackwards, 1u);
    EXPECT_EQ(summary.images.repeatedOrBack, 1u);
    EXPECT_THAT(summary.faults(),
                testing::ElementsAre("poses: 2 sequence gaps (5 records missing)",
                                     "images: 1 sequence number repeated or going back",
                                     "images: 1 time going backwards"));
    EXPECT_FALSE(summary.sound());
}

TEST(RecordingSummary, BadContentIsReportedNotTrusted) {
    recording_folder rec;
    append_file(rec.clouds, cloud(0, 1.0, 0));
    // A cloud record claiming 2^32 - 1 points (60 GB) in a file of a few bytes: reported where it
    // starts, never allocated.
    std::vector<uint8_t> huge = cloud(1, 1.1, 1);
    huge[12] = huge[13] = huge[14] = huge[15] = 0xFF;
    append_file(rec.clouds, huge);
    append_file(rec.images, image(0, 1.0, {1, 2, 3, 4, 5}));
    fs::remove(rec.poses);

    const RecordingSummary summary = summariseRecording(rec.root.string());
    EXPECT_EQ(summary.clouds.records, 1u);
    EXPECT_EQ(summary.clouds.truncatedAt, std::optional<uint64_t>(16));
    EXPECT_THAT(summary.faults(),
                testing::ElementsAre(
                    "poses: KestPose.bin is missing", "clouds: 1 cloud without a point",
                    "clouds: the last record, at byte 16, is cut off (the 1 before it are whole)",
                    "images: 1 picture without a JPEG frame header"));
}

TEST(RecordFileReader, ReadsRecordsWholeWithTheirOffsetsAndNamesWhatItCannotOpen) {
    temp_dir dir;
    const fs::path path = dir.path() / "clouds.kvx";
    const std::vector<uint8_t> first = cloud(7, 1.25, 2);
    append_file(path, first);
    append_file(path, cloud(8, 1.5, 3));
    RecordFileReader reader;
    std::string error;
    ASSERT_TRUE(reader.open(path.string(), RecordKind::Cloud, error)) << error;
    RecordView record;
    ASSERT_TRUE(reader.next(record));
    EXPECT_EQ(record.bytes, first);
    EXPECT_EQ(std::make_tuple(record.sequence, record.seconds, record.count, record.offset),
              std::make_tuple(7u, 1.25, 2u, uint64_t(0)));
    ASSERT_TRUE(reader.next(record));
    EXPECT_EQ(record.offset, first.size());
    EXPECT_EQ(record.bytes.size(), 16u + 3 * 15);
    EXPECT_FALSE(reader.next(record));
    EXPECT_FALSE(reader.truncatedAt().has_value());
    EXPECT_EQ(reader.readError(), "");

    RecordFileReader other;
    EXPECT_FALSE(other.open(dir.file("absent.bin"), RecordKind::Pose, error));
    EXPECT_THAT(error, HasSubstr("absent.bin: No such file"));
    EXPECT_FALSE(other.open(dir.path().string(), RecordKind::Pose, error));
    EXPECT_THAT(error, HasSubstr("not a regular file"));
}

TEST(JpegSize, FindsTheFrameHeaderAfterOtherSegmentsAndRejectsTheRest) {
    const std::vector<uint8_t> file = jpeg(123, 45);
    EXPECT_EQ(jpegSize(file.data(), file.size()), std::make_pair(123, 45));
    // Cut inside the segments before the frame header, or not a JPEG at all.
    EXPECT_EQ(jpegSize(file.data(), 20), std::nullopt);
    const uint8_t png[] = {0x89, 'P', 'N', 'G', 0, 0, 0, 0};
    EXPECT_EQ(jpegSize(png, sizeof png), std::nullopt);
    // A segment whose length is below its own two bytes would loop forever.
    const uint8_t stuck[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x00, 0xFF, 0xC0};
    EXPECT_EQ(jpegSize(stuck, sizeof stuck), std::nullopt);
}
