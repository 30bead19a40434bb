// Reads a recording's binary files back, record by record, without trusting
// them: a record whose length runs past the end of the file is reported with
// its byte offset (everything before it stays usable) and never allocated.
//
// The files have no header; every record starts with its sequence number (u32)
// and its time in seconds (f64, unaligned), little-endian. A pose record is 40
// bytes, a cloud record 16 + 15 n bytes and an image record 16 + m bytes, n
// and m being the u32 at offset 12.
#pragma once

#include "recording/record_layout.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

enum class RecordKind { Pose, Cloud, Image };

namespace RecordLayout {
constexpr size_t headerBytes = StreamDecoding::CLOUD_RECORD_HEADER_BYTES;
constexpr size_t poseBytes = StreamDecoding::POSE_RECORD_BYTES;
constexpr size_t pointBytes = StreamDecoding::CLOUD_RECORD_POINT_BYTES;
constexpr size_t countAt = StreamDecoding::RECORD_COUNT_AT;
static_assert(StreamDecoding::IMAGE_RECORD_HEADER_BYTES == headerBytes, "one header size");
} // namespace RecordLayout

struct RecordView {
    uint32_t sequence = 0;
    double seconds = 0;
    uint32_t count = 0;         // points or JPEG bytes; 0 for a pose
    uint64_t offset = 0;        // of the record in its file
    std::vector<uint8_t> bytes; // the whole record
};

class RecordFileReader {
public:
    RecordFileReader() = default;
    ~RecordFileReader();
    RecordFileReader(const RecordFileReader &) = delete;
    RecordFileReader &operator=(const RecordFileReader &) = delete;

    // Opens path for reading; false with the reason in error.
    bool open(const std::string &path, RecordKind kind, std::string &error);
    // Reads from file (owned by the caller, positioned at a record) up to
    // size bytes: for readers of memory and tests.
    void attach(std::FILE *file, uint64_t size, RecordKind kind);

    // The next whole record; false at the end of the file or at a record that
    // is cut off (truncatedAt then says where it starts). Without its body,
    // record.bytes holds the header only and the rest is skipped unread.
    bool next(RecordView &record, bool withBody = true);
    // Back to the first record, to read the file again.
    bool rewind() { return seek(0); }
    // To the record at offset (one that next() has met), to read on from there.
    bool seek(uint64_t offset);
    std::optional<uint64_t> truncatedAt() const { return truncated; }
    // A read error other than the end of the file, or empty.
    const std::string &readError() const { return failure; }
    uint64_t fileSize() const { return size; }
    uint64_t offset() const { return at; }

private:
    bool readExactly(uint8_t *out, size_t bytes);
    bool skip(uint64_t bytes);

    std::FILE *file = nullptr;
    bool owned = false;
    RecordKind kind = RecordKind::Pose;
    uint64_t size = 0;
    uint64_t at = 0;
    off_t start = 0; // of the first record in the file
    std::optional<uint64_t> truncated;
    std::string failure;
};

// Where a recording's files are. The cloud file is "MT" and the folder's name
// with ".kvx", or any MT*.kvx there (a renamed folder).
struct RecordingFiles {
    std::string folder;                // without a trailing separator
    std::string poses, clouds, images; // paths, whether or not they exist
    bool isRecording = false;          // any of them, or image/info.txt, exists
};
RecordingFiles locateRecording(const std::string &folder);

// The width and height a JPEG file declares in its frame header, if it has one.
std::optional<std::pair<int, int>> jpegSize(const uint8_t *data, size_t size);
