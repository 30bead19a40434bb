// Reads a recording's binary files back, record by record, without trusting
// them: a record whose length runs past the end of the file is reported with
// its byte offset (everything before it stays usable) and never allocated.
//
// The files have no header; every record starts with its sequence number (u32)
// and its time in seconds (f64, unaligned), little-endian. A pose record is 40
// bytes, a cloud record 16 + 15 n bytes and an image record 16 + m bytes, n
// and m being the u32 at offset 12.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

enum class RecordKind { Pose, Cloud, Image };

namespace RecordLayout {
constexpr size_t headerBytes = 16;
constexpr size_t poseBytes = 40;
constexpr size_t pointBytes = 15;
constexpr size_t countAt = 12;
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
    // is cut off (truncatedAt then says where it starts).
    bool next(RecordView &record);
    std::optional<uint64_t> truncatedAt() const { return truncated; }
    // A read error other than the end of the file, or empty.
    const std::string &readError() const { return failure; }
    uint64_t fileSize() const { return size; }
    uint64_t offset() const { return at; }

private:
    bool readExactly(uint8_t *out, size_t bytes);

    std::FILE *file = nullptr;
    bool owned = false;
    RecordKind kind = RecordKind::Pose;
    uint64_t size = 0;
    uint64_t at = 0;
    std::optional<uint64_t> truncated;
    std::string failure;
};

// The width and height a JPEG file declares in its frame header, if it has one.
std::optional<std::pair<int, int>> jpegSize(const uint8_t *data, size_t size);
