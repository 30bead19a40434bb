#include "tests/support/log_capture.h"

#include "tests/support/wait.h"

#include "sdk/logger/logger.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace kest_test {

namespace {

std::mutex records_mutex;
std::vector<log_record> records;

} // namespace

void reset_logger() {
    log_level = KEST_LOG_VALUE_WARN;
    log_sink = nullptr;
    if (log_file != nullptr) {
        fclose(log_file);
        log_file = nullptr;
    }
    std::lock_guard<std::mutex> lock(records_mutex);
    records.clear();
}

void capture_logs(int level) {
    log_sink = capture_sink;
    log_level = level;
}

int capture_sink(const char *format, ...) {
    log_record record;
    record.format = format;
    va_list args;
    va_start(args, format);
    va_list for_text;
    va_copy(for_text, args);
    char text[4096];
    vsnprintf(text, sizeof text, format, for_text);
    va_end(for_text);
    record.word = va_arg(args, const char *);
    record.file = va_arg(args, const char *);
    record.function = va_arg(args, const char *);
    record.line = va_arg(args, int);
    va_end(args);
    record.text = text;

    std::lock_guard<std::mutex> lock(records_mutex);
    records.push_back(std::move(record));
    return 0;
}

std::vector<log_record> captured_logs() {
    std::lock_guard<std::mutex> lock(records_mutex);
    return records;
}

std::vector<std::string> captured_lines() {
    std::vector<std::string> lines;
    for (const log_record &record : captured_logs())
        lines.push_back(record.text);
    return lines;
}

void print_captured_logs() {
    for (const log_record &record : captured_logs())
        fprintf(stderr, "log: %s", record.text.c_str());
}

testing::AssertionResult eventually_logged(const std::string &fragment) {
    return eventually([&] { return log_contains(fragment); }, "the log line \"" + fragment + "\"");
}

bool log_contains(const std::string &fragment) {
    for (const log_record &record : captured_logs())
        if (record.text.find(fragment) != std::string::npos)
            return true;
    return false;
}

} // namespace kest_test
