// The level filter, the LOG_LEVEL outcomes, the line prefix and the log file.
#include "sdk/logger/logger.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <thread>

using kest_test::captured_lines;
using kest_test::captured_logs;
using testing::MatchesRegex;

namespace {

class Logger : public testing::Test {
protected:
    void SetUp() override {
        kest_test::reset_logger();
        platform_set_env("LOG_LEVEL", nullptr);
    }
    void TearDown() override {
        platform_set_env("LOG_LEVEL", nullptr);
        kest_test::reset_logger();
    }
};

std::vector<std::string> read_lines(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string only_log_file(const kest_test::temp_dir &dir) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path() / "logs"))
        names.push_back(entry.path().string());
    EXPECT_EQ(names.size(), 1u);
    return names.empty() ? std::string() : names.front();
}

} // namespace

// What log_config returns, the level it leaves and the levels that pass after.
TEST_F(Logger, ConfigTakesTheEnvironmentOverTheInitLevel) {
    const struct {
        const char *env; // nullptr: unset
        uint32_t init;
        int result, level;
        const char *passing;
    } outcomes[] = {
        {nullptr, 3, 0, 3, "ERROR WARN INFO DEBUG BUG"},
        {nullptr, 2, 0, 2, "ERROR WARN INFO BUG"},
        {nullptr, 4, -1, 1, "ERROR WARN BUG"},
        {"2", 3, 0, 2, "ERROR WARN INFO BUG"},
        {"verbose", 3, 0, 0, "ERROR BUG"},
        {"7", 3, -1, 7, "ERROR WARN INFO DEBUG BUG"},
    };
    for (const auto &expected : outcomes) {
        SCOPED_TRACE(std::string("LOG_LEVEL=") + (expected.env ? expected.env : "(unset)") +
                     ", init " + std::to_string(expected.init));
        kest_test::reset_logger();
        if (expected.env)
            platform_set_env("LOG_LEVEL", expected.env);
        else
            platform_set_env("LOG_LEVEL", nullptr);
        EXPECT_EQ(log_config(expected.init, kest_test::capture_sink), expected.result);
        EXPECT_EQ(log_level, expected.level);
        size_t before = captured_logs().size();
        log_print(ERROR, "e\n");
        log_print(WARN, "w\n");
        log_print(INFO, "i\n");
        log_print(DEBUG, "d\n");
        log_print(BUG, "b\n");
        std::string words;
        std::vector<kest_test::log_record> records = captured_logs();
        for (size_t i = before; i < records.size(); ++i)
            words += (words.empty() ? "" : " ") + records[i].word;
        EXPECT_EQ(words, expected.passing);
    }
    kest_test::reset_logger();
    platform_set_env("LOG_LEVEL", "3");
    EXPECT_EQ(log_config(3, nullptr), -1) << "a null sink is refused before LOG_LEVEL is read";
    EXPECT_EQ(log_level, 1);
    EXPECT_EQ(log_sink, nullptr);
}

TEST_F(Logger, SinkReceivesPrefixedFormatAndCallSite) {
    kest_test::capture_logs(KEST_LOG_VALUE_DEBUG);
    int line = __LINE__ + 1;
    log_print(WARN, "value %d of %s\n", 42, "answer");
    std::vector<kest_test::log_record> records = captured_logs();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text,
              "<WARN><test_logger.cpp:Logger_SinkReceivesPrefixedFormatAndCallSite_"
              "Test::TestBody:" +
                  std::to_string(line) + ">: value 42 of answer\n");

    kest_test::capture_logs(KEST_LOG_VALUE_WARN);
    int evaluated = 0;
    log_print(INFO, "%d\n", ++evaluated);
    log_print(DEBUG, "%d\n", ++evaluated);
    EXPECT_EQ(evaluated, 0) << "filtered messages do not evaluate their arguments";
    log_print(WARN, "%d\n", ++evaluated);
    EXPECT_EQ(evaluated, 1) << "an emitted message evaluates its arguments exactly once";
}

