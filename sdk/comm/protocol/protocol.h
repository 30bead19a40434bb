// The protocol layer between the USB transport and the device API: it opens the
// five channels on attach, sends command messages, lets a caller wait for the
// device's answer, keeps the device's liveness by heartbeat and hands every
// other message up through one callback. One sender exists in the process.
#pragma once

#include "sdk/comm/interface/data_xfer.h"
#include "sdk/common/byte_order.h"
#include "sdk/logger/logger.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>

// Command message: a 23-byte header (big-endian type at 0, payload length at 19)
// followed by the payload.
constexpr size_t CMD_HEADER_SIZE = 23;
constexpr size_t CMD_OFFSET_PAYLOAD_LEN = 19;

enum cmd_type : uint16_t {
    CMD_SLAM_CLOUD = 0,
    CMD_ODOMETRY = 1,
    CMD_IMU = 2,
    CMD_IMAGE = 3,
    CMD_ATTACH = 4,
    CMD_DETACH = 5,
    CMD_DTOF = 6,
    CMD_CONTROL = 7,
    CMD_HEARTBEAT = 8,
    CMD_SOFT_ATTACH = 9,
    CMD_SOFT_DETACH = 10,
    CMD_DEVICE_INFO = 11,
    CMD_OK = 15,
    CMD_FAIL = 16,
    CMD_FILE_DATA = 17,
    CMD_HF_ODOMETRY = 18,
    CMD_RESERVED_19 = 19,
    CMD_WIWC = 21,
};

enum control_code : uint16_t {
    CTRL_OPEN_DEVICE = 1,
    CTRL_CLOSE_DEVICE = 2,
    CTRL_ACTIVATE_DTOF = 4,
    CTRL_ACTIVATE_IMAGE = 6,
    CTRL_START_STREAM = 7,
    CTRL_STOP_STREAM = 8,
    CTRL_SET_MODE_0 = 11,
    CTRL_SET_MODE_1 = 12,
    CTRL_GET_CALIB_FILE = 16,
    CTRL_ACTIVATE_IMU = 20,
    CTRL_ACTIVATE_ODOMETRY = 22,
    CTRL_ACTIVATE_SLAM = 24,
    CTRL_GET_VERSION = 27,
    CTRL_SET_IMU_RATE = 30,
    CTRL_SET_IMU_ACC_RANGE = 31,
    CTRL_SET_IMU_GYRO_RANGE = 32,
    CTRL_SET_DEPTH_PARAMETER = 33,
};

constexpr size_t CONTROL_CMD_SIZE = CMD_HEADER_SIZE + 2;
constexpr size_t CONTROL_CMD_U32_SIZE = CMD_HEADER_SIZE + 6;

// Reads a message's payload length (the header must be there).
inline uint32_t cmd_payload_len(const uint8_t *msg) {
    return get_be32(msg + CMD_OFFSET_PAYLOAD_LEN);
}

namespace zev_sdk {

// Where messages go up. The function runs on the transport's threads (data,
// attach, detach) and on the heartbeat thread (soft attach, soft detach); msg is
// valid only during the call. It must not wait for an answer from the device.
struct sender_callback {
    void (*fn)(uint8_t *msg, void *context);
    void *context;
};

struct sync_slot {
    int32_t channel;
    std::mutex lock;
    std::condition_variable cond;
    bool ready = false;
    bool waiting = false;
    uint8_t *data = nullptr; // heap copy of the answer, the slot's until handed over
};

// Heartbeat pacing; the device must show life within window after each beat.
struct heartbeat_timing {
    std::chrono::nanoseconds window = std::chrono::milliseconds(125);
    std::chrono::milliseconds poll = std::chrono::milliseconds(10);
    // How long a device declared gone (soft detach) may stay silent before the
    // requests waiting on it give up: a device busy for a moment (building a
    // large answer) comes back within it, a device that fell silent does not.
    std::chrono::milliseconds request_grace = std::chrono::milliseconds(1000);
    // How long the host's own deafness (one message handed up for this long)
    // is not counted against the device: past it, a consumer that never
    // returns no longer hides a device that fell silent meanwhile.
    std::chrono::milliseconds longest_host_stall = std::chrono::milliseconds(5000);
};

class sender {
public:
    // How long a caller waits for an answer: the 3 MiB calibration file takes
    // about 3 s on a full-speed (12 Mbit/s) link, so this leaves a wide margin.
    static constexpr int answer_timeout_ms = 10000;
    static constexpr uint32_t tx_transfer = 0x40000;
    static constexpr uint32_t imu_transfer = 1024;

    sender();
    ~sender();
    sender(const sender &) = delete;
    sender &operator=(const sender &) = delete;

    int sender_init(sender_callback callback);
    int sender_deinit();
    int create_comm_channel();
    // Destroys the channels; the name is kept verbatim (callers and the log know it).
    void create_comm_destroy();

    // The transport's event callback (reaches the sender through g_sender).
    static void dxfer_evt_cb(int32_t channel, uint32_t event, uint8_t *data, uint32_t len);

