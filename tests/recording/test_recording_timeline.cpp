// A recording laid out in playing time (segments where the device clock restarted, the places
// worth a mark) and the slices cut from it, checked against the files' bytes.
#include "recording/record_layout.h"
#include "recording/recording_slice.h"
#include "recording/recording_summary.h"
#include "recording/recording_timeline.h"
#include "tests/support/recording_files.h"
#include "tests/support/temp_dir.h"

#include <gmock/gmock.h>

using namespace kest_test;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> pose(uint32_t sequence, double seconds) {
    const float values[StreamDecoding::POSE_RECORD_VALUES] = {1, 2, 3, 0, 0, 0, 1};
    return StreamDecoding::buildPoseRecord(sequence, seconds, values);
}

std::vector<uint8_t> cloud(uint32_t sequence, double seconds) {
    return StreamDecoding::buildCloudRecord(
        sequence, seconds, std::vector<CloudPoint>(2, {1, 1, float(sequence), 10, 20, 30, 0, 0}));
}

std::vector<uint8_t> image(uint32_t sequence, double seconds) {
    // A JPEG's start and frame header (64 x 48), then a byte of its own.
    const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xC0, 0,    0x11,
                            8,    0,    0x30, 0,    0x40, uint8_t(sequence)};
    return StreamDecoding::buildImageRecord(sequence, seconds, jpeg, sizeof jpeg);
}

// Three segments of 4 s, the device clock starting again near 0.5 s at each:
// poses at 10 Hz, clouds at 5 Hz, pictures at 2 Hz, numbered on across them.
struct restarted_recording {
    temp_dir dir;
    fs::path root = dir.path() / "20260101_120000";
    std::array<fs::path, 3> files = recording_paths(root);
    restarted_recording(int segments = 3) {
        fs::create_directories(root / "image");
        write_file((root / "image/info.txt").string(), "device=KestOne\ncreated_at=x\n");
        write_file((root / "image/cam_in_ex.txt").string(), "Tcl_0: [1, 0, 0, 0]\n");
        for (const fs::path &file : files)
            write_file(file.string(), "");
        uint32_t numbers[3] = {0, 0, 0};
        for (int s = 0; s < segments; ++s) {
            const double start = 0.5 + 0.01 * s;
            for (int i = 0; i <= 40; ++i)
                append_file(files[0], pose(numbers[0]++, start + i * 0.1));
            for (int i = 0; i < 20; ++i)
                append_file(files[1], cloud(numbers[1]++, start + 0.02 + i * 0.2));
            for (int i = 0; i < 8; ++i)
                append_file(files[2], image(numbers[2]++, start + 0.03 + i * 0.5));
        }
    }
};

RecordingTimeline timeline_of(const fs::path &folder) {
    RecordingTimeline timeline;
    std::string error;
    EXPECT_TRUE(readTimeline(folder.string(), timeline, error)) << error;
    return timeline;
}

} // namespace

TEST(RecordingTimeline, ClockRestartsMakeSegmentsThatPlayInOrderAndSumTheDuration) {
    restarted_recording rec;
    const RecordingSummary summary = summariseRecording(rec.root.string());
    EXPECT_EQ(summary.segmentCount(), 3u);
    EXPECT_NEAR(summary.durationSeconds(), 12.0, 0.01);
    EXPECT_NEAR(summary.poses.rate(), 10.0, 0.01);
    EXPECT_NEAR(summary.clouds.rate(), 5.0, 0.01);

    const RecordingTimeline timeline = timeline_of(rec.root);
    EXPECT_NEAR(timeline.length, 12.0, 0.01);
    ASSERT_EQ(timeline.segmentStarts.size(), 3u);
    std::vector<double> restarts;
    for (const TimelineMarker &marker : timeline.markers)
        if (marker.kind == MarkerKind::ClockRestart)
            restarts.push_back(marker.play);
    EXPECT_THAT(restarts,
                testing::ElementsAre(timeline.segmentStarts[1], timeline.segmentStarts[2]));
    EXPECT_NEAR(timeline.segmentStarts[2], 8.0, 0.01);
    for (const auto &records : timeline.records)
        for (size_t i = 1; i < records.size(); ++i)
            ASSERT_GE(records[i].play, records[i - 1].play) << "record " << i;
    // A record plays at its time within its segment: the second segment's third cloud.
    const TimelineRecord &third = timeline.records[timelineClouds][22];
    EXPECT_EQ(third.segment, 1u);
    EXPECT_NEAR(third.play, timeline.segmentStarts[1] + (third.seconds - 0.51), 1e-9);
}

