// The recorder's files: the writer of one binary file with its thread, its
// bounded queue and its failures, and the folder a recording makes.
#include "app/binary_data_logger.h"
#include "tests/support/full_disk.h"
#include "tests/support/log_capture.h"
#include "tests/support/recording_files.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <gmock/gmock.h>

#include <QDir>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/resource.h>
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

class RecorderFiles : public logged_test {
protected:
    temp_dir dir;
};

} // namespace

TEST_F(RecorderFiles, StopWritesAPartialBatchAndAppendsToWhatWasThere) {
    std::string path = dir.file("poses.bin");
    write_file(path, "earlier");
    BinaryFileWriter writer(qpath(path), 100);
    EXPECT_TRUE(writer.push(record_of(40, 1)));
    EXPECT_TRUE(writer.push(record_of(0, 9))); // accepted and skipped
    EXPECT_TRUE(writer.push(record_of(40, 2)));
    writer.stop();
    std::vector<uint8_t> bytes = file_bytes(path);
    ASSERT_EQ(bytes.size(), 7u + 80u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 7), "earlier");
    EXPECT_EQ(bytes[7], 1);
    EXPECT_EQ(bytes[7 + 40], 2);
    WriterReport report = writer.report();
    EXPECT_EQ(report.recordsWritten, 2u);
    EXPECT_EQ(report.bytesWritten, 80u);
    EXPECT_EQ(report.recordsDropped, 0u);
    EXPECT_FALSE(report.failed);
    EXPECT_FALSE(writer.push(record_of(40, 3))) << "a stopped writer takes nothing";
    EXPECT_EQ(writer.report().recordsDropped, 1u);
    writer.stop(); // a second stop does nothing
}

// A crash costs at most the flush interval: a batch that is not full reaches
// the file while the writer runs.
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

TEST_F(RecorderFiles, FileThatCannotBeOpenedIsAnErrorAtConstruction) {
    std::string path = dir.file("missing/folder/KestPose.bin");
    try {
        BinaryFileWriter writer(qpath(path), 100);
        FAIL() << "a writer was built for a file in a missing folder";
    } catch (const std::system_error &error) {
        EXPECT_EQ(error.code().value(), ENOENT);
        EXPECT_THAT(error.what(), testing::HasSubstr(path));
    }
    EXPECT_TRUE(log_contains("[Recorder] Cannot open " + path + ": No such file or directory."));
}

// A full disk: the error is logged once with the file's name, the file keeps
// the whole records written before it, and the writer takes no more.
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
    EXPECT_EQ(report.recordsWritten, 2u);
    EXPECT_EQ(report.recordsDropped, 2u);
    EXPECT_TRUE(report.failed);
    EXPECT_TRUE(log_contains("[Recorder] Cannot write " + path +
                             ": File too large; no more records go to this file."));
}

TEST_F(RecorderFiles, WriteFailureOnADeviceThatIsFullIsReported) {
    BinaryFileWriter writer(QStringLiteral("/dev/full"), 1);
    EXPECT_TRUE(writer.push(record_of(40, 1)));
    writer.stop();
    EXPECT_TRUE(writer.report().failed);
    EXPECT_EQ(writer.report().recordsWritten, 0u);
    EXPECT_TRUE(log_contains("[Recorder] Cannot write /dev/full: No space left on device;"));
}

// A disk that stops taking data: the queue grows to its bound, then whole
// records are dropped with one warning (not one per record); once the disk
// moves again everything accepted arrives, in order.
TEST_F(RecorderFiles, StalledDiskCostsRecordsNeverUnboundedMemory) {
    std::string path = dir.file("stalled");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    WriterLimits limits;
    limits.maxQueuedBytes = 1 << 20;
    BinaryFileWriter writer(qpath(path), 1, limits);
    const size_t record_bytes = 64 << 10;
    std::vector<uint8_t> accepted_fills; // the writer drains while we push: any may go through
    size_t refused = 0;
    for (int i = 0; i < 100; ++i) {
        std::vector<uint8_t> record = record_of(record_bytes, static_cast<uint8_t>(i));
        if (writer.push(std::move(record)))
            accepted_fills.push_back(static_cast<uint8_t>(i));
        else
            ++refused;
    }
    const size_t accepted = accepted_fills.size();
    // What the pipe holds plus the bound, within a record of each.
    EXPECT_LE(accepted * record_bytes, (1u << 20) + (64u << 10) + 2 * record_bytes);
    EXPECT_GT(refused, 0u);
    size_t warnings = 0;
    for (const std::string &line : captured_lines())
        warnings += line.find("the disk falls behind the stream") != std::string::npos;
    EXPECT_EQ(warnings, 1u);

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
    ASSERT_EQ(received.size(), accepted * record_bytes);
    for (size_t i = 0; i < accepted; ++i) {
        auto begin = received.begin() + static_cast<std::ptrdiff_t>(i * record_bytes);
        ASSERT_EQ(std::count(begin, begin + record_bytes, accepted_fills[i]), record_bytes)
            << "record " << i << " arrives whole and in order";
    }
    WriterReport report = writer.report();
    EXPECT_EQ(report.recordsWritten, accepted);
    EXPECT_EQ(report.recordsDropped, refused);
}

