// Reads a recording's files back from the layouts, not the recorder's builders: each record starts
// with its number (u32) and time (f64 s); a pose is 40 bytes, a cloud 16 + 15 n, an image 16 + m
// (n, m the u32 at offset 12). Little-endian throughout.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kest_test {

struct read_record {
    uint32_t sequence;
    double seconds;
    uint32_t count;             // points or JPEG bytes; 0 for a pose
    std::vector<uint8_t> bytes; // the whole record
};

struct read_file {
    std::vector<read_record> records;
    std::string fault; // empty when the file is a whole number of well-formed records
};

inline std::vector<uint8_t> file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline std::string file_text(const std::filesystem::path &path) {
    const std::vector<uint8_t> bytes = file_bytes(path.string());
    return std::string(bytes.begin(), bytes.end());
}

inline void append_file(const std::filesystem::path &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

// A value stored little-endian, like the host's.
template <typename T>
T stored(const uint8_t *p) {
    T value;
    memcpy(&value, p, sizeof value);
    return value;
}

// unit: 0 for the pose file, else the bytes per counted item (15 or 1).
inline read_file read_records(const std::string &path, size_t unit) {
    read_file out;
    const std::vector<uint8_t> bytes = file_bytes(path);
    for (size_t at = 0; at < bytes.size();) {
        const uint8_t *p = bytes.data() + at;
        const size_t left = bytes.size() - at;
        const uint32_t count = unit == 0 || left < 16 ? 0 : stored<uint32_t>(p + 12);
        const size_t size = unit == 0 ? 40 : 16 + size_t(count) * unit;
        if (left < size) {
            out.fault = "a record is cut off at byte " + std::to_string(at);
            return out;
        }
        out.records.push_back({stored<uint32_t>(p), stored<double>(p + 4), count, {p, p + size}});
        at += size;
    }
    return out;
}

inline read_file read_poses(const std::string &path) {
    return read_records(path, 0);
}
inline read_file read_clouds(const std::string &path) {
    return read_records(path, 15);
}
inline read_file read_images(const std::string &path) {
    return read_records(path, 1);
}

// A recording folder's binary files: poses, clouds, images.
inline std::array<std::filesystem::path, 3> recording_paths(const std::filesystem::path &folder) {
    return {folder / "KestPose.bin", folder / ("MT" + folder.filename().string() + ".kvx"),
            folder / "KestImage.bin"};
}

inline std::array<read_file, 3> read_recording(const std::filesystem::path &folder) {
    const std::array<std::filesystem::path, 3> paths = recording_paths(folder);
    return {read_poses(paths[0].string()), read_clouds(paths[1].string()),
            read_images(paths[2].string())};
}

// Empty when the records are numbered 0, 1, 2, ... in order; else what is wrong.
inline std::string numbering_fault(const read_file &file) {
    for (size_t i = 0; i < file.records.size(); ++i)
        if (file.records[i].sequence != i)
            return "record " + std::to_string(i) + " has number " +
                   std::to_string(file.records[i].sequence);
    return "";
}

} // namespace kest_test
