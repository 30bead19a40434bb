// The sender over the real transport with the virtual KestOne: channels,
// heartbeat and soft attach, requests and answers, the waits' bounds, and the
// calibration fetch (folders, the file on disk, its MD5 check, the device's answer).
#include "sdk/comm/protocol/protocol.h"
#include "sdk/common/byte_order.h"
#include "sim/kestone.h"
#include "sim/usb_bus.h"
#include "tests/support/bus_test.h"
#include "tests/support/heartbeat_timing.h"
#include "tests/support/recorder.h"
#include "tests/support/temp_dir.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

using namespace kest_test;
using bytes = std::vector<uint8_t>;
using testing::ElementsAre;
namespace fs = std::filesystem;

namespace {

struct handed_up {
    uint16_t type;
    std::vector<uint8_t> payload;
    bool heartbeat_thread_gone; // at the moment of the call
};

class Protocol : public bus_test {
protected:
    void SetUp() override {
        bus_test::SetUp();
        all_handed.clear();
        held_type = -1;
        device = std::make_shared<kest_sim::kestone>();
        sender = std::make_unique<zev_sdk::sender>();
        sender->set_heartbeat_timing(scaled_heartbeat());
    }
    void TearDown() override {
        sender.reset();
        bus_test::TearDown();
    }

    // Initialises the sender and plugs the device; waits for the soft attach if asked.
    void start(bool wait_soft_attach = true) {
        ASSERT_EQ(sender->sender_init({record, sender.get()}), 0);
        plug();
        ASSERT_TRUE(wait_handed_up(CMD_ATTACH));
        if (wait_soft_attach) {
            ASSERT_TRUE(wait_handed_up(CMD_SOFT_ATTACH));
        }
    }
    void plug() { device_id = kest_sim::bus_plug(kest_sim::kestone_desc(), device); }
    testing::AssertionResult wait_handed_up(uint16_t type, size_t count = 1) {
        return all_handed.wait(
            [&](const std::vector<handed_up> &all) {
                return static_cast<size_t>(std::count_if(all.begin(), all.end(), [&](auto &e) {
                           return e.type == type;
                       })) >= count;
            },
            std::to_string(count) + " messages of type " + std::to_string(type) + " handed up");
    }
    std::vector<handed_up> handed(uint16_t type) const {
        std::vector<handed_up> matching;
        for (const handed_up &entry : all_handed.snapshot())
            if (entry.type == type)
                matching.push_back(entry);
        return matching;
    }
    std::vector<uint16_t> handed_types() const {
        std::vector<uint16_t> types;
        for (const handed_up &entry : all_handed.snapshot())
            types.push_back(entry.type);
        return types;
    }
    // The next message of this type keeps the transport's thread, as a slow consumer would.
    void hold_the_host_on(uint16_t type, std::chrono::nanoseconds how_long) {
        held_ns = how_long.count();
        held_type = type;
    }
    // Sends a control command and returns its answer (null on failure).
    std::unique_ptr<uint8_t, decltype(&free)> request(uint8_t *msg) {
        std::unique_ptr<uint8_t, decltype(&free)> owned(msg, free);
        uint8_t *answer = nullptr;
        if (!msg || sender->transact(msg, &answer) != 0)
            return {nullptr, free};
        return {answer, free};
    }
    auto ask(uint16_t code) { return request(sender->construct_simple_control_cmd(code)); }

