// Standard output lines of the device layer and the application.
#include "sdk/logger/console.h"

#include <cstdarg>
#include <cstdio>

void console_print(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}