TEST_F(Logger, FunctionAndFileNamesAreCutToTheirCore) {
    const std::pair<const char *, const char *> signatures[] = {
        {"static void* usb_data_xfer::event_monitor_routine(void*)",
         "usb_data_xfer::event_monitor_routine"},
        {"std::map<int, int> zev_sync::table(int)", "zev_sync::table"},
        {"int (anonymous namespace)::helper(int)", "(anonymous namespace)::helper"},
        {"void f(T) [with T = int]", "f"},
        {"no_parentheses", "no_parentheses"},
    };
    for (const auto &[signature, name] : signatures) {
        char out[kest_log_detail::function_capacity];
        EXPECT_STREQ(kest_log_detail::function_name(signature, out, sizeof out), name);
    }
    char small[5];
    EXPECT_STREQ(kest_log_detail::function_name("int log_config(int)", small, sizeof small),
                 "log_");
    EXPECT_STREQ(kest_log_detail::base_name("C:\\src/sdk\\api/api.cpp"), "api.cpp");
    EXPECT_STREQ(kest_log_detail::base_name("dir/"), "");
}

// Named after the start time; without a sink nothing reaches it.
TEST_F(Logger, EmittedLinesReachTheFileNamedAfterTheStartTimeWholeAndTerminated) {
    kest_test::temp_dir dir(true);
    time_t before = time(nullptr);
    ASSERT_EQ(log_file_init(), 0);
    time_t after = time(nullptr);
    std::string name = std::filesystem::path(only_log_file(dir)).filename().string();
    bool matched = false;
    for (time_t moment = before; moment <= after; ++moment) {
        struct tm local;
        platform_local_time(moment, local);
        char expected[64];
        strftime(expected, sizeof expected, "%Y-%m-%d_%H-%M-%S_log.txt", &local);
        matched |= name == expected;
    }
    EXPECT_TRUE(matched) << name;
    log_level = KEST_LOG_VALUE_DEBUG;
    log_print(ERROR, "nobody hears this %d\n", 1);
    kest_test::capture_logs(KEST_LOG_VALUE_INFO);
    log_print(INFO, "Program started.");
    log_print(DEBUG, "filtered\n");
    log_print(INFO, "%s\n", std::string(5000, 'x').c_str());

    std::vector<std::string> lines = read_lines(only_log_file(dir));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(captured_lines().size(), 2u);
    EXPECT_THAT(lines[0],
                MatchesRegex("<INFO><test_logger\\.cpp:\\w+::\\w+:\\w+>: Program started\\."));
    EXPECT_EQ(lines[1].size(), 4095u) << "a line longer than the buffer is cut, not lost";
    EXPECT_EQ(lines[1].back(), 'x');
}

// The application's fallback folder: made when it is missing, and the file's path reported.
TEST_F(Logger, FileInitInAnotherFolderMakesItAndReportsThePath) {
    kest_test::temp_dir dir;
    ASSERT_EQ(log_file_init_in(dir.file("state").c_str()), 0);
    EXPECT_EQ(std::filesystem::path(log_file_path()).parent_path(), dir.path() / "state");
    EXPECT_TRUE(std::filesystem::is_regular_file(log_file_path()));
}

TEST_F(Logger, ConcurrentLinesArriveWhole) {
    kest_test::temp_dir dir(true);
    ASSERT_EQ(log_file_init(), 0);
    kest_test::capture_logs(KEST_LOG_VALUE_INFO);
    constexpr int thread_count = 4, lines_per_thread = 400;
    const std::string padding(300, '.');
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t)
        threads.emplace_back([t, &padding] {
            for (int i = 0; i < lines_per_thread; ++i)
                log_print(INFO, "thread %d line %d %s end\n", t, i, padding.c_str());
        });
    for (std::thread &thread : threads)
        thread.join();

    const std::regex whole(
        "<INFO><test_logger\\.cpp:[^>]+>: thread ([0-9]) line ([0-9]+) \\.{300} end\n?");
    for (const auto &lines : {captured_lines(), read_lines(only_log_file(dir))}) {
        ASSERT_EQ(lines.size(), static_cast<size_t>(thread_count * lines_per_thread));
        std::vector<int> next(thread_count, 0);
        for (const std::string &line : lines) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(line, match, whole)) << line;
            int t = std::stoi(match[1]);
            EXPECT_EQ(std::stoi(match[2]), next[t]++) << "lines of one thread keep their order";
        }
    }
}
