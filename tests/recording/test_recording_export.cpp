// The export's own rules, beyond what other programs read back (tests/tools/check_export.py).
#include "recording/point_file_format.h"
#include "recording/record_layout.h"
#include "recording/recording_export.h"
#include "tests/support/recording_files.h"
#include "tests/support/temp_dir.h"

#include <gmock/gmock.h>

#include <clocale>
#include <cmath>
#include <filesystem>
#include <limits>

using namespace kest_test;
using testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> cloud(uint32_t sequence, std::vector<CloudPoint> points) {
    return StreamDecoding::buildCloudRecord(sequence, 100.0 + sequence, points);
}

// A recording folder named rec holding the given records.
struct recording {
    temp_dir dir;
    fs::path root = dir.path() / "rec";
    recording() { fs::create_directories(root / "image"); }
    fs::path clouds() const { return root / "MTrec.kvx"; }
};

const std::vector<CloudPoint> two = {{1.5f, -2.25f, 0.1f, 255, 128, 1, 0, 0},
                                     {0.0f, 3.0f, -0.5f, 0, 1, 2, 0, 0}};

} // namespace

TEST(PointFileFormat, BinaryBodiesCarryTheRecordedBytes) {
    const std::vector<uint8_t> record = cloud(0, two);
    const uint8_t *points = record.data() + StreamDecoding::CLOUD_RECORD_HEADER_BYTES;
    std::string ply;
    appendPointFileBody(PointFileFormat::Ply, false, points, 2, ply);
    EXPECT_EQ(ply, std::string(record.begin() + 16, record.end()));
    std::string pcd;
    appendPointFileBody(PointFileFormat::Pcd, false, points, 2, pcd);
    ASSERT_EQ(pcd.size(), 32u);
    EXPECT_EQ(pcd.substr(0, 12), ply.substr(0, 12)) << "x y z as recorded";
    EXPECT_EQ(pcd.substr(12, 4), std::string("\x01\x80\xff\x00", 4)) << "0x00RRGGBB, little-endian";
    EXPECT_THAT(pointFileHeader(PointFileFormat::Ply, false, 2, "c"),
                HasSubstr("format binary_little_endian 1.0\ncomment c\nelement vertex 2\n"));
    EXPECT_THAT(pointFileHeader(PointFileFormat::Pcd, false, 2, "c"),
                HasSubstr("TYPE F F F F\nCOUNT 1 1 1 1\nWIDTH 2\nHEIGHT 1\n"
                          "VIEWPOINT 0 0 0 1 0 0 0\nPOINTS 2\nDATA binary\n"));
}

TEST(PointFileFormat, TextIsTheSameUnderADecimalCommaLocale) {
    // The locale's name on Linux (scripts/setup makes it), then on Windows.
    const bool comma = setlocale(LC_ALL, "de_DE.UTF-8") != nullptr ||
                       setlocale(LC_ALL, "German_Germany.1252") != nullptr;
    ASSERT_TRUE(comma) << "a German locale, whose decimal separator is a comma";
    ASSERT_STREQ(localeconv()->decimal_point, ",");
    const std::vector<uint8_t> record = cloud(0, two);
    const uint8_t *points = record.data() + StreamDecoding::CLOUD_RECORD_HEADER_BYTES;
    std::string csv, ply, pcd;
    appendPointFileBody(PointFileFormat::Csv, false, points, 2, csv);
    appendPointFileBody(PointFileFormat::Ply, true, points, 2, ply);
    appendPointFileBody(PointFileFormat::Pcd, true, points, 2, pcd);
    setlocale(LC_ALL, "C");
    // 0.1f is 0.100000001490116...: its shortest text reads back as the same float.
    EXPECT_EQ(csv, "1.5,-2.25,0.1,255,128,1\n0,3,-0.5,0,1,2\n");
    EXPECT_EQ(ply, "1.5 -2.25 0.1 255 128 1\n0 3 -0.5 0 1 2\n");
    EXPECT_EQ(pcd, "1.5 -2.25 0.1 16744449\n0 3 -0.5 258\n");
}

