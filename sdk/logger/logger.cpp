// Level filter, sink registration and the log file behind log_print.
#include "sdk/logger/logger.h"

#include "sdk/common/platform/platform.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sys/stat.h>

int log_level = KEST_LOG_VALUE_WARN;
log_sink_fn log_sink = nullptr;
FILE *log_file = nullptr;

namespace {

constexpr int max_level = KEST_LOG_VALUE_DEBUG;
constexpr const char *log_dir = "logs";
constexpr size_t log_path_capacity = 4096;
// The file the last log_file_init tried (opened or not), for the application to show.
char log_file_name[log_path_capacity] = {};

// Guards log_file: lines from different threads reach the file whole.
std::mutex file_mutex;

// Returns the position just past a bracketed group that starts at text[0].
const char *skip_group(const char *text, char open, char close) {
    int depth = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == open)
            ++depth;
        else if (*p == close && --depth == 0)
            return p + 1;
    }
    return text + strlen(text);
}

} // namespace

namespace kest_log_detail {

const char *base_name(const char *path) {
    const char *slash = strrchr(path, '/');
    const char *backslash = strrchr(path, '\\');
    const char *cut = slash > backslash ? slash : backslash;
    return cut != nullptr ? cut + 1 : path;
}

// The name ends at the first '(' outside template brackets, and starts after the
// last blank before it outside template brackets (which skips the return type).
const char *function_name(const char *signature, char *out, size_t size) {
    const char *start = signature;
    const char *end = nullptr;
    int angle = 0;
    for (const char *p = signature; *p != '\0' && end == nullptr;) {
        if (*p == '(' && strncmp(p, "(anonymous namespace)", 21) == 0) {
            p = skip_group(p, '(', ')');
            continue;
        }
        if (*p == '<')
            ++angle;
        else if (*p == '>' && angle > 0)
            --angle;
        else if (angle == 0 && *p == ' ')
            start = p + 1;
        else if (angle == 0 && *p == '(')
            end = p;
        ++p;
    }
    if (end == nullptr)
        end = signature + strlen(signature);
    while (start < end && *start == '*') // pointer return types: "void *f()"
        ++start;
    size_t length = static_cast<size_t>(end - start);
    if (length >= size)
        length = size - 1;
    memcpy(out, start, length);
    out[length] = '\0';
    return out;
}

void write_file_line(const char *text) {
    std::lock_guard<std::mutex> lock(file_mutex);
    if (log_file == nullptr)
        return;
    fputs(text, log_file);
    size_t length = strlen(text);
    if (length == 0 || text[length - 1] != '\n')
        fputc('\n', log_file);
    fflush(log_file);
}

int check_format(const char *, ...) {
    return 0;
}

} // namespace kest_log_detail

int log_config(uint32_t init_level, log_sink_fn sink) {
    if (sink == nullptr)
        return -1;
    log_sink = sink;

    const char *env = getenv("LOG_LEVEL");
    if (env != nullptr) {
        int value = atoi(env);
        log_level = value;
        if (value > max_level) {
            log_print(ERROR, "env LOG_LEVEL log level %d illegal\n", value);
            return -1;
        }
        log_print(INFO, "Use env LOG_LEVEL log level %d\n", value);
        return 0;
    }

    if (init_level > static_cast<uint32_t>(max_level)) {
        log_print(ERROR, "init loglevel %u illegal\n", init_level);
        return -1;
    }
    log_level = static_cast<int>(init_level);
    log_print(DEBUG, "init loglevel %d.\n", log_level);
    return 0;
}

int log_file_init() {
    return log_file_init_in(log_dir);
}

int log_file_init_in(const char *dir) {
    struct stat info;
    if (stat(dir, &info) != 0)
        platform_make_dir(dir);

    time_t now = time(nullptr);
    struct tm local;
    platform_local_time(now, local);

    char path[log_path_capacity] = {};
    int length = snprintf(path, sizeof path, "%s/%04d-%02d-%02d_%02d-%02d-%02d_log.txt", dir,
                          local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                          local.tm_min, local.tm_sec);
    // A cut path would name another file than the one asked for.
    FILE *file =
        length > 0 && static_cast<size_t>(length) < sizeof path ? fopen(path, "w") : nullptr;
    std::lock_guard<std::mutex> lock(file_mutex);
    // A second start replaces the stream; the first one must not leak.
    if (log_file != nullptr)
        fclose(log_file);
    log_file = file;
    snprintf(log_file_name, sizeof log_file_name, "%s", path);
    return log_file != nullptr ? 0 : -1;
}

const char *log_file_path() {
    return log_file_name;
}
