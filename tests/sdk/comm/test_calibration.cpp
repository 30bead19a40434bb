// The calibration fetch: destination folders, the file on disk, its MD5 check
// and the answer the device gets.
#include "sim/usb_bus.h"
#include "tests/sdk/comm/protocol_harness.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace kest_test;
namespace fs = std::filesystem;

namespace {

class Calibration : public ProtocolTest {
protected:
    void SetUp() override {
        ProtocolTest::SetUp();
        start();
    }
    std::string read(const fs::path &path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    testing::AssertionResult device_told(uint64_t ok, uint64_t fail) {
        if (device->wait_state(
                [&](const kest_sim::kestone_state &s) {
                    return s.file_ok == ok && s.file_fail == fail;
                },
                patience()))
            return testing::AssertionSuccess();
        return testing::AssertionFailure()
               << "the device told " << ok << " ok, " << fail << " fail";
    }
    temp_dir dir;
};

} // namespace

TEST_F(Calibration, MissingFoldersAreCreatedAndAVerifiedFileIsAcknowledged) {
    fs::create_directory(dir.path() / "a");
    std::string target = (dir.path() / "a/b/c/").string();
    ASSERT_EQ(sender->sender_get_calib_file_handler(target.c_str()), 0);
    EXPECT_EQ(read(dir.path() / "a/b/c/calib.yaml"), kest_sim::kestone::calibration_yaml());
    EXPECT_TRUE(log_contains("destination dir:" + target + " created."));
    EXPECT_TRUE(log_contains("opened file " + target + "/calib.yaml for writing"));
    EXPECT_TRUE(log_contains("[recv small file]:MD5 verification successful!!"));
    EXPECT_TRUE(log_contains("md5: " + kest_sim::kestone::calibration_md5()));
    EXPECT_TRUE(device_told(1, 0));

    ASSERT_EQ(sender->sender_get_calib_file_handler(dir.path().c_str()), 0);
    EXPECT_EQ(read(dir.path() / "calib.yaml"), kest_sim::kestone::calibration_yaml());
    EXPECT_TRUE(device_told(2, 0));
    const std::vector<std::string> lines = captured_lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string &line) {
                                return line.find("created.") != std::string::npos;
                            }),
              1)
        << "an existing folder is used as is";
}

// The request is reported as sent when it leaves, before the wait for the file.
TEST_F(Calibration, RequestIsReportedSentBeforeTheWait) {
    device->never_answer(CTRL_GET_CALIB_FILE);
    sender->set_answer_timeout(std::chrono::milliseconds(300));
    EXPECT_EQ(sender->sender_get_calib_file_handler(dir.path().c_str()), -1);
    const std::vector<std::string> lines = captured_lines();
    auto at = [&](const std::string &fragment) {
        return std::find_if(lines.begin(), lines.end(), [&](const std::string &line) {
            return line.find(fragment) != std::string::npos;
        });
    };
    ASSERT_NE(at("get factory calib cmd sent."), lines.end());
    EXPECT_LT(at("get factory calib cmd sent."), at("no answer on channel 1"));
}

TEST_F(Calibration, WrongOrUpperCaseDigestKeepsTheFileButFails) {
    for (kest_sim::md5_mode mode :
         {kest_sim::md5_mode::wrong_digit, kest_sim::md5_mode::upper_case}) {
        device->set_md5_mode(mode);
        EXPECT_EQ(sender->sender_get_calib_file_handler(dir.path().c_str()), -1);
        EXPECT_EQ(read(dir.path() / "calib.yaml"), kest_sim::kestone::calibration_yaml());
    }
    EXPECT_TRUE(device_told(0, 2));
    EXPECT_TRUE(log_contains("[recv small file]:MD5 verification failed!!  local_md:" +
                             kest_sim::kestone::calibration_md5()));
    EXPECT_TRUE(log_contains("get factory calib fail."));
}

// Each is refused, and the device is told so (but not for a message that is no file).
TEST_F(Calibration, MalformedFileMessagesAreRefused) {
    kest_sim::byte_vector too_big(3146173, 0), past_end(3146173, 0);
    too_big[24] = 0x01; // chunk size 0x00300001, one byte more than the 3 MiB area
    too_big[26] = 0x30;
    past_end[24] = 16;    // 16 bytes ...
    past_end[16 + 5] = 1; // ... at offset 2^40: the file would be a terabyte of holes
    const struct {
        const char *name;
        kest_sim::byte_vector answer; // empty: the device's short file message
        const char *reason;
        bool told;
    } cases[] = {
        {"short", {}, "file packet len error:3146172 vs 3146173.", true},
        {"too big", kest_sim::device_message(CMD_FILE_DATA, too_big),
         "recv file write error:0 vs 3145729.", true},
        {"past the end", kest_sim::device_message(CMD_FILE_DATA, past_end),
         "recv file seek error:1099511627776 vs 16.", true},
        {"an OK", kest_sim::device_message(CMD_OK), "get factory calib fail. 15", false},
    };
    uint64_t fails = 0;
    for (const auto &bad : cases) {
        SCOPED_TRACE(bad.name);
        device->set_short_file(bad.answer.empty());
        if (!bad.answer.empty())
            device->set_answer(CTRL_GET_CALIB_FILE, bad.answer);
        EXPECT_EQ(sender->sender_get_calib_file_handler(dir.path().c_str()), -1);
        EXPECT_TRUE(log_contains(bad.reason));
        EXPECT_LE(fs::file_size(dir.path() / "calib.yaml"), 3145728u);
        fails += bad.told;
        EXPECT_TRUE(device_told(0, fails));
    }
    EXPECT_FALSE(
        device->wait_state([&](const kest_sim::kestone_state &s) { return s.file_fail > fails; },
                           std::chrono::milliseconds(200)))
        << "the host does not answer a non-file";
}

TEST_F(Calibration, DeviceFailCarriesItsErrorCode) {
    ASSERT_EQ(sender->open_recv_file(dir.path().c_str()), 0);
    kest_sim::byte_vector fail = kest_sim::device_message(CMD_FAIL, {0x2A, 0, 0, 0});
    EXPECT_EQ(sender->recv_small_file_handler(fail.data()), 42);
    kest_sim::byte_vector bare = kest_sim::device_message(CMD_FAIL);
    EXPECT_EQ(sender->recv_small_file_handler(bare.data()), -1);
    kest_sim::byte_vector other = kest_sim::device_message(CMD_OK);
    EXPECT_EQ(sender->recv_small_file_handler(other.data()), -1);
    EXPECT_TRUE(log_contains("cmd type error:15 vs 17."));
    EXPECT_TRUE(device_told(0, 3));
}