    std::unique_ptr<zev_sdk::sender> sender;
    std::shared_ptr<kest_sim::kestone> device;
    int device_id = 0;

private:
    static inline recorder<handed_up> all_handed;
    static inline std::atomic<int> held_type{-1};
    static inline std::atomic<int64_t> held_ns{0};
    static void record(uint8_t *msg, void *context) {
        auto *owner = static_cast<zev_sdk::sender *>(context);
        const int type = get_be16(msg);
        all_handed.add({get_be16(msg),
                        {msg + CMD_HEADER_SIZE, msg + CMD_HEADER_SIZE + cmd_payload_len(msg)},
                        owner != nullptr && !owner->has_heartbeat_thread()});
        // Recorded first, so that a test sees the hold begin.
        if (held_type.load() == type && held_type.exchange(-1) == type)
            std::this_thread::sleep_for(std::chrono::nanoseconds(held_ns.load()));
    }
};

class Calibration : public Protocol {
protected:
    void SetUp() override {
        Protocol::SetUp();
        start();
    }
    std::string read(const fs::path &path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    testing::AssertionResult device_told(uint64_t ok, uint64_t fail) {
        return eventually(
            [&] { return device->state().file_ok == ok && device->state().file_fail == fail; },
            "the device told " + std::to_string(ok) + " ok, " + std::to_string(fail) + " fail");
    }
    temp_dir dir;
};

bytes as_bytes(const uint8_t *msg) {
    return bytes(msg, msg + CMD_HEADER_SIZE + cmd_payload_len(msg));
}

} // namespace

TEST_F(Protocol, ControlCommandsHaveTheirWireBytesAndWaitForInitAndAttach) {
    std::unique_ptr<uint8_t, decltype(&free)> with(
        sender->construct_simple_control_cmd_with_u32(30, 0x01020304), free);
    EXPECT_EQ(as_bytes(with.get()), bytes({0, 7, 0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0,
                                           0, 0, 0, 0, 0, 0, 0, 6, 0, 30, 1, 2, 3, 4}));
    uint8_t *answer = nullptr;
    EXPECT_EQ(sender->send_cmd(0, with.get()), -1) << "before the init";
    ASSERT_EQ(sender->sender_init({nullptr, nullptr}), 0);
    EXPECT_EQ(sender->sender_init({nullptr, nullptr}), -1);
    EXPECT_EQ(sender->send_cmd(0, with.get()), -1) << "before the attach";
    EXPECT_EQ(sender->recv_cmd(1, &answer), -1);
    EXPECT_EQ(sender->sender_deinit(), 0);
    EXPECT_EQ(sender->sender_deinit(), -1);
}

TEST_F(Protocol, DeviceFallingSilentSoftDetachesAndSoftAttachesWhenItSpeaks) {
    device->silence_after(3);
    start();
    ASSERT_TRUE(wait_handed_up(CMD_SOFT_DETACH));
    EXPECT_FALSE(sender->is_soft_attached());
    uint64_t beats = device->state().heartbeats_received;
    device->resume();
    ASSERT_TRUE(wait_handed_up(CMD_SOFT_ATTACH, 2));
    EXPECT_TRUE(device->wait_state(
        [&](const kest_sim::kestone_state &s) { return s.heartbeats_received > beats; },
        patience()))
        << "beating resumes";
    EXPECT_EQ(handed_types(), (std::vector<uint16_t>{CMD_ATTACH, CMD_SOFT_ATTACH, CMD_SOFT_DETACH,
                                                     CMD_SOFT_ATTACH}));
}

TEST_F(Protocol, AHostThatStopsListeningDoesNotDeclareItsDeviceSilent) {
    start();
    // A consumer keeps the transport's thread for four windows: the host hears nothing.
    hold_the_host_on(CMD_DEVICE_INFO, 4 * scaled_heartbeat().window);
    ASSERT_TRUE(device->send(kest_sim::kestone::ep_dtof, CMD_DEVICE_INFO));
    ASSERT_TRUE(wait_handed_up(CMD_DEVICE_INFO));
    uint64_t answered = device->state().heartbeats_answered;
    ASSERT_TRUE(device->wait_state(
        [&](const kest_sim::kestone_state &s) { return s.heartbeats_answered >= answered + 3; },
        patience()))
        << "beating goes on after the host listens again";
    EXPECT_EQ(handed_types(),
              (std::vector<uint16_t>{CMD_ATTACH, CMD_SOFT_ATTACH, CMD_DEVICE_INFO}));
    EXPECT_FALSE(log_contains("heart beat loop timeout."));

    // A device that really falls silent is still declared so at once.
    device->fall_silent();
    auto silent_at = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_handed_up(CMD_SOFT_DETACH));
    EXPECT_LT(std::chrono::steady_clock::now() - silent_at, scaled(std::chrono::seconds(1)));
}

