#include "recording/export_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

constexpr size_t writeBuffer = size_t{1} << 20;

} // namespace

ExportFile::~ExportFile() {
    if (file != nullptr) { // not closed: the file is not whole
        std::fclose(file);
        std::remove(path.c_str());
    }
}

bool ExportFile::fail(std::string &error) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    if (file != nullptr)
        std::fclose(file);
    file = nullptr;
    std::remove(path.c_str());
    return false;
}

// Never opened, or closed after a failure (which said why).
bool ExportFile::notOpen(std::string &error) {
    error = "cannot write " + (path.empty() ? std::string("a file") : path) + ": it is not open";
    return false;
}

bool ExportFile::open(const std::string &target, std::string &error) {
    path = target;
    file = std::fopen(target.c_str(), "wb");
    if (file == nullptr)
        return fail(error);
    std::setvbuf(file, nullptr, _IOFBF, writeBuffer);
    return true;
}

bool ExportFile::write(const std::string &bytes, std::string &error) {
    if (file == nullptr)
        return notOpen(error);
    if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size())
        return fail(error);
    return true;
}

bool ExportFile::writeAt(uint64_t offset, const std::string &bytes, std::string &error) {
    if (file == nullptr)
        return notOpen(error);
    if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0 || !write(bytes, error))
        return file == nullptr ? false : fail(error);
    return fseeko(file, 0, SEEK_END) == 0 || fail(error);
}

bool ExportFile::close(std::string &error) {
    if (file == nullptr)
        return notOpen(error);
    const bool flushed = std::fflush(file) == 0;
    const int savedErrno = errno;
    if (std::fclose(file) != 0 || !flushed) {
        file = nullptr;
        errno = flushed ? errno : savedErrno;
        return fail(error);
    }
    file = nullptr;
    return true;
}

bool makeExportFolder(const std::string &dir, std::string &error) {
    std::error_code failure;
    std::filesystem::create_directories(dir, failure);
    if (!failure && std::filesystem::is_directory(dir, failure))
        return true;
    error = "cannot create the folder " + dir + ": " +
            (failure ? failure.message() : std::string("a file of that name is in the way"));
    return false;
}

bool writeExportFile(const std::string &path, const std::string &bytes, std::string &error) {
    ExportFile file;
    return file.open(path, error) && file.write(bytes, error) && file.close(error);
}