    // Sends a whole command message on channel; the bytes are copied before it returns.
    int send_cmd(int32_t channel, const uint8_t *msg);
    // Waits for the next answer (OK, FAIL or file data) on channel and hands
    // over a heap copy (the caller frees it); any other message meanwhile goes
    // to the dispatcher. -1 on time-out, detach, or no slot for the channel.
    int recv_cmd(int32_t channel, uint8_t **msg);
    // Sends msg on tx and waits for the answer on rx, with the wait armed before
    // the request leaves, so an early answer is not lost. on_sent, if given, runs
    // once the request has gone out (not when sending failed), before the wait.
    int transact(const uint8_t *msg, uint8_t **answer,
                 const std::function<void()> &on_sent = nullptr);
    // Arms the wait on channel: the next answer there is kept for recv_cmd.
    void expect_answer(int32_t channel);
    // True while a message is kept on channel for recv_cmd to take.
    bool answer_ready(int32_t channel);

    // Control commands (heap, CONTROL_CMD_SIZE / CONTROL_CMD_U32_SIZE bytes; free()).
    uint8_t *construct_simple_control_cmd(uint16_t code);
    uint8_t *construct_simple_control_cmd_with_u32(uint16_t code, uint32_t value);
    int send_simple_response(uint16_t type);
    // True once the heartbeat has declared the device gone (soft detach), until
    // it speaks again or is attached anew. Requests waiting then give up when
    // it stays silent for the request grace; later ones fail at once.
    bool is_declared_silent() const { return silent_since_ns.load() != 0; }

    // Calibration file: asks the device for it, writes dir/calib.yaml, verifies its MD5.
    int sender_get_calib_file_handler(const char *dir);
    // Opens (truncating) dir/calib.yaml as the file the next file data message fills.
    int open_recv_file(const char *dir) { return open_recv_file(dir, LOG_ORIGIN); }
    int recv_small_file_handler(const uint8_t *msg);

    void heartbeat_loop();

    int32_t tx_channel() const { return tx_id; }
    int32_t rx_channel() const { return rx_id; }
    bool is_soft_attached() const { return soft_attached.load(); }
    bool is_attached() const { return attached.load(); }
    // True while a heartbeat thread exists (it is joined and dropped on detach).
    bool has_heartbeat_thread() const {
        std::lock_guard<std::mutex> lock(heartbeat_mutex);
        return heartbeat_thread != nullptr;
    }
    // For tests and tools: pacing of the heartbeat and the answer wait.
    void set_heartbeat_timing(heartbeat_timing timing) { beat = timing; }
    void set_answer_timeout(std::chrono::milliseconds timeout) { answer_timeout = timeout; }

private:
    sync_slot *slot_of(int32_t channel);
    void disarm_wait(int32_t channel);
    void wake_waiters();
    void stop_heartbeat();
    void stop_heartbeat_locked();
    void raise_event(uint16_t type);
    // The heartbeat's soft attach and detach: the event goes up, and a device
    // declared gone ends the requests that wait on it.
    void raise_soft_event(uint16_t type);
    // Whether an answer can still come for a waiter; the slot's lock is held.
    bool answer_abandoned(int32_t channel) const;
    // True when the device has been declared gone for the whole request grace.
    bool silent_past_grace() const;
    // Wakes the waiters without ending their waits: they look at the state again.
    void nudge_waiters();
    // Helpers that log on behalf of a named function take its origin.
    void on_attach(log_origin origin);
    void on_detach(log_origin origin);
    void on_data(int32_t channel, uint8_t *data, uint32_t len, log_origin origin);
    int create_destination(const char *dir, log_origin origin);
    int open_recv_file(const char *dir, log_origin origin);

    sender_callback callback{nullptr, nullptr};
    std::atomic<bool> inited{false};
    // Sends hold it shared while they use the transport; de-initialisation
    // takes it whole to turn inited off, so the transport is never deleted
    // under a send.
    std::shared_mutex xfer_guard;
    // Steady-clock time (ns) of the soft detach while the device is declared
    // gone; 0 otherwise.
    std::atomic<int64_t> silent_since_ns{0};
    std::atomic<bool> attached{false};
    data_xfer *m_xfer = nullptr;
    // Written on attach and detach, read by callers and the heartbeat thread.
    std::atomic<int32_t> imu_id{-1};
    std::atomic<int32_t> rgb_id{-1};
    std::atomic<int32_t> dtof_id{-1};
    std::atomic<int32_t> tx_id{-1};
    std::atomic<int32_t> rx_id{-1};
    std::map<int32_t, std::unique_ptr<sync_slot>> slots;
    std::atomic<bool> heartbeat_running{false};
    // Held for a whole start or stop, join included: attach and detach start
    // and join the thread on the transport's thread while de-initialisation
    // may stop it on the caller's.
    std::mutex heartbeat_control_mutex;
    // Guards the heartbeat_thread pointer only and is never held over a join,
    // so the heartbeat thread's own callbacks may ask has_heartbeat_thread.
    mutable std::mutex heartbeat_mutex;
    std::unique_ptr<std::thread> heartbeat_thread;
    std::atomic<bool> remote_heartbeat_seen{false};
    std::atomic<bool> soft_attached{false};
    FILE *recv_file = nullptr;
    char recv_file_path[256] = {};
    heartbeat_timing beat;
    std::chrono::milliseconds answer_timeout{answer_timeout_ms};
};

// The process's sender, for the transport's plain event callback.
extern sender *g_sender;

} // namespace zev_sdk