TEST_F(Protocol, AHostDeafForLongerThanItsLimitJudgesItsDeviceAgain) {
    zev_sdk::heartbeat_timing timing = scaled_heartbeat();
    timing.longest_host_stall = scaled(std::chrono::milliseconds(300));
    sender->set_heartbeat_timing(timing);
    start();
    const auto hold = scaled(std::chrono::seconds(2));
    hold_the_host_on(CMD_DEVICE_INFO, hold);
    ASSERT_TRUE(device->send(kest_sim::kestone::ep_dtof, CMD_DEVICE_INFO));
    ASSERT_TRUE(wait_handed_up(CMD_DEVICE_INFO));
    auto held_at = std::chrono::steady_clock::now();
    device->fall_silent();
    ASSERT_TRUE(wait_handed_up(CMD_SOFT_DETACH));
    EXPECT_LT(std::chrono::steady_clock::now() - held_at, hold) << "before the host listened again";
}

TEST_F(Protocol, MessageDuringTheFirstPollStepAfterATimeOutRaisesNeither) {
    // The beat window ends 400 ms after the beat, the next check 200 ms later;
    // the device speaks in between.
    sender->set_heartbeat_timing(
        {scaled(std::chrono::milliseconds(400)), scaled(std::chrono::milliseconds(200))});
    device->silence_after(2);
    start();
    ASSERT_TRUE(eventually_logged("switch to waiting for remote heartbeat."));
    device->resume();
    EXPECT_TRUE(eventually_logged("skip trigger soft dettach."));
    EXPECT_TRUE(handed(CMD_SOFT_DETACH).empty());
    EXPECT_EQ(handed(CMD_SOFT_ATTACH).size(), 1u);
}

// An unplug fails a waiting request at once, raises no soft detach and ends the
// heartbeat before the detach goes up.
TEST_F(Protocol, UnplugFailsAWaitAtOnceAndEndsTheHeartbeatFirst) {
    start();
    sender->set_answer_timeout(scaled(std::chrono::seconds(60)));
    device->never_answer(CTRL_OPEN_DEVICE);
    auto waiting = std::async(std::launch::async, [&] {
        auto began = std::chrono::steady_clock::now();
        bool answered = static_cast<bool>(ask(CTRL_OPEN_DEVICE));
        return std::make_pair(answered, std::chrono::steady_clock::now() - began);
    });
    ASSERT_TRUE(device->wait_state(
        [](const kest_sim::kestone_state &s) { return !s.requests.empty(); }, patience()));
    kest_sim::bus_unplug(device_id);
    ASSERT_TRUE(wait_handed_up(CMD_DETACH));
    auto [answered, waited] = waiting.get();
    EXPECT_FALSE(answered);
    EXPECT_LT(waited, scaled(std::chrono::seconds(30)));
    EXPECT_TRUE(handed(CMD_SOFT_DETACH).empty());
    EXPECT_TRUE(handed(CMD_DETACH)[0].heartbeat_thread_gone);
    EXPECT_FALSE(sender->is_soft_attached());
    EXPECT_FALSE(sender->is_attached());
}

// The heartbeat thread, inside its soft attach callback, asks for its own
// thread while the test de-initialises the sender: neither may wait for the other.
TEST_F(Protocol, HeartbeatCallbackMayAskForItsThreadWhileDeinitJoinsIt) {
    struct asking {
        zev_sdk::sender *owner = nullptr;
        std::promise<void> entered;
        std::shared_future<void> deinit_begun;
        std::atomic<int> answers{0};
        std::atomic<bool> held{false};
    } probe;
    probe.owner = sender.get();
    std::promise<void> begin_deinit;
    probe.deinit_begun = begin_deinit.get_future().share();
    auto on_message = [](uint8_t *msg, void *context) {
        auto *self = static_cast<asking *>(context);
        if (get_be16(msg) != CMD_SOFT_ATTACH || self->held.exchange(true))
            return;
        self->entered.set_value();
        if (self->deinit_begun.wait_for(patience()) != std::future_status::ready)
            return;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        for (; std::chrono::steady_clock::now() < until; ++self->answers)
            self->owner->has_heartbeat_thread();
    };
    std::future<void> entered = probe.entered.get_future();
    ASSERT_EQ(sender->sender_init({on_message, &probe}), 0);
    plug();
    ASSERT_EQ(entered.wait_for(patience()), std::future_status::ready);
    begin_deinit.set_value();
    auto deinit = std::async(std::launch::async, [&] { return sender->sender_deinit(); });
    if (deinit.wait_for(scaled(std::chrono::seconds(30))) != std::future_status::ready) {
        fprintf(stderr, "sender_deinit and the heartbeat callback wait for each other\n");
        std::abort(); // the threads cannot be ended; the test must not hang
    }
    EXPECT_EQ(deinit.get(), 0);
    EXPECT_GT(probe.answers.load(), 0);
    EXPECT_FALSE(sender->has_heartbeat_thread());
}

