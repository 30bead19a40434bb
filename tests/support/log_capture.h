// A logger sink for tests: records every call (format, prefix fields and the
// formatted text) so a test can assert exactly which lines were emitted.
#pragma once

#include "sdk/logger/logger.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace kest_test {

struct log_record {
    std::string format;
    std::string word;
    std::string file;
    std::string function;
    int line;
    std::string text;
};

// Resets the logger to its state before log_config (level 1, no sink, no log
// file) and forgets what was captured.
void reset_logger();

// Registers the capturing sink directly, without log_config, at the given level.
void capture_logs(int level);

// The capturing sink itself, for log_config.
int capture_sink(const char *format, ...);

std::vector<log_record> captured_logs();
// The formatted texts only.
std::vector<std::string> captured_lines();
// True if some captured text contains fragment.
bool log_contains(const std::string &fragment);
// Waits until some captured text contains fragment.
testing::AssertionResult eventually_logged(const std::string &fragment);

// Calls fn with standard output captured and returns what was written.
inline std::string capture_stdout(const std::function<void()> &fn) {
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

// Writes every captured line to standard error, to explain a failed test.
void print_captured_logs();

// A fixture whose tests start from a clean logger that captures every line;
// a failed test shows what was logged.
class logged_test : public testing::Test {
protected:
    void SetUp() override {
        reset_logger();
        capture_logs(KEST_LOG_VALUE_DEBUG);
    }
    void TearDown() override {
        if (HasFailure())
            print_captured_logs();
        reset_logger();
    }
};

} // namespace kest_test
