// A recording read back without trusting it: a sound one's figures, and the faults it reports.
#include "recording/record_layout.h"
#include "recording/recording_summary.h"
#include "tests/support/recording_files.h"
#include "tests/support/temp_dir.h"

#include <gmock/gmock.h>

using namespace kest_test;
namespace fs = std::filesystem;

namespace {

// The head of a baseline JPEG file: a JFIF segment and a quantisation table
// before the frame header that holds the size; the scan is left out.
std::vector<uint8_t> jpeg(int width, int height) {
    std::vector<uint8_t> out = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F',  'I',  'F', 0,  1, 1,
                                0,    0,    1,    0,    1, 0,  0,   0xFF, 0xDB, 0,   67, 0};
    out.insert(out.end(), 64, 1);
    const uint8_t frame[] = {0xFF,
                             0xC0,
                             0,
                             17,
                             8,
                             static_cast<uint8_t>(height >> 8),
                             static_cast<uint8_t>(height),
                             static_cast<uint8_t>(width >> 8),
                             static_cast<uint8_t>(width),
                             3,
                             1,
                             0x22,
                             0,
                             2,
                             0x11,
                             1,
                             3,
                             0x11,
                             1,
                             0xFF,
                             0xD9};
    out.insert(out.end(), std::begin(frame), std::end(frame));
    return out;
}

std::vector<uint8_t> pose(uint32_t sequence, double seconds) {
    const float values[StreamDecoding::POSE_RECORD_VALUES] = {1, 2, 3, 0, 0, 0, 1};
    return StreamDecoding::buildPoseRecord(sequence, seconds, values);
}

std::vector<uint8_t> cloud(uint32_t sequence, double seconds, size_t n) {
    return StreamDecoding::buildCloudRecord(
        sequence, seconds, std::vector<CloudPoint>(n, {1, 1, 2, 10, 20, 30, 0, 0}));
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
    EXPECT_EQ(summary.startedAt, "20250131_142501");
    EXPECT_EQ(summary.calibration, CalibrationState::Converted);
    EXPECT_EQ(summary.poses.records, 11u);
    EXPECT_EQ(std::make_tuple(summary.clouds.records, summary.clouds.minCount,
                              summary.clouds.maxCount, summary.clouds.totalCount),
              (std::tuple<uint64_t, uint64_t, uint64_t, uint64_t>(3, 3, 10, 18)));
    EXPECT_EQ(summary.images.records, 3u);
    const std::map<std::pair<int, int>, uint64_t> sizes = {{{64, 48}, 2}, {{32, 16}, 1}};
    EXPECT_EQ(summary.images.pictureSizes, sizes);
}

TEST(RecordingSummary, CalibrationConvertedPlaceholderOrMissingAndFoldersThatAreNotOne) {
    recording_folder missing("# camera intrinsics/extrinsics TBD\n");
    EXPECT_EQ(summariseRecording(missing.root.string()).calibration, CalibrationState::Placeholder);
    fs::remove(missing.root / "image/cam_in_ex.txt");
    const RecordingSummary summary = summariseRecording(missing.root.string());
    EXPECT_EQ(summary.calibration, CalibrationState::Missing);
    // An empty recording (no stream reached it) is still a sound one.
    EXPECT_TRUE(summary.sound()) << testing::PrintToString(summary.faults());
    EXPECT_FALSE(summariseRecording(missing.dir.path().string()).isRecording);
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
    EXPECT_THAT(summariseRecording(rec.root.string()).faults(),
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
    EXPECT_THAT(summariseRecording(rec.root.string()).faults(),
                testing::ElementsAre("poses: 2 sequence gaps (5 records missing)",
                                     "images: 1 sequence number repeated or going back",
                                     "images: 1 time going backwards"));
}

TEST(RecordingSummary, BadContentIsReportedNotTrusted) {
    recording_folder rec;
    append_file(rec.clouds, cloud(0, 1.0, 0));
    // A cloud record claiming 2^32 - 1 points (60 GB): reported where it starts, never allocated.
    std::vector<uint8_t> huge = cloud(1, 1.1, 1);
    huge[12] = huge[13] = huge[14] = huge[15] = 0xFF;
    append_file(rec.clouds, huge);
    append_file(rec.images, image(0, 1.0, {1, 2, 3, 4, 5}));
    fs::remove(rec.poses);
    EXPECT_THAT(summariseRecording(rec.root.string()).faults(),
                testing::ElementsAre(
                    "poses: KestPose.bin is missing", "clouds: 1 cloud without a point",
                    "clouds: the last record, at byte 16, is cut off (the 1 before it are whole)",
                    "images: 1 picture without a JPEG frame header"));
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
