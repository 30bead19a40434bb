// The sender over the real transport with the virtual KestOne: channels,
// heartbeat and soft attach, requests and answers, and the waits' bounds.
#include "sdk/common/byte_order.h"
#include "sim/usb_bus.h"
#include "tests/sdk/comm/protocol_harness.h"
#include "tests/support/heartbeat_timing.h"

#include <gmock/gmock.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>

using namespace kest_test;
using bytes = std::vector<uint8_t>;
using testing::ElementsAre;

namespace {

class Protocol : public ProtocolTest {};

bytes as_bytes(const uint8_t *msg) {
    return bytes(msg, msg + CMD_HEADER_SIZE + cmd_payload_len(msg));
}

} // namespace

TEST_F(Protocol, ControlCommandsHaveTheirWireBytes) {
    std::unique_ptr<uint8_t, decltype(&free)> plain(sender->construct_simple_control_cmd(12), free);
    bytes expected(25, 0);
    expected[1] = 0x07;  // control
    expected[22] = 0x02; // payload length
    expected[24] = 0x0C; // the code, big-endian
    EXPECT_EQ(as_bytes(plain.get()), expected);
    std::unique_ptr<uint8_t, decltype(&free)> with(
        sender->construct_simple_control_cmd_with_u32(30, 0x01020304), free);
    expected = {0, 7, 0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0,
                0, 0, 0, 0, 0, 0, 0, 6, 0, 30, 1, 2, 3, 4};
    EXPECT_EQ(as_bytes(with.get()), expected);
}

TEST_F(Protocol, RefusesBeforeInitAndBeforeAttach) {
    uint8_t header[CMD_HEADER_SIZE] = {};
    EXPECT_EQ(sender->send_cmd(0, header), -1);
    EXPECT_TRUE(log_contains("sendor not init."));
    ASSERT_EQ(sender->sender_init({nullptr, nullptr}), 0);
    EXPECT_EQ(sender->sender_init({nullptr, nullptr}), -1);
    EXPECT_TRUE(log_contains("sender already inited."));
    EXPECT_EQ(sender->send_cmd(0, header), -1);
    EXPECT_TRUE(log_contains("sendor not attch."));
    uint8_t *answer = nullptr;
    EXPECT_EQ(sender->recv_cmd(1, &answer), -1);
    EXPECT_TRUE(log_contains("sender not attach."));
    EXPECT_EQ(sender->sender_get_calib_file_handler("unused"), -1);
    EXPECT_EQ(sender->sender_deinit(), 0);
    EXPECT_EQ(sender->sender_deinit(), -1);
    EXPECT_TRUE(log_contains("sender not inited."));
}

TEST_F(Protocol, AttachOpensTheChannelsAndAnsweringDeviceSoftAttachesOnce) {
    start();
    EXPECT_TRUE(log_contains("sender connect."));
    for (const char *name : {"tx", "rx", "imu", "rgb", "dtof"})
        EXPECT_TRUE(log_contains(std::string("comm ") + name + " channel create success."));
    EXPECT_EQ(sender->tx_channel(), 0);
    EXPECT_EQ(sender->rx_channel(), 1);
    ASSERT_TRUE(device->wait_state(
        [](const kest_sim::kestone_state &s) { return s.heartbeats_answered >= 6; }, patience()));
    EXPECT_EQ(handed_types(), (std::vector<uint16_t>{CMD_ATTACH, CMD_SOFT_ATTACH}));
    EXPECT_TRUE(sender->is_soft_attached());
}

TEST_F(Protocol, SilentDeviceRaisesNothingAndGetsNoFurtherBeats) {
    device->answer_heartbeats(false);
    start(false);
    EXPECT_TRUE(eventually_logged("switch to waiting for remote heartbeat."));
    // Nothing more may happen: look for a while at what the device receives.
    EXPECT_FALSE(device->wait_state(
        [](const kest_sim::kestone_state &s) { return s.heartbeats_received > 1; },
        std::chrono::milliseconds(500)));
    EXPECT_EQ(handed_types(), std::vector<uint16_t>{CMD_ATTACH});
    EXPECT_FALSE(log_contains("was soft attached"));
}

TEST_F(Protocol, DeviceFallingSilentSoftDetachesAndSoftAttachesWhenItSpeaks) {
    device->silence_after(3);
    start();
    ASSERT_TRUE(wait_handed_up(CMD_SOFT_DETACH));
    EXPECT_FALSE(sender->is_soft_attached());
    EXPECT_TRUE(log_contains("was soft attached, start measure timeout."));
    EXPECT_TRUE(log_contains("trigger soft dettach."));
    uint64_t beats = device->state().heartbeats_received;
    device->resume();
    ASSERT_TRUE(wait_handed_up(CMD_SOFT_ATTACH, 2));
    EXPECT_TRUE(log_contains("remote heartbeat started / continued"));
    EXPECT_TRUE(device->wait_state(
        [&](const kest_sim::kestone_state &s) { return s.heartbeats_received > beats; },
        patience()))
        << "beating resumes";
    EXPECT_EQ(handed_types(), (std::vector<uint16_t>{CMD_ATTACH, CMD_SOFT_ATTACH, CMD_SOFT_DETACH,
                                                     CMD_SOFT_ATTACH}));
}