TEST_F(RecorderFiles, RecordingFolderHoldsTextFilesAndThreeBinaryFiles) {
    RecorderConfig config;
    config.root = qpath(dir.path() / "root");
    config.startTime = QDateTime(QDate(2025, 1, 31), QTime(14, 25, 1));
    {
        BinaryDataLogger logger(config);
        EXPECT_EQ(logger.recordDir, qpath(dir.path() / "root/20250131_142501"));
    }
    fs::path folder = dir.path() / "root/20250131_142501";
    auto text = [](const fs::path &path) {
        std::vector<uint8_t> bytes = file_bytes(path.string());
        return std::string(bytes.begin(), bytes.end());
    };
    EXPECT_EQ(text(folder / "image/info.txt"), "device=KestOne\ncreated_at=20250131_142501\n");
    EXPECT_EQ(text(folder / "image/cam_in_ex.txt"), "# camera intrinsics/extrinsics TBD\n");
    for (const char *name : {"KestPose.bin", "MT20250131_142501.kvx", "KestImage.bin"}) {
        EXPECT_TRUE(fs::exists(folder / name)) << name;
        EXPECT_EQ(fs::file_size(folder / name), 0u) << name;
    }
}

// The stored format relies on it: a second recording in the same second adds
// its records after the first's.
TEST_F(RecorderFiles, TwoRecordingsInOneSecondShareTheirFiles) {
    RecorderConfig config;
    config.root = qpath(dir.path());
    config.startTime = QDateTime(QDate(2025, 1, 31), QTime(14, 25, 1));
    for (uint8_t round = 1; round <= 2; ++round) {
        BinaryDataLogger logger(config);
        std::vector<uint8_t> pose = record_of(40, 0);
        pose[0] = round;
        logger.poseWriter->push(std::move(pose));
        logger.stop();
    }
    read_file poses = read_poses((dir.path() / "20250131_142501/KestPose.bin").string());
    ASSERT_EQ(poses.fault, "");
    ASSERT_EQ(poses.records.size(), 2u);
    EXPECT_EQ(poses.records[0].sequence, 1u);
    EXPECT_EQ(poses.records[1].sequence, 2u);
}

TEST_F(RecorderFiles, EmptyRootFallsBackOnTheEnvironment) {
    RecorderConfig config;
    config.startTime = QDateTime(QDate(2025, 1, 31), QTime(14, 25, 1));
    {
        scoped_env data("KEST_DATA_DIR", (dir.path() / "data").string());
        BinaryDataLogger logger(config);
        EXPECT_EQ(logger.recordDir, qpath(dir.path() / "data/20250131_142501"));
    }
    {
        scoped_env data("KEST_DATA_DIR", std::nullopt);
        scoped_env home("HOME", (dir.path() / "home").string());
        BinaryDataLogger logger(config);
        EXPECT_EQ(logger.recordDir, qpath(dir.path() / "home/KestData/20250131_142501"));
    }
    {
        scoped_env data("KEST_DATA_DIR", "");
        scoped_env home("HOME", std::nullopt);
        temp_dir here(true);
        BinaryDataLogger logger(config);
        EXPECT_EQ(logger.recordDir, QDir::current().filePath("KestData/20250131_142501"));
        EXPECT_TRUE(fs::is_directory(here.path() / "KestData/20250131_142501/image"));
    }
}

// A recording that cannot be made is an exception at start, also when some
// writers were already running (they are stopped, nothing terminates).
TEST_F(RecorderFiles, FolderOrFileThatCannotBeMadeThrowsAtStart) {
    write_file(dir.file("plain"), "a file, not a folder");
    RecorderConfig config;
    config.root = qpath(dir.path() / "plain/below");
    EXPECT_THROW(BinaryDataLogger logger(config), std::system_error);
    EXPECT_TRUE(log_contains("[Recorder] Cannot create the folder " + dir.file("plain/below")));

    config.root = qpath(dir.path());
    config.startTime = QDateTime(QDate(2025, 1, 31), QTime(14, 25, 1));
    fs::create_directories(dir.path() / "20250131_142501/MT20250131_142501.kvx");
    EXPECT_THROW(BinaryDataLogger logger(config), std::system_error);
    EXPECT_TRUE(log_contains("MT20250131_142501.kvx: Is a directory."));
}
