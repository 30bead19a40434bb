#include "tests/support/temp_dir.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

namespace kest_test {

temp_dir::temp_dir(bool enter) {
    // A fresh name, made by this process alone: create_directory says whether it was.
    static std::atomic<unsigned> made{0};
    std::random_device seed;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; root.empty(); ++attempt) {
        if (attempt == 100)
            throw std::runtime_error("no new folder could be made in " + base.string());
        const std::filesystem::path candidate =
            base / ("kest_test_" + std::to_string(seed()) + "_" + std::to_string(made++));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error))
            root = candidate;
    }
    if (enter) {
        previous = std::filesystem::current_path();
        std::filesystem::current_path(root);
    }
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    if (!previous.empty())
        std::filesystem::current_path(previous, ignored);
    std::filesystem::remove_all(root, ignored);
}

void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

} // namespace kest_test