TEST_F(Protocol, AHostThatStopsListeningDoesNotDeclareItsDeviceSilent) {
    start();
    // The transport's thread is kept for four windows by the consumer of one
    // message; the device answers the beat meanwhile, the host hears nothing.
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
    // A consumer that does not come back for seconds: a device that falls
    // silent meanwhile is declared so once the stall is past its limit.
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
    // Slow pacing so the first poll step after the time-out is wide: the beat
    // window ends 400 ms after the beat, the next check comes 200 ms later, and
    // the device speaks halfway between.
    sender->set_heartbeat_timing(
        {scaled(std::chrono::milliseconds(400)), scaled(std::chrono::milliseconds(200))});
    device->silence_after(2);
    start();
    // The line comes at the time-out, just before the 200 ms step begins.
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
    EXPECT_TRUE(log_contains("cmd data is null."));
    EXPECT_TRUE(log_contains("sender disconnect."));
    EXPECT_TRUE(handed(CMD_SOFT_DETACH).empty());
    EXPECT_TRUE(handed(CMD_DETACH)[0].heartbeat_thread_gone);
    EXPECT_FALSE(sender->is_soft_attached());
    EXPECT_FALSE(sender->is_attached());
}

namespace {

// Holds the heartbeat thread inside its soft attach callback, asking for its
// own thread, while the test de-initialises the sender.
struct asking_callback {
    zev_sdk::sender *owner = nullptr;
    std::promise<void> entered;
    std::shared_future<void> deinit_begun;
    std::atomic<int> answers{0};
    std::atomic<bool> held{false};

    static void on_message(uint8_t *msg, void *context) {
        auto *self = static_cast<asking_callback *>(context);
        if (get_be16(msg) != CMD_SOFT_ATTACH || self->held.exchange(true))
            return;
        self->entered.set_value();
        if (self->deinit_begun.wait_for(patience()) != std::future_status::ready)
            return;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        while (std::chrono::steady_clock::now() < until) {
            self->owner->has_heartbeat_thread();
            ++self->answers;
        }
    }
};

} // namespace

TEST_F(Protocol, HeartbeatCallbackMayAskForItsThreadWhileDeinitJoinsIt) {
    asking_callback probe;
    probe.owner = sender.get();
    std::promise<void> begin_deinit;
    probe.deinit_begun = begin_deinit.get_future().share();
    std::future<void> entered = probe.entered.get_future();
    ASSERT_EQ(sender->sender_init({asking_callback::on_message, &probe}), 0);
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
    EXPECT_EQ(started.get()[CMD_HEADER_SIZE + 3], 0x01);
    device->set_start_rate(std::nullopt);
    auto bare = ask(CTRL_START_STREAM);
    ASSERT_TRUE(bare);
    EXPECT_EQ(cmd_payload_len(bare.get()), 0u);

    auto version = ask(CTRL_GET_VERSION);
    ASSERT_TRUE(version);
    EXPECT_EQ(cmd_payload_len(version.get()), 156u);
    device->set_version_length(150);
    version = ask(CTRL_GET_VERSION);
    ASSERT_TRUE(version);
    EXPECT_EQ(cmd_payload_len(version.get()), 150u);

    device->fail_code(CTRL_CLOSE_DEVICE);
    auto fail = ask(CTRL_CLOSE_DEVICE);
    ASSERT_TRUE(fail);
    EXPECT_EQ(get_be16(fail.get()), CMD_FAIL);
    EXPECT_EQ(cmd_payload_len(fail.get()), 0u);
    device->fail_code(CTRL_STOP_STREAM, 0x11223344);
    fail = ask(CTRL_STOP_STREAM);
    ASSERT_TRUE(fail);
    EXPECT_EQ(as_bytes(fail.get()), bytes({0, 16, 0, 0, 0, 0, 0, 0, 0, 0,    0,    0,    0,   0,
                                           0, 0,  0, 0, 0, 0, 0, 0, 4, 0x44, 0x33, 0x22, 0x11}));

    kest_sim::kestone_state state = device->state();
    EXPECT_THAT(state.requests, ElementsAre(1, 30, 12, 7, 7, 27, 27, 2, 8));
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

TEST_F(Protocol, SlowAnswerIsTakenWithinTheTimeOutAndNoneFailsAfterIt) {
    start();
    device->set_answer_delay(std::chrono::milliseconds(300));
    sender->set_answer_timeout(std::chrono::seconds(5));
    auto began = std::chrono::steady_clock::now();
    auto ok = ask(CTRL_OPEN_DEVICE);
    ASSERT_TRUE(ok);
    EXPECT_EQ(get_be16(ok.get()), CMD_OK);
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(300));

    device->set_answer_delay(std::chrono::milliseconds(0));
    sender->set_answer_timeout(std::chrono::milliseconds(300));
    device->never_answer(CTRL_CLOSE_DEVICE);
    began = std::chrono::steady_clock::now();
    EXPECT_FALSE(ask(CTRL_CLOSE_DEVICE));
    EXPECT_LT(std::chrono::steady_clock::now() - began, scaled(std::chrono::seconds(5)));
    EXPECT_TRUE(log_contains("no answer on channel 1 within 300 ms."));
    EXPECT_TRUE(ask(CTRL_OPEN_DEVICE)) << "the next request works";
    EXPECT_TRUE(handed(CMD_OK).empty());
}

// Streams may use the answer channel: a heartbeat there is consumed, other
// messages arriving while a request waits go up, and the OK after them is still
// the request's answer.
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

TEST_F(Protocol, FailedChannelUndoesTheOnesBefore) {
    kest_sim::device_desc desc = kest_sim::kestone_desc();
    desc.endpoints.resize(3); // no rgb, no dtof endpoint
    ASSERT_EQ(sender->sender_init({nullptr, nullptr}), 0);
    device_id = kest_sim::bus_plug(desc, device);
    EXPECT_TRUE(eventually_logged("comm rgb channel create fail."));
    uint8_t header[CMD_HEADER_SIZE] = {};
    EXPECT_TRUE(eventually([&] { return sender->is_attached(); }, "the sender attached"));
    EXPECT_EQ(sender->send_cmd(0, header), -1) << "tx was closed again";
    EXPECT_TRUE(log_contains("channel 0 not exist."));
}
