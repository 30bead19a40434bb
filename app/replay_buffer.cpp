#include "app/replay_buffer.h"

#include "sdk/common/byte_order.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr size_t timeAt = 4;
constexpr size_t headerBytes = 12; // number and time, before anything else
// A record more than this before the newest is taken as a restarted clock;
// streams may arrive a little out of step with each other.
constexpr double restartStepSeconds = 1;

} // namespace

void ReplayBuffer::setLimits(double seconds, uint64_t budgetBytes) {
    std::lock_guard<std::mutex> lock(mutex);
    limitSeconds = std::isfinite(seconds) ? std::max(0.0, seconds) : 0;
    limitBytes = budgetBytes;
    if (limitSeconds == 0) {
        for (auto &file : held)
            file.clear();
        bytes = 0;
        any = false;
        std::fill(std::begin(seen), std::end(seen), false);
        std::fill(std::begin(offset), std::end(offset), 0.0);
        return;
    }
    trim();
}

bool ReplayBuffer::enabled() const {
    std::lock_guard<std::mutex> lock(mutex);
    return limitSeconds > 0;
}

double ReplayBuffer::seconds() const {
    std::lock_guard<std::mutex> lock(mutex);
    return limitSeconds;
}

uint64_t ReplayBuffer::costOf(const Held &held) {
    return held.bytes.capacity() + sizeof(Held);
}

void ReplayBuffer::push(size_t kind, std::vector<uint8_t> &&record) {
    if (kind >= 3 || record.size() < headerBytes)
        return;
    double time = get_le_double(record.data() + timeAt);
    std::lock_guard<std::mutex> lock(mutex);
    if (limitSeconds == 0)
        return;
    if (!std::isfinite(time))
        time = last[kind];
    // A stream's own time going back is its clock restarting: it carries on
    // from the newest record held. Streams that merely lag behind the others
    // are not restarts.
    if (seen[kind] && time < last[kind] - restartStepSeconds)
        offset[kind] = newest - time;
    last[kind] = time;
    seen[kind] = true;
    Held entry{time + offset[kind], std::move(record)};
    if (costOf(entry) > limitBytes)
        return;
    newest = any ? std::max(newest, entry.key) : entry.key;
    any = true;
    bytes += costOf(entry);
    held[kind].push_back(std::move(entry));
    trim();
}

void ReplayBuffer::trim() {
    for (auto &file : held)
        while (!file.empty() && file.front().key < newest - limitSeconds) {
            bytes -= costOf(file.front());
            file.pop_front();
        }
    while (bytes > limitBytes) {
        std::deque<Held> *oldest = nullptr;
        for (auto &file : held)
            if (!file.empty() && (oldest == nullptr || file.front().key < oldest->front().key))
                oldest = &file;
        if (oldest == nullptr)
            break;
        bytes -= costOf(oldest->front());
        oldest->pop_front();
    }
}

ReplayBuffer::Records ReplayBuffer::take() {
    std::lock_guard<std::mutex> lock(mutex);
    Records out;
    for (size_t kind = 0; kind < 3; ++kind) {
        uint32_t number = 0;
        for (Held &entry : held[kind]) {
            put_le32(entry.bytes.data(), number++);
            out[kind].push_back(std::move(entry.bytes));
        }
        held[kind].clear();
    }
    bytes = 0;
    return out;
}

uint64_t ReplayBuffer::bytesHeld() const {
    std::lock_guard<std::mutex> lock(mutex);
    return bytes;
}

double ReplayBuffer::secondsHeld() const {
    std::lock_guard<std::mutex> lock(mutex);
    double oldest = newest;
    for (const auto &file : held)
        if (!file.empty())
            oldest = std::min(oldest, file.front().key);
    return any ? newest - oldest : 0;
}

uint64_t ReplayBuffer::recordsHeld() const {
    std::lock_guard<std::mutex> lock(mutex);
    return held[0].size() + held[1].size() + held[2].size();
}
