// The recorder's files: the writer of one file (its thread, bounded queue, failures), the folder.
#include "app/binary_data_logger.h"
#include "tests/support/full_disk.h"
#include "tests/support/log_capture.h"
#include "tests/support/recording_files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace kest_test;
namespace fs = std::filesystem;

namespace {

QString qpath(const fs::path &path) {
    return QString::fromStdString(path.string());
}

std::vector<uint8_t> record_of(size_t size, uint8_t fill) {
    return std::vector<uint8_t>(size, fill);
}

// Records written, bytes written, records dropped, failed.
std::tuple<uint64_t, uint64_t, uint64_t, bool> figures(const WriterReport &report) {
    return {report.recordsWritten, report.bytesWritten, report.recordsDropped, report.failed};
}

class RecorderFiles : public logged_test {
protected:
    RecorderConfig config_at(const fs::path &root) const {
        RecorderConfig config;
        config.root = root.empty() ? QString() : qpath(root);
        config.startTime = QDateTime(QDate(2025, 1, 31), QTime(14, 25, 1));
        return config;
    }
    temp_dir dir;
};

} // namespace

TEST_F(RecorderFiles, StopWritesAPartialBatch) {
    std::string path = dir.file("poses.bin");
    BinaryFileWriter writer(qpath(path), 100);
    EXPECT_TRUE(writer.push(record_of(40, 1)));
    EXPECT_TRUE(writer.push(record_of(0, 9))); // accepted and skipped
    EXPECT_TRUE(writer.push(record_of(40, 2)));
    writer.stop();
    std::vector<uint8_t> bytes = file_bytes(path);
    ASSERT_EQ(bytes.size(), 80u);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[40], 2);
    EXPECT_EQ(figures(writer.report()), std::make_tuple(2u, 80u, 0u, false));
    EXPECT_FALSE(writer.push(record_of(40, 3))) << "a stopped writer takes nothing";
    EXPECT_EQ(writer.report().recordsDropped, 1u);
    writer.stop(); // a second stop does nothing
}

// A crash costs at most the flush interval: a partial batch reaches the file while the writer runs.
TEST_F(RecorderFiles, BatchThatIsNotFullIsWrittenAfterTheFlushInterval) {
    std::string path = dir.file("clouds.kvx");
    WriterLimits limits;
    limits.flushInterval = std::chrono::milliseconds(50);
    BinaryFileWriter writer(qpath(path), 100, limits);
    ASSERT_TRUE(writer.push(record_of(31, 7)));
    EXPECT_TRUE(eventually([&] { return fs::file_size(path) == 31; }, "the lone record on disk"));
    ASSERT_TRUE(writer.push(record_of(16, 8)));
    EXPECT_TRUE(eventually([&] { return fs::file_size(path) == 47; }, "the second record on disk"));
}

// A full disk: the error names the file, which keeps its whole records; the writer takes no more.
TEST_F(RecorderFiles, WriteFailureKeepsTheFileReadableUpToItsLastWholeRecord) {
    std::string path = dir.file("KestImage.bin");
    WriterReport report;
    {
        full_disk full(100);
        ASSERT_TRUE(full.active());
        BinaryFileWriter writer(qpath(path), 1);
        EXPECT_TRUE(writer.push(record_of(40, 1)));
        EXPECT_TRUE(writer.push(record_of(40, 2)));
        EXPECT_TRUE(writer.push(record_of(40, 3))); // half of it fits
        EXPECT_TRUE(eventually([&] { return writer.report().failed; }, "the write failure"));
        EXPECT_FALSE(writer.push(record_of(40, 4)));
        writer.stop();
        report = writer.report();
    }
    EXPECT_EQ(fs::file_size(path), 80u) << "the partly written third record is cut off";
    EXPECT_EQ(figures(report), std::make_tuple(2u, 80u, 2u, true));
    EXPECT_TRUE(log_contains("[Recorder] Cannot write " + path +
                             ": File too large; no more records go to this file."));
}

