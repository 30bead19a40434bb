// The latest-value hand-off between the device layer's callback thread, which
// decodes stream records and publishes what it decoded, and the GUI thread,
// whose timers take the newest value. Nothing is queued: a value published
// before the previous one was taken replaces it, so a slow consumer costs
// dropped frames, never memory.
#pragma once

#include <atomic>
#include <mutex>
#include <utility>

template <typename T>
class SwapBuffer {
public:
    SwapBuffer() = default;
    SwapBuffer(const SwapBuffer &) = delete;
    SwapBuffer &operator=(const SwapBuffer &) = delete;

    // Producer side: stages a copy of value and makes it the one the consumer
    // takes next, replacing any value not yet taken. Producers are serialised;
    // the copy is made outside swapMutex, so a consumer never waits for it.
    void publish(const T &value) {
        std::lock_guard<std::mutex> producer(writeMutex);
        back = value;
        exchange();
    }

    // As above, but moves value in (a decoded cloud need not be copied).
    void publish(T &&value) {
        std::lock_guard<std::mutex> producer(writeMutex);
        back = std::move(value);
        exchange();
    }

    // Consumer side: copies the newest value into out and returns true if one
    // was published since the last take; otherwise leaves out alone and
    // returns false. The value stays in place (a later take sees nothing new).
    bool take(T &out) {
        std::lock_guard<std::mutex> lock(swapMutex);
        if (!updated.exchange(false))
            return false;
        out = front;
        return true;
    }

private:
    // Lock order: writeMutex (held by the caller), then swapMutex.
    void exchange() {
        std::lock_guard<std::mutex> lock(swapMutex);
        using std::swap;
        swap(front, back);
        updated.exchange(true);
    }

    std::mutex swapMutex;             // guards front and updated
    std::mutex writeMutex;            // serialises producers; guards back
    T front{};                        // the value the consumer takes
    T back{};                         // the producer's staging value
    std::atomic<bool> updated{false}; // front holds a value not yet taken
};
