// The budget that keeps a report of dropped data from flooding the log: data
// that cannot be kept is usually lost at frame rate, so a reporter logs the
// first drop, then at most one line per interval carrying the count of those
// left out in between. The stream decoders keep one budget per kind of record,
// the recorder's writers one per file.
#pragma once

#include <chrono>
#include <mutex>

// Whether a drop is to be logged now, and what was left out before it.
struct DropAdmission {
    bool log;                  // false: only counted
    unsigned long long before; // drops counted since the last line
    long long seconds;         // whole seconds since that line
};

class DropBudget {
public:
    explicit DropBudget(std::chrono::steady_clock::duration interval) : interval(interval) {}

    // Counts one drop at the time at; admits it to the log if no line was
    // logged within the last interval. Any thread.
    DropAdmission admit(std::chrono::steady_clock::time_point at) {
        std::lock_guard<std::mutex> lock(mutex);
        if (logged && at - lastLine < interval) {
            ++counted;
            return DropAdmission{false, 0, 0};
        }
        DropAdmission admission{true, counted, 0};
        if (logged)
            admission.seconds =
                std::chrono::duration_cast<std::chrono::seconds>(at - lastLine).count();
        logged = true;
        lastLine = at;
        counted = 0;
        return admission;
    }

    // Forgets the last line and the count.
    void reset() {
        std::lock_guard<std::mutex> lock(mutex);
        logged = false;
        counted = 0;
    }

private:
    const std::chrono::steady_clock::duration interval;
    std::mutex mutex;
    bool logged = false; // a line was logged at lastLine
    std::chrono::steady_clock::time_point lastLine;
    unsigned long long counted = 0; // drops left out since lastLine
};
