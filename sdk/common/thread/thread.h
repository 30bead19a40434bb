// A named worker thread that the transport and the device API embed, one per
// worker. The owner starts it, stops it cooperatively (a flag its entry polls)
// and joins it before the owner goes away.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

// The steady clock in nanoseconds, for times kept in atomics shared between threads.
inline int64_t steady_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Names the calling thread for the OS (top, debuggers, /proc), cut to 15 characters.
void set_os_thread_name(const char *name);

// Runs on the new thread; the returned value is the thread's exit code, unread.
typedef void *(*thread_entry)(void *argument);

class multhreadsw {
public:
    static constexpr size_t name_capacity = 128;

    multhreadsw() = default;
    multhreadsw(const multhreadsw &) = delete;
    multhreadsw &operator=(const multhreadsw &) = delete;

    // Starts entry(argument) on a new thread called name (cut to 127 characters).
    // Returns 0, or -1 if the thread cannot be started or this object still holds
    // a thread that has not been joined. Called by the owner's control thread only.
    int nst_create(thread_entry entry, const char *name, void *argument);

    // Waits for the thread to end and empties the object. Returns 0; a never
    // started or already joined object returns 0 at once. Returns -1 when called
    // from the thread itself, which can never end while it waits for itself.
    int nst_join();

    // True between a successful nst_create and nst_join.
    bool started() const { return thread.joinable(); }
    const char *thread_name() const { return name; }

private:
    static void *start_routine(multhreadsw *self);

    char name[name_capacity] = {};
    std::thread thread;
    void *argument = nullptr;
    thread_entry entry = nullptr;
};
