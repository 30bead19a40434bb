#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace kest_test {

temp_dir::temp_dir(bool enter) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kest_test_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed for " + pattern);
    root = pattern;
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
