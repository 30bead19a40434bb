// An export's output file: every write checked, and a file that could not be
// completed removed rather than left behind looking whole.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class ExportFile {
public:
    ExportFile() = default;
    ~ExportFile();
    ExportFile(const ExportFile &) = delete;
    ExportFile &operator=(const ExportFile &) = delete;

    // Each returns false with the reason, naming the file, in error.
    bool open(const std::string &path, std::string &error);
    bool write(const std::string &bytes, std::string &error);
    // Writes bytes over what the file holds at offset, then goes back to its end.
    bool writeAt(uint64_t offset, const std::string &bytes, std::string &error);
    bool close(std::string &error);

private:
    bool fail(std::string &error);
    bool notOpen(std::string &error);

    std::FILE *file = nullptr;
    std::string path;
};

// Creates dir and its parents if missing; false with the reason in error.
bool makeExportFolder(const std::string &dir, std::string &error);
// Writes bytes as the whole file at path.
bool writeExportFile(const std::string &path, const std::string &bytes, std::string &error);