TEST(RecordingTimeline, MarksGapsNumbersGoingBackAndACutOffEndAtTheirRecords) {
    restarted_recording rec(1);
    std::vector<uint8_t> poses = file_bytes(rec.files[0].string());
    poses.erase(poses.begin() + 10 * 40, poses.begin() + 13 * 40); // numbers 10 to 12 lost
    write_file(rec.files[0].string(), std::string(poses.begin(), poses.end()));
    append_file(rec.files[2], image(3, 4.6)); // a number again, and its time
    std::vector<uint8_t> cut = cloud(20, 4.6);
    cut.resize(cut.size() - 1);
    append_file(rec.files[1], cut);
    const RecordingTimeline timeline = timeline_of(rec.root);
    std::vector<std::pair<MarkerKind, std::string>> marks;
    for (const TimelineMarker &marker : timeline.markers)
        marks.emplace_back(marker.kind, marker.text);
    EXPECT_THAT(
        marks,
        testing::UnorderedElementsAre(
            std::make_pair(MarkerKind::SequenceGap, "poses: 3 records missing (numbers 10 to 12)"),
            std::make_pair(MarkerKind::SequenceBack, "images: number 3 after 7"),
            testing::Pair(MarkerKind::CutOff, testing::HasSubstr("clouds: the record "
                                                                 "after this one"))));
    const TimelineMarker &gap = *std::find_if(
        timeline.markers.begin(), timeline.markers.end(),
        [](const TimelineMarker &marker) { return marker.kind == MarkerKind::SequenceGap; });
    EXPECT_NEAR(gap.play, 1.3, 1e-6) << "at the first record after the gap";
    EXPECT_EQ(timeline.records[timelineClouds].size(), 20u) << "the cut-off record is not played";
}

TEST(RecordingSlice, HoldsExactlyTheRecordsInItsSpanRenumberedAndInspectsSound) {
    restarted_recording rec;
    const RecordingTimeline timeline = timeline_of(rec.root);
    const fs::path out = rec.dir.path() / "slice";
    SliceCounts counts;
    std::string error;
    // From the middle of the first segment to the middle of the second.
    ASSERT_TRUE(sliceRecording(timeline, 2.0, 6.0, out.string(), counts, error)) << error;
    const std::array<read_file, 3> original = read_recording(rec.root),
                                   sliced = read_recording(out);
    const uint64_t written[3] = {counts.poses, counts.clouds, counts.images};
    for (size_t which = 0; which < 3; ++which) {
        SCOPED_TRACE(which);
        std::vector<std::vector<uint8_t>> expected;
        for (size_t i = 0; i < original[which].records.size(); ++i) {
            const double play = timeline.records[which][i].play;
            if (play >= 2.0 - 1e-6 && play <= 6.0 + 1e-6) {
                std::vector<uint8_t> bytes = original[which].records[i].bytes;
                const uint32_t number = uint32_t(expected.size());
                memcpy(bytes.data(), &number, 4);
                expected.push_back(bytes);
            }
        }
        ASSERT_EQ(sliced[which].fault, "");
        std::vector<std::vector<uint8_t>> got;
        for (const read_record &record : sliced[which].records)
            got.push_back(record.bytes);
        EXPECT_EQ(got, expected);
        EXPECT_EQ(written[which], expected.size());
    }
    EXPECT_EQ(counts.poses, 42u) << "4 s of poses at 10 Hz, both ends in, and the two at the "
                                    "restart sharing a moment";
    EXPECT_EQ(file_text(out / "image/cam_in_ex.txt"), "Tcl_0: [1, 0, 0, 0]\n");
    const RecordingSummary summary = summariseRecording(out.string());
    EXPECT_THAT(summary.faults(), testing::ElementsAre("poses: 1 time going backwards",
                                                       "clouds: 1 time going backwards",
                                                       "images: 1 time going backwards"));
    EXPECT_NEAR(summary.durationSeconds(), 4.0, 0.21);

    ASSERT_TRUE(
        sliceRecording(timeline, 0.0, 3.0, (rec.dir.path() / "one").string(), counts, error));
    EXPECT_TRUE(summariseRecording((rec.dir.path() / "one").string()).sound());
    // Never over a folder with something in it, nor backwards.
    EXPECT_FALSE(sliceRecording(timeline, 0, 1, out.string(), counts, error));
    EXPECT_EQ(error, out.string() + " exists and is not empty");
    EXPECT_FALSE(sliceRecording(timeline, 2, 1, (rec.dir.path() / "x").string(), counts, error));
    EXPECT_FALSE(fs::exists(rec.dir.path() / "x"));
    EXPECT_FALSE(
        sliceRecording(timeline, 100, 200, (rec.dir.path() / "x").string(), counts, error));
    EXPECT_EQ(error, "no record lies between 100.000 and 200.000 s");
    EXPECT_FALSE(fs::exists(rec.dir.path() / "x"));
}

// Numbers that go back within the span: the lowest becomes 0, none wraps around.
TEST(RecordingSlice, RenumbersFromTheLowestNumberInItsSpan) {
    restarted_recording rec(0);
    for (uint32_t number : {5u, 3u, 4u})
        append_file(rec.files[1], cloud(number, 1.0 + number * 0.1));
    SliceCounts counts;
    std::string error;
    const fs::path out = rec.dir.path() / "slice";
    ASSERT_TRUE(sliceRecording(timeline_of(rec.root), 0, 10, out.string(), counts, error)) << error;
    std::vector<uint32_t> numbers;
    const read_file clouds = read_clouds(recording_paths(out)[1].string());
    for (const read_record &record : clouds.records)
        numbers.push_back(record.sequence);
    EXPECT_THAT(numbers, testing::ElementsAre(2, 0, 1));
}