TEST_F(Protocol, RequestsGetTheirAnswers) {
    start();
    auto ok = ask(CTRL_OPEN_DEVICE);
    ASSERT_TRUE(ok);
    EXPECT_EQ(get_be16(ok.get()), CMD_OK);
    ASSERT_TRUE(request(sender->construct_simple_control_cmd_with_u32(CTRL_SET_IMU_RATE, 2)));
    ASSERT_TRUE(ask(CTRL_SET_MODE_1));
    device->set_start_rate(0x01020304);
    auto started = ask(CTRL_START_STREAM);
    ASSERT_TRUE(started);
    EXPECT_EQ(as_bytes(started.get()).size(), CMD_HEADER_SIZE + 4);
    EXPECT_EQ(started.get()[CMD_HEADER_SIZE], 0x04) << "the rate is little-endian";
    device->fail_code(CTRL_STOP_STREAM, 0x11223344);
    auto fail = ask(CTRL_STOP_STREAM);
    ASSERT_TRUE(fail);
    EXPECT_EQ(as_bytes(fail.get()), bytes({0, 16, 0, 0, 0, 0, 0, 0, 0, 0,    0,    0,    0,   0,
                                           0, 0,  0, 0, 0, 0, 0, 0, 4, 0x44, 0x33, 0x22, 0x11}));
    kest_sim::kestone_state state = device->state();
    EXPECT_THAT(state.requests, ElementsAre(1, 30, 12, 7, 8));
    EXPECT_TRUE(state.opened);
    EXPECT_EQ(state.mode, 1);
    EXPECT_EQ(state.parameters[30], 2u);
    EXPECT_TRUE(handed(CMD_OK).empty()) << "answers go to the waiter, not up";
}

TEST_F(Protocol, AnswerArrivingBeforeTheWaitBeginsIsKept) {
    start();
    std::unique_ptr<uint8_t, decltype(&free)> msg(
        sender->construct_simple_control_cmd(CTRL_OPEN_DEVICE), free);
    sender->expect_answer(sender->rx_channel());
    ASSERT_EQ(sender->send_cmd(sender->tx_channel(), msg.get()), 0);
    ASSERT_TRUE(
        device->wait_state([](const kest_sim::kestone_state &s) { return s.opened; }, patience()));
    ASSERT_TRUE(eventually([&] { return sender->answer_ready(sender->rx_channel()); },
                           "the answer kept for the waiter"));
    uint8_t *answer = nullptr;
    ASSERT_EQ(sender->recv_cmd(sender->rx_channel(), &answer), 0);
    EXPECT_EQ(get_be16(answer), CMD_OK);
    free(answer);
    EXPECT_TRUE(handed(CMD_OK).empty());
}

TEST_F(Protocol, UnansweredRequestFailsAfterTheTimeOutAndTheNextWorks) {
    start();
    sender->set_answer_timeout(std::chrono::milliseconds(300));
    device->never_answer(CTRL_CLOSE_DEVICE);
    auto began = std::chrono::steady_clock::now();
    EXPECT_FALSE(ask(CTRL_CLOSE_DEVICE));
    EXPECT_LT(std::chrono::steady_clock::now() - began, scaled(std::chrono::seconds(5)));
    EXPECT_TRUE(ask(CTRL_OPEN_DEVICE));
    EXPECT_TRUE(handed(CMD_OK).empty());
}

