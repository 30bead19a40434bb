// The bounded queue of log lines for the panel (see the header).
#include "app/log_queue.h"

#include <utility>

void LogQueue::push(QString line) {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(std::move(line));
    if (lines.size() > CAPACITY) {
        lines.pop_front();
        ++dropped;
    }
}

LogQueue::Drained LogQueue::drain() {
    Drained out;
    std::lock_guard<std::mutex> lock(mutex);
    out.lines.swap(lines);
    out.dropped = std::exchange(dropped, 0);
    return out;
}

LogQueue &LogQueue::instance() {
    static LogQueue *queue = new LogQueue;
    return *queue;
}
