// The instant-replay buffer: the last seconds of the records the decoders
// build, kept in memory while the device streams, so that a moment noticed
// after it happened can still be saved as a recording. Bounded by seconds of
// device time (counted from the newest record held) and by bytes; the oldest
// records go first. Where the device clock restarts (a replug: a stream's time
// goes back by more than a second), the times are laid end to end, so the
// records from before the restart still count as the seconds before it.
// Any thread.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

class ReplayBuffer {
public:
    static constexpr double defaultSeconds = 20;
    static constexpr uint64_t defaultBudgetBytes = uint64_t{512} << 20;
    using Records = std::array<std::vector<std::vector<uint8_t>>, 3>; // poses, clouds, images

    // 0 seconds turns the buffer off (and empties it).
    void setLimits(double seconds, uint64_t budgetBytes);
    bool enabled() const;
    double seconds() const;

    // Takes a record built for file kind (0 poses, 1 clouds, 2 images); its
    // time is the f64 at byte 4. A record alone over the budget is not kept.
    void push(size_t kind, std::vector<uint8_t> &&record);
    // The records held, the oldest first in each file, numbered from 0, taken
    // out: the buffer starts again empty.
    Records take();

    uint64_t bytesHeld() const;
    double secondsHeld() const; // from the oldest record held to the newest
    uint64_t recordsHeld() const;

private:
    struct Held {
        double key; // device time, restarts laid end to end
        std::vector<uint8_t> bytes;
    };
    static uint64_t costOf(const Held &held);
    void trim(); // the mutex held

    mutable std::mutex mutex;
    std::deque<Held> held[3];
    double limitSeconds = 0;
    uint64_t limitBytes = defaultBudgetBytes;
    uint64_t bytes = 0;
    bool any = false;
    double newest = 0;
    double offset[3] = {0, 0, 0}; // per stream, added to its times
    double last[3] = {0, 0, 0};   // per stream, its last time
    bool seen[3] = {false, false, false};
};
