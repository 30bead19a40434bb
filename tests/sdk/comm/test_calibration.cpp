// The calibration fetch: destination folders, the file on disk, its MD5 check
// and the answer the device gets.
#include "sdk/common/byte_order.h"
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
    std::string read(const fs::path &path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool device_answered(bool ok) {
        return device->wait_state(
            [ok](const kest_sim::kestone_state &s) { return (ok ? s.file_ok : s.file_fail) == 1; },
            patience());
    }
    temp_dir dir;
};

} // namespace

TEST_F(Calibration, MissingFoldersAreCreatedAndAVerifiedFileIsAcknowledged) {
    start();
    fs::create_directory(dir.path() / "a");
    std::string target = (dir.path() / "a/b/c/").string();
    ASSERT_EQ(sender->sender_get_calib_file_handler(target.c_str()), 0);
    EXPECT_TRUE(fs::is_directory(dir.path() / "a/b/c"));
    EXPECT_EQ(read(dir.path() / "a/b/c/calib.yaml"), kest_sim::kestone::calibration_yaml());
    EXPECT_TRUE(device_answered(true));
    EXPECT_EQ(captured_line_with("destination dir:"),
              "<DEBUG><file_recv.cpp:zev_sdk::sender::sender_get_calib_file_handler:N>: "
              "destination dir:" +
                  target + " created.\n");
    EXPECT_EQ(captured_line_with("opened file"),
              "<DEBUG><file_recv.cpp:zev_sdk::sender::sender_get_calib_file_handler:N>: "
              "opened file " +
                  target + "/calib.yaml for writing\n");
    EXPECT_TRUE(log_contains("[recv small file]:MD5 verification successful!!"));
    EXPECT_TRUE(log_contains("md5: " + kest_sim::kestone::calibration_md5()));
}

// The request is reported as sent when it leaves, before the wait for the file.
TEST_F(Calibration, RequestIsReportedSentBeforeTheWait) {
    start();
    device->never_answer(CTRL_GET_CALIB_FILE);
    sender->set_answer_timeout(std::chrono::milliseconds(300));
    EXPECT_EQ(sender->sender_get_calib_file_handler(dir.path().c_str()), -1);
    std::vector<std::string> lines = captured_lines();
    auto at = [&](const std::string &fragment) {
        return std::find_if(lines.begin(), lines.end(),
                            [&](const std::string &line) {
                                return line.find(fragment) != std::string::npos;
                            }) -
               lines.begin();
    };
    ASSERT_LT(at("get factory calib cmd sent."), static_cast<long>(lines.size()));
    EXPECT_LT(at("get factory calib cmd sent."), at("no answer on channel 1"));
}

TEST_F(Calibration, ExistingFolderIsUsedAsIs) {
    start();
    ASSERT_EQ(sender->sender_get_calib_file_handler(dir.path().c_str()), 0);
    EXPECT_FALSE(log_contains("created."));
    EXPECT_EQ(read(dir.path() / "calib.yaml"), kest_sim::kestone::calibration_yaml());
}

TEST_F(Calibration, WrongOrUpperCaseDigestKeepsTheFileButFails) {
    start();
    for (kest_sim::md5_mode mode :
         {kest_sim::md5_mode::wrong_digit, kest_sim::md5_mode::upper_case}) {
        device->set_md5_mode(mode);
        EXPECT_EQ(sender->sender_get_calib_file_handler(dir.path().c_str()), -1);
        EXPECT_EQ(read(dir.path() / "calib.yaml"), kest_sim::kestone::calibration_yaml());
    }
    EXPECT_TRUE(device->wait_state(
        [](const kest_sim::kestone_state &s) { return s.file_fail == 2; }, patience()));
    EXPECT_EQ(device->state().file_ok, 0u);
    EXPECT_TRUE(log_contains("[recv small file]:MD5 verification failed!!  local_md:" +
                             kest_sim::kestone::calibration_md5()));
    EXPECT_TRUE(log_contains("get factory calib fail."));
}

TEST_F(Calibration, ShortFileMessageIsRefused) {
    start();
    device->set_short_file(true);
    EXPECT_EQ(sender->sender_get_calib_file_handler(dir.path().c_str()), -1);
    EXPECT_TRUE(log_contains("file packet len error:3146172 vs 3146173."));
    EXPECT_TRUE(device_answered(false));
}

TEST_F(Calibration, AnOkInsteadOfTheFileFails) {
    start();
    device->set_answer(CTRL_GET_CALIB_FILE, kest_sim::device_message(CMD_OK));
    EXPECT_EQ(sender->sender_get_calib_file_handler(dir.path().c_str()), -1);
    EXPECT_TRUE(log_contains("get factory calib fail. 15"));
    EXPECT_FALSE(device->wait_state(
        [](const kest_sim::kestone_state &s) { return s.file_ok + s.file_fail > 0; },
        std::chrono::milliseconds(200)))
        << "the host does not answer a non-file";
}

TEST_F(Calibration, ChunkLargerThanItsDataAreaIsRefused) {
    start();
    kest_sim::byte_vector payload(3146173, 0);
    payload[24] = 0x01; // chunk size 0x00300001, one byte more than the 3 MiB area
    payload[26] = 0x30;
    device->set_answer(CTRL_GET_CALIB_FILE, kest_sim::device_message(CMD_FILE_DATA, payload));
    EXPECT_EQ(sender->sender_get_calib_file_handler(dir.path().c_str()), -1);
    EXPECT_TRUE(log_contains("recv file write error:0 vs 3145729."));
    EXPECT_TRUE(device_answered(false));
}

TEST_F(Calibration, DeviceFailCarriesItsErrorCode) {
    start();
    ASSERT_EQ(sender->open_recv_file(dir.path().c_str()), 0);
    kest_sim::byte_vector fail = kest_sim::device_message(CMD_FAIL, {0x2A, 0, 0, 0});
    EXPECT_EQ(sender->recv_small_file_handler(fail.data()), 42);
    kest_sim::byte_vector bare = kest_sim::device_message(CMD_FAIL);
    EXPECT_EQ(sender->recv_small_file_handler(bare.data()), -1);
    kest_sim::byte_vector other = kest_sim::device_message(CMD_OK);
    EXPECT_EQ(sender->recv_small_file_handler(other.data()), -1);
    EXPECT_TRUE(log_contains("cmd type error:15 vs 17."));
    EXPECT_TRUE(device->wait_state(
        [](const kest_sim::kestone_state &s) { return s.file_fail == 3; }, patience()));
}

TEST_F(Calibration, ChunkPastTheEndOfAOneMessageFileIsRefused) {
    start();
    kest_sim::byte_vector payload(3146173, 0);
    payload[24] = 16;    // 16 bytes ...
    payload[16 + 5] = 1; // ... at offset 2^40: the file would be a terabyte of holes
    device->set_answer(CTRL_GET_CALIB_FILE, kest_sim::device_message(CMD_FILE_DATA, payload));
    EXPECT_EQ(sender->sender_get_calib_file_handler(dir.path().c_str()), -1);
    EXPECT_TRUE(log_contains("recv file seek error:1099511627776 vs 16."));
    EXPECT_LE(std::filesystem::file_size(dir.path() / "calib.yaml"), 3145728u);
    EXPECT_TRUE(device_answered(false));
}
