// The hand-off of log lines from every thread of the program to the GUI
// thread's log panel: the logger's sink appends, the panel's timer drains.
// Bounded to the lines the panel can show, so a flood of lines while the GUI
// thread is busy costs the oldest lines, never memory; the drain says how many
// were dropped.
#pragma once

#include <QString>

#include <cstdint>
#include <deque>
#include <mutex>

class LogQueue {
public:
    static constexpr size_t CAPACITY = 5000; // the panel's own limit

    struct Drained {
        std::deque<QString> lines; // oldest first
        uint64_t dropped = 0;      // lines dropped since the last drain
    };

    // Appends one line, dropping the oldest beyond CAPACITY. Any thread.
    void push(QString line);
    // Takes every queued line; the lock is held only for the exchange.
    Drained drain();

    // The process-wide queue. It is never destroyed, so a device-layer thread
    // that logs while the program exits still finds it.
    static LogQueue &instance();

private:
    std::mutex mutex;
    std::deque<QString> lines;
    uint64_t dropped = 0;
};
