#include "tools/kestctl/progress_line.h"

#include <cstdio>
#include <unistd.h>

namespace kestctl {

namespace {

constexpr auto quiet_start = std::chrono::seconds(1);
constexpr auto redraw_every = std::chrono::milliseconds(100);
constexpr int bar_width = 40;
constexpr int line_step = 10; // percent between lines when not on a terminal

} // namespace

progress_line::progress_line(std::string what)
    : what_(std::move(what)), terminal_(isatty(fileno(stderr)) == 1) {}

void progress_line::update(uint64_t done, uint64_t total) {
    const auto now = std::chrono::steady_clock::now();
    if (now - began_ < quiet_start || total == 0)
        return;
    const int percent = done >= total ? 100 : static_cast<int>(done * 100 / total);
    if (terminal_) {
        if (percent != last_percent_ && now - drawn_ >= redraw_every) {
            drawn_ = now;
            draw(percent);
        }
    } else if (percent / line_step != last_percent_ / line_step || !shown_) {
        draw(percent);
    }
}

void progress_line::draw(int percent) {
    last_percent_ = percent;
    shown_ = true;
    if (!terminal_) {
        fprintf(stderr, "%s: %d%%\n", what_.c_str(), percent);
        return;
    }
    const int filled = percent * bar_width / 100;
    fprintf(stderr, "\r%s [%s%s] %3d%%", what_.c_str(), std::string(filled, '#').c_str(),
            std::string(bar_width - filled, ' ').c_str(), percent);
    fflush(stderr);
}

void progress_line::finish() {
    if (shown_ && last_percent_ != 100)
        draw(100);
    if (shown_ && terminal_)
        fputc('\n', stderr);
}

} // namespace kestctl
