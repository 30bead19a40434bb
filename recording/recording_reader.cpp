#include "recording/recording_reader.h"

#include "sdk/common/byte_order.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

constexpr size_t readBuffer = size_t{1} << 20; // stdio's buffer, for sequential reads

uint64_t unitOf(RecordKind kind) {
    return kind == RecordKind::Cloud ? RecordLayout::pointBytes : 1;
}

// The cloud file's name: "MT" and the folder's name, or any MT*.kvx there.
std::string cloudFileName(const fs::path &folder) {
    const std::string expected = "MT" + folder.filename().string() + ".kvx";
    std::error_code error;
    if (fs::exists(folder / expected, error))
        return expected;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 6 && name.rfind("MT", 0) == 0 && entry.path().extension() == ".kvx")
            return name;
    }
    return expected;
}

} // namespace

RecordFileReader::~RecordFileReader() {
    if (owned && file != nullptr)
        std::fclose(file);
}

bool RecordFileReader::open(const std::string &path, RecordKind recordKind, std::string &error) {
    std::FILE *opened = std::fopen(path.c_str(), "rb");
    struct stat info {};
    if (opened == nullptr || fstat(fileno(opened), &info) != 0 || !S_ISREG(info.st_mode)) {
        error = path + ": " + (opened == nullptr ? std::strerror(errno) : "not a regular file");
        if (opened != nullptr)
            std::fclose(opened);
        return false;
    }
    std::setvbuf(opened, nullptr, _IOFBF, readBuffer);
    attach(opened, static_cast<uint64_t>(info.st_size), recordKind);
    owned = true;
    return true;
}

void RecordFileReader::attach(std::FILE *source, uint64_t bytes, RecordKind recordKind) {
    file = source;
    owned = false;
    size = bytes;
    kind = recordKind;
    at = 0;
    start = ftello(source);
    truncated.reset();
    failure.clear();
}

bool RecordFileReader::seek(uint64_t offset) {
    if (file == nullptr || start < 0 || offset > size ||
        fseeko(file, start + off_t(offset), SEEK_SET) != 0) {
        failure = "cannot go to the record at byte " + std::to_string(offset);
        return false;
    }
    at = offset;
    truncated.reset();
    failure.clear();
    return true;
}

bool RecordFileReader::readExactly(uint8_t *out, size_t bytes) {
    if (bytes == 0)
        return true;
    if (std::fread(out, 1, bytes, file) == bytes)
        return true;
    failure = std::ferror(file) ? std::strerror(errno) : "the file ended early";
    return false;
}

bool RecordFileReader::skip(uint64_t bytes) {
    if (bytes == 0)
        return true;
    if (bytes <= uint64_t(INT64_MAX) && fseeko(file, off_t(bytes), SEEK_CUR) == 0)
        return true;
    failure = std::strerror(errno);
    return false;
}

bool RecordFileReader::next(RecordView &record, bool withBody) {
    if (file == nullptr || truncated || !failure.empty() || at >= size)
        return false;
    const uint64_t left = size - at;
    const size_t head =
        kind == RecordKind::Pose ? RecordLayout::poseBytes : RecordLayout::headerBytes;
    if (left < head) {
        truncated = at;
        return false;
    }
    record.bytes.resize(head);
    if (!readExactly(record.bytes.data(), head))
        return false;
    const uint8_t *p = record.bytes.data();
    record.sequence = get_le32(p);
    record.seconds = get_le_double(p + 4);
    record.count = kind == RecordKind::Pose ? 0 : get_le32(p + RecordLayout::countAt);
    record.offset = at;
    // At most 16 + 15 * (2^32 - 1) bytes: no overflow in 64 bits, and checked
    // against what the file holds before anything is allocated.
    const uint64_t whole =
        head + (kind == RecordKind::Pose ? 0 : uint64_t{record.count} * unitOf(kind));
    if (whole > left) {
        truncated = at;
        return false;
    }
    if (!withBody) {
        if (!skip(whole - head))
            return false;
    } else {
        record.bytes.resize(whole);
        if (!readExactly(record.bytes.data() + head, whole - head))
            return false;
    }
    at += whole;
    return true;
}

std::optional<std::pair<int, int>> jpegSize(const uint8_t *data, size_t size) {
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return std::nullopt;
    size_t at = 2;
    while (at + 4 <= size) {
        if (data[at] != 0xFF)
            return std::nullopt;
        const uint8_t marker = data[at + 1];
        if (marker == 0xFF) { // fill byte
            ++at;
            continue;
        }
        const size_t length = get_be16(data + at + 2);
        if (length < 2)
            return std::nullopt;
        // Start of frame: every SOFn but the DHT, JPG and DAC markers that share the range.
        const bool frame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (at + 9 > size || length < 7)
                return std::nullopt;
            const int height = get_be16(data + at + 5);
            const int width = get_be16(data + at + 7);
            return std::make_pair(width, height);
        }
        if (marker == 0xDA) // start of scan before any frame header
            return std::nullopt;
        at += 2 + length;
    }
    return std::nullopt;
}

RecordingFiles locateRecording(const std::string &path) {
    RecordingFiles out;
    fs::path folder = fs::path(path).lexically_normal();
    if (!folder.has_filename() && folder.has_parent_path()) // "rec/": the name is rec
        folder = folder.parent_path();
    out.folder = folder.string();
    std::error_code error;
    if (!fs::is_directory(folder, error))
        return out;
    out.poses = (folder / "KestPose.bin").string();
    out.clouds = (folder / cloudFileName(folder)).string();
    out.images = (folder / "KestImage.bin").string();
    out.isRecording = fs::exists(folder / "image" / "info.txt", error);
    for (const std::string &file : {out.poses, out.clouds, out.images})
        out.isRecording = out.isRecording || fs::exists(file, error);
    return out;
}
