// Standard output lines of the device layer and the application.
#include "sdk/logger/console.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {
std::atomic<bool> console_enabled{true};
}

void console_set_enabled(bool enabled) {
    console_enabled = enabled;
}

void console_print(const char *format, ...) {
    if (!console_enabled.load(std::memory_order_relaxed))
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}