// On the answer channel a heartbeat is consumed and stream messages go up while a
// request waits; the OK after them is still the request's.
TEST_F(Protocol, HeartbeatsAndStreamMessagesOnTheAnswerChannelDoNotTakeTheAnswersPlace) {
    start();
    device->set_answer_delay(std::chrono::milliseconds(300));
    auto waiting = std::async(std::launch::async, [&] { return ask(CTRL_OPEN_DEVICE); });
    ASSERT_TRUE(device->wait_state(
        [](const kest_sim::kestone_state &s) { return !s.requests.empty(); }, patience()));
    device->send(kest_sim::kestone::ep_rx, CMD_HEARTBEAT);
    device->send(kest_sim::kestone::ep_rx, CMD_DEVICE_INFO, bytes(104, 9));
    device->send(kest_sim::kestone::ep_rx, CMD_IMU, bytes(64, 3));
    auto answer = waiting.get();
    ASSERT_TRUE(answer);
    EXPECT_EQ(get_be16(answer.get()), CMD_OK);
    ASSERT_TRUE(wait_handed_up(CMD_IMU));
    ASSERT_EQ(handed(CMD_DEVICE_INFO).size(), 1u);
    EXPECT_EQ(handed(CMD_DEVICE_INFO)[0].payload, bytes(104, 9));
    EXPECT_TRUE(handed(CMD_HEARTBEAT).empty());
    EXPECT_TRUE(handed(CMD_OK).empty()) << "the OK went to its request, not up as missed";
}

TEST_F(Protocol, MessagesShorterThanTheyClaimAreDropped) {
    start();
    bytes lying = {0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 200, 1, 2, 3};
    // Sent as a raw frame payload: the header claims 200 payload bytes, 3 are there.
    kest_sim::byte_vector frame = kest_sim::device_frames(lying, 262144, 0)[0];
    kest_sim::bus_queue_in(device_id, kest_sim::kestone::ep_rx, frame);
    kest_sim::bus_queue_in(device_id, kest_sim::kestone::ep_rx,
                           kest_sim::device_frames({0, 11}, 262144, 0)[0]);
    EXPECT_TRUE(eventually_logged(
        "message payload_len 200 exceeds the 26 bytes received on channel 1, dropped."));
    EXPECT_TRUE(
        eventually_logged("message of 2 bytes on channel 1 is shorter than its header, dropped."));
    EXPECT_TRUE(handed(CMD_DEVICE_INFO).empty());
}

TEST_F(Calibration, MissingFoldersAreCreatedAndAVerifiedFileIsAcknowledged) {
    fs::create_directory(dir.path() / "a");
    ASSERT_EQ(sender->sender_get_calib_file_handler((dir.path() / "a/b/c/").string().c_str()), 0);
    EXPECT_EQ(read(dir.path() / "a/b/c/calib.yaml"), kest_sim::kestone::calibration_yaml());
    EXPECT_TRUE(device_told(1, 0));
    ASSERT_EQ(sender->sender_get_calib_file_handler(dir.path().string().c_str()), 0)
        << "an existing one";
    EXPECT_EQ(read(dir.path() / "calib.yaml"), kest_sim::kestone::calibration_yaml());
    EXPECT_TRUE(device_told(2, 0));
}

TEST_F(Calibration, WrongOrUpperCaseDigestKeepsTheFileButFails) {
    for (kest_sim::md5_mode mode :
         {kest_sim::md5_mode::wrong_digit, kest_sim::md5_mode::upper_case}) {
        device->set_md5_mode(mode);
        EXPECT_EQ(sender->sender_get_calib_file_handler(dir.path().string().c_str()), -1);
        EXPECT_EQ(read(dir.path() / "calib.yaml"), kest_sim::kestone::calibration_yaml());
    }
    EXPECT_TRUE(device_told(0, 2));
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
        EXPECT_EQ(sender->sender_get_calib_file_handler(dir.path().string().c_str()), -1);
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