// A stalled disk: the queue grows to its bound, then whole records are dropped with one warning;
// once the disk moves again everything accepted arrives, in order.
TEST_F(RecorderFiles, StalledDiskCostsRecordsNeverUnboundedMemory) {
    std::string path = dir.file("stalled");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    WriterLimits limits;
    limits.maxQueuedBytes = 1 << 20;
    BinaryFileWriter writer(qpath(path), 1, limits);
    const size_t record_bytes = 64 << 10;
    std::vector<uint8_t> accepted; // the fills; the writer drains while we push
    size_t refused = 0;
    for (int i = 0; i < 100; ++i) {
        if (writer.push(record_of(record_bytes, static_cast<uint8_t>(i))))
            accepted.push_back(static_cast<uint8_t>(i));
        else
            ++refused;
    }
    // What the pipe holds plus the bound, within a record of each.
    EXPECT_LE(accepted.size() * record_bytes, (1u << 20) + (64u << 10) + 2 * record_bytes);
    EXPECT_GT(refused, 0u);
    const std::vector<std::string> lines = captured_lines();
    EXPECT_EQ(lines.size(), 1u) << "one warning: the disk falls behind the stream";
    fcntl(reader, F_SETFL, 0); // blocking: read until the writer closes
    std::vector<uint8_t> received;
    std::thread drain([&] {
        uint8_t chunk[65536];
        ssize_t n;
        while ((n = read(reader, chunk, sizeof chunk)) > 0)
            received.insert(received.end(), chunk, chunk + n);
    });
    writer.stop();
    drain.join();
    close(reader);
    ASSERT_EQ(received.size(), accepted.size() * record_bytes);
    for (size_t i = 0; i < accepted.size(); ++i) {
        auto begin = received.begin() + static_cast<std::ptrdiff_t>(i * record_bytes);
        ASSERT_EQ(std::count(begin, begin + record_bytes, accepted[i]), record_bytes)
            << "record " << i << " arrives whole and in order";
    }
    EXPECT_EQ(writer.report().recordsWritten, accepted.size());
    EXPECT_EQ(writer.report().recordsDropped, refused);
}

// A second recording in the same second adds its records after the first's.
TEST_F(RecorderFiles, RecordingFolderHoldsTextFilesAndThreeBinaryFilesThatTwoInOneSecondShare) {
    const fs::path folder = dir.path() / "root/20250131_142501";
    for (uint8_t round = 1; round <= 2; ++round) {
        BinaryDataLogger logger(config_at(dir.path() / "root"));
        EXPECT_EQ(file_text(folder / "image/info.txt"),
                  "device=KestOne\ncreated_at=20250131_142501\n");
        EXPECT_EQ(file_text(folder / "image/cam_in_ex.txt"),
                  "# camera intrinsics/extrinsics TBD\n");
        std::vector<uint8_t> pose = record_of(40, 0);
        pose[0] = round;
        logger.poseWriter->push(std::move(pose));
        logger.stop();
    }
    const std::array<read_file, 3> files = read_recording(folder);
    ASSERT_EQ(files[0].fault, "");
    ASSERT_EQ(files[0].records.size(), 2u);
    EXPECT_EQ(files[0].records[0].sequence, 1u);
    EXPECT_EQ(files[0].records[1].sequence, 2u);
    EXPECT_EQ(fs::file_size(recording_paths(folder)[1]) + fs::file_size(recording_paths(folder)[2]),
              0u);
}

// A file that cannot be made throws at construction, also once other writers run: they are stopped.
TEST_F(RecorderFiles, FolderOrFileThatCannotBeMadeThrowsAtStart) {
    fs::create_directories(dir.path() / "20250131_142501/MT20250131_142501.kvx");
    EXPECT_THROW(BinaryDataLogger logger(config_at(dir.path())), std::system_error);
}
