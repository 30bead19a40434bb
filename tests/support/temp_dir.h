// A fresh directory under the system's temporary directory, removed with its
// contents when the object goes away. Optionally the working directory while it lives.
#pragma once

#include <filesystem>
#include <string>

namespace kest_test {

class temp_dir {
public:
    explicit temp_dir(bool enter = false);
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    const std::filesystem::path &path() const { return root; }
    std::string file(const std::string &name) const { return (root / name).string(); }

private:
    std::filesystem::path root;
    std::filesystem::path previous;
};

// Writes bytes to path, replacing it.
void write_file(const std::string &path, const std::string &bytes);

} // namespace kest_test
