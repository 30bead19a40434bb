// Start and join of named worker threads.
#include "sdk/common/thread/thread.h"

#include "sdk/common/platform/platform.h"
#include "sdk/logger/logger.h"

#include <cstdio>
#include <cstring>
#include <exception>

namespace {

// The kernel keeps at most 15 characters of a thread's name.
constexpr size_t os_name_capacity = 16;

} // namespace

void set_os_thread_name(const char *name) {
    char short_name[os_name_capacity] = {};
    memcpy(short_name, name, strnlen(name, sizeof short_name - 1));
    platform_set_thread_name(short_name);
}

void *multhreadsw::start_routine(multhreadsw *self) {
    set_os_thread_name(self->name);
    return self->entry(self->argument);
}

int multhreadsw::nst_create(thread_entry new_entry, const char *new_name, void *new_argument) {
    if (thread.joinable()) {
        log_print(ERROR, "Thread %s is still running; join it before starting %s.\n", name,
                  new_name != nullptr ? new_name : "(null)");
        return -1;
    }
    if (new_entry == nullptr) {
        log_print(ERROR, "Thread creation failed: %s\n", "no entry function");
        return -1;
    }
    argument = new_argument;
    entry = new_entry;
    snprintf(name, sizeof name, "%s", new_name != nullptr ? new_name : "");
    try {
        thread = std::thread(start_routine, this);
    } catch (const std::exception &error) {
        log_print(ERROR, "Thread creation failed: %s\n", error.what());
        return -1;
    }
    return 0;
}

int multhreadsw::nst_join() {
    if (!thread.joinable())
        return 0;
    if (thread.get_id() == std::this_thread::get_id()) {
        log_print(ERROR, "Thread %s cannot join itself.\n", name);
        return -1;
    }
    thread.join();
    return 0;
}
