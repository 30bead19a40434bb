// The device layer's logging facility: a level filter, one sink registered by the
// application, and a fixed line prefix naming level, source file, function and line.
// Every emitted line is also appended, whole and flushed, to the log file.
#pragma once

#include "sdk/common/platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// printf-like output function. It may be called from any thread at the same time,
// so it must be safe to call concurrently. Its return value is ignored.
typedef int (*log_sink_fn)(const char *format, ...);

// Process-wide state. log_config writes log_level and log_sink once, before any other
// thread of the device layer exists; afterwards they are only read.
extern int log_level;
extern log_sink_fn log_sink;
// The stream opened by log_file_init, open for the life of the process.
extern FILE *log_file;

#define KEST_LOG_VALUE_ERROR 0
#define KEST_LOG_VALUE_WARN 1
#define KEST_LOG_VALUE_INFO 2
#define KEST_LOG_VALUE_DEBUG 3
#define KEST_LOG_VALUE_BUG 0

#define KEST_LOG_PREFIX "<%s><%s:%s:%d>: "

// Registers the sink and sets the level (LOG_LEVEL in the environment overrides
// init_level). Returns 0, or -1 for a null sink or an illegal level.
int log_config(uint32_t init_level, log_sink_fn sink);

// Creates "logs" in the working directory and opens a log file named after the
// current local time. Returns 0 if the file is open, -1 otherwise; prints nothing.
int log_file_init();
// The same in dir instead of "logs" (dir is created if missing, its parent must
// exist). For a program whose working directory cannot be written.
int log_file_init_in(const char *dir);
// The path the last log_file_init or log_file_init_in tried, opened or not;
// empty before the first. Call from the thread that called them.
const char *log_file_path();

namespace kest_log_detail {

// Text after the last '/' or '\\' of path, or path itself.
const char *base_name(const char *path);

// Copies the qualified function name ("ns::cls::fn") out of the compiler's full
// signature text into out (always NUL-terminated) and returns out.
const char *function_name(const char *signature, char *out, size_t size);

// Appends one line to the log file, if one is open; adds the newline a format lacks.
void write_file_line(const char *text);

// Never called: lets the compiler check a message's arguments against its format.
int check_format(const char *format, ...) KEST_PRINTF_FORMAT(1, 2);

constexpr size_t line_capacity = 4096;
constexpr size_t function_capacity = 256;

// Arguments arrive here evaluated once, then go to the sink and to the file.
template <typename... Args>
void emit_line(const char *format, const char *word, const char *path, const char *signature,
               int line, Args... args) {
    log_sink_fn sink = log_sink;
    if (sink == nullptr)
        return;
    const char *file = base_name(path);
    char function[function_capacity];
    function_name(signature, function, sizeof function);
    sink(format, word, file, function, line, args...);

    char text[line_capacity];
    snprintf(text, sizeof text, format, word, file, function, line, args...);
    write_file_line(text);
}

} // namespace kest_log_detail

// Where a line says it comes from: the function the reader of the log knows.
// Lines carry the name of the function that logs them, except in a helper that
// works on behalf of such a function: it takes its caller's origin as a parameter
// and logs with log_print_from, so its lines name the caller, not the helper.
struct log_origin {
    const char *signature;
};
#define LOG_ORIGIN (log_origin{__PRETTY_FUNCTION__})

// log_print_from(ORIGIN, LEVEL, format, ...): log_print with the function name
// taken from ORIGIN. Arguments are evaluated only when the level passes.
#define log_print_from(origin, level, format, ...)                                                 \
    do {                                                                                           \
        if (log_level >= KEST_LOG_VALUE_##level) {                                                 \
            if (false)                                                                             \
                kest_log_detail::check_format(format, ##__VA_ARGS__);                              \
            kest_log_detail::emit_line(KEST_LOG_PREFIX format, #level, __FILE__,                   \
                                       (origin).signature, __LINE__, ##__VA_ARGS__);               \
        }                                                                                          \
    } while (0)

// log_print(LEVEL, format, ...) with LEVEL one of ERROR, WARN, INFO, DEBUG, BUG.
// Arguments are evaluated only when the level passes.
#define log_print(level, format, ...) log_print_from(LOG_ORIGIN, level, format, ##__VA_ARGS__)