TEST(RecordingExport, AMapCountsOnlyTheWholeCloudsWhenTheLastIsCutOff) {
    recording rec;
    append_file(rec.clouds(), cloud(0, two));
    append_file(rec.clouds(), cloud(1, two));
    std::vector<uint8_t> cut = cloud(2, two);
    cut.resize(cut.size() - 1);
    append_file(rec.clouds(), cut);
    ExportRequest request;
    request.clouds.dir = (rec.dir.path() / "out").string();
    request.clouds.merge = true;
    const ExportReport report = exportRecording(rec.root.string(), request, {});
    EXPECT_EQ(report.error, "");
    EXPECT_EQ(report.pointsWritten, 4u);
    EXPECT_THAT(report.problems,
                testing::ElementsAre("clouds: the last record, at byte " +
                                     std::to_string(2 * (16 + 2 * 15)) +
                                     ", is cut off; the 2 before it were exported"));
    const std::string map = file_text(rec.dir.path() / "out/map.ply");
    EXPECT_THAT(map, HasSubstr("element vertex 4\n"));
    EXPECT_EQ(map.size(), map.find("end_header\n") + 11 + 4 * 15) << "the header's count of points";
}

TEST(RecordingExport, McapAndLasKeepWhatIsWholeAndSayWhatWasLeftOut) {
    recording rec;
    append_file(rec.clouds(), cloud(0, two));
    std::vector<uint8_t> cut = cloud(1, two);
    cut.resize(cut.size() - 1);
    append_file(rec.clouds(), cut);
    const float turned[7] = {1, 2, 3, 0, 0, 0, 2}, none[7] = {1, 2, 3, 0, 0, 0, 0};
    append_file(rec.root / "KestPose.bin", StreamDecoding::buildPoseRecord(0, 100.5, turned));
    append_file(rec.root / "KestPose.bin", StreamDecoding::buildPoseRecord(1, 101, none));
    ExportRequest request;
    request.mcapPath = (rec.dir.path() / "out" / mcapFileName(rec.root.string())).string();
    ExportReport report = exportRecording(rec.root.string(), request, {});
    EXPECT_EQ(report.error, "");
    EXPECT_EQ(report.clouds, 1u);
    EXPECT_EQ(report.poses, 1u);
    EXPECT_EQ(report.posesWithoutRotation, 1u) << "a zero quaternion is no pose";
    EXPECT_EQ(report.messages, 3u) << "the cloud, the pose and its transform; no pictures file";
    EXPECT_THAT(report.problems, testing::ElementsAre(HasSubstr("clouds: the last record")));
    const std::string mcap = file_text(rec.dir.path() / "out/rec.mcap");
    EXPECT_EQ(mcap.substr(mcap.size() - 8), std::string("\x89MCAP0\r\n", 8)) << "a whole file";

    fs::resize_file(rec.clouds(), 16 + 2 * 15); // the cut-off record replaced by one of no place
    const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
    append_file(rec.clouds(), cloud(1, {{inf, 0, 0, 1, 1, 1, 0, 0}, {0, nan, 0, 1, 1, 1, 0, 0}}));
    request = ExportRequest();
    request.clouds.dir = (rec.dir.path() / "las").string();
    request.clouds.format = PointFileFormat::Las;
    report = exportRecording(rec.root.string(), request, {});
    EXPECT_EQ(report.error, "");
    EXPECT_EQ(report.pointsWritten, 2u);
    EXPECT_THAT(report.problems,
                testing::ElementsAre("cloud_000001.las: 2 points are not finite or "
                                     "too far from the others for LAS; left out"));
    EXPECT_EQ(fs::file_size(rec.dir.path() / "las/cloud_000001.las"), 375u) << "an empty LAS file";
}
