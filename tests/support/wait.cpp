#include "tests/support/wait.h"

#include <cstdlib>
#include <thread>

namespace kest_test {

int time_scale() {
    static const int scale = [] {
        if (const char *set = std::getenv("KEST_TIME_SCALE")) {
            char *end = nullptr;
            long value = std::strtol(set, &end, 10);
            if (end != set && *end == '\0' && value >= 1 && value <= 100)
                return static_cast<int>(value);
        }
        return KEST_TIME_SCALE;
    }();
    return scale;
}

std::chrono::seconds patience() {
    return scaled(std::chrono::seconds(10));
}

testing::AssertionResult eventually(const std::function<bool()> &condition,
                                    const std::string &what) {
    return eventually(condition, what, std::chrono::seconds(10));
}

testing::AssertionResult eventually(const std::function<bool()> &condition, const std::string &what,
                                    std::chrono::seconds unscaled) {
    auto limit = scaled(unscaled);
    auto start = std::chrono::steady_clock::now();
    auto deadline = start + limit;
    // What happens within a moment is caught by yielding; after that, checks a
    // millisecond apart leave the cores to the threads being waited for.
    auto spin_until = start + std::chrono::microseconds(500);
    while (!condition()) {
        auto now = std::chrono::steady_clock::now();
        if (now > deadline)
            return testing::AssertionFailure()
                   << what << " did not happen within " << limit.count() << " s";
        if (now < spin_until)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return testing::AssertionSuccess();
}

} // namespace kest_test
