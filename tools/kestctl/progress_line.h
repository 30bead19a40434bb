// Progress of a long command on standard error: a bar redrawn in place on a
// terminal, a line per tenth otherwise (a log, a pipe). Nothing is shown for
// work that ends within its first second.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kestctl {

class progress_line {
public:
    explicit progress_line(std::string what);
    // done of total units; cheap to call often.
    void update(uint64_t done, uint64_t total);
    // Ends the bar's line, if one was drawn.
    void finish();

private:
    void draw(int percent);

    std::string what_;
    std::chrono::steady_clock::time_point began_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point drawn_{};
    bool terminal_;
    bool shown_ = false;
    int last_percent_ = -1;
};

} // namespace kestctl
