// The sender's core: initialisation, channels, transport events, sending and
// waiting for answers.
#include "sdk/comm/protocol/protocol.h"

#include "sdk/common/byte_order.h"
#include "sdk/common/platform/platform.h"
#include "sdk/common/stats/counters.h"
#include "sdk/common/thread/thread.h"
#include "sdk/logger/console.h"
#include "sdk/logger/logger.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace zev_sdk {

sender *g_sender = nullptr;

namespace {

using steady = std::chrono::steady_clock;
constexpr int32_t slot_count = 5;
constexpr uint16_t usb_vendor_id = 0x2207;
constexpr uint16_t usb_product_id = 0x0019;

} // namespace

sender::sender() {
    for (int32_t channel = 0; channel < slot_count; ++channel) {
        auto slot = std::make_unique<sync_slot>();
        slot->channel = channel;
        slots[channel] = std::move(slot);
    }
    g_sender = this;
}

sender::~sender() {
    if (inited)
        sender_deinit();
    stop_heartbeat();
    for (auto &[channel, slot] : slots)
        free(slot->data);
    if (g_sender == this)
        g_sender = nullptr;
    if (recv_file != nullptr)
        fclose(recv_file);
}

int sender::sender_init(sender_callback new_callback) {
    if (inited) {
        log_print(ERROR, "sender already inited.\n");
        return -1;
    }
    m_xfer = data_xfer_create(0);
    if (m_xfer == nullptr) {
        log_print(ERROR, "create m_xfer fail.\n");
        return -1;
    }
    xfer_config config{0, dxfer_evt_cb, usb_product_id, usb_vendor_id};
    if (m_xfer->xfer_init(config) < 0) {
        log_print(ERROR, "m_xfer init fail.\n");
        delete m_xfer;
        m_xfer = nullptr;
        return -1;
    }
    inited = true;
    callback = new_callback;
    m_xfer->xfer_start();
    return 0;
}

// The heartbeat thread is stopped before and after the transport: before, so
// it sends nothing into a transport going down; after, in case an attach in
// the meantime started a new one.
int sender::sender_deinit() {
    if (!inited) {
        log_print(ERROR, "sender not inited.\n");
        return -1;
    }
    {
        std::unique_lock<std::shared_mutex> guard(xfer_guard);
        inited = false; // from here on requests fail, and none is using the transport
    }
    stop_heartbeat();
    m_xfer->xfer_deinit();
    stop_heartbeat();
    wake_waiters();
    // A device still attached went without a detach event: forget its state,
    // or the next attach would never raise its soft attach.
    soft_attached.exchange(false);
    remote_heartbeat_seen.exchange(false);
    attached = false;
    silent_since_ns = 0;
    delete m_xfer;
    m_xfer = nullptr;
    return 0;
}

int sender::create_comm_channel() {
    if (!inited) {
        log_print(ERROR, "sender not inited.\n");
        return -1;
    }
    struct wanted {
        const char *name;
        std::atomic<int32_t> *id;
        chan_config config;
    };
    wanted channels[] = {
        {"tx", &tx_id, {0, 1, 0, tx_transfer}},     {"rx", &rx_id, {0, 0, 1, tx_transfer}},
        {"imu", &imu_id, {0, 2, 1, imu_transfer}},  {"rgb", &rgb_id, {0, 3, 1, tx_transfer}},
        {"dtof", &dtof_id, {0, 4, 1, tx_transfer}},
    };
    for (size_t i = 0; i < sizeof channels / sizeof channels[0]; ++i) {
        *channels[i].id = m_xfer->xfer_chanel_create(channels[i].config);
        if (channels[i].id->load() >= 0) {
            log_print(DEBUG, "comm %s channel create success.\n", channels[i].name);
            continue;
        }
        log_print(ERROR, "comm %s channel create fail.\n", channels[i].name);
        for (size_t undo = i; undo-- > 0;) {
            m_xfer->xfer_chanel_destroy(channels[undo].id->exchange(-1));
        }
        return -1;
    }
    return 0;
}

void sender::create_comm_destroy() {
    if (!inited) {
        log_print(ERROR, "sender not inited.\n");
        return;
    }
    for (std::atomic<int32_t> *id : {&rx_id, &tx_id, &imu_id, &rgb_id, &dtof_id})
        m_xfer->xfer_chanel_destroy(id->exchange(-1));
}

void sender::dxfer_evt_cb(int32_t channel, uint32_t event, uint8_t *data, uint32_t len) {
    sender *self = g_sender;
    if (self == nullptr)
        return;
    if (event == XFER_EVENT_ATTACH)
        self->on_attach(LOG_ORIGIN);
    else if (event == XFER_EVENT_DETACH)
        self->on_detach(LOG_ORIGIN);
    else if (event == XFER_EVENT_DATA)
        self->on_data(channel, data, len, LOG_ORIGIN);
}

void sender::on_attach(log_origin origin) {
    console_print("sender connect.\n");
    log_print_from(origin, INFO, "sender connect.\n");
    create_comm_channel();
    silent_since_ns = 0;
    attached = true;
    {
        std::lock_guard<std::mutex> control(heartbeat_control_mutex);
        stop_heartbeat_locked(); // a thread of an earlier attach, should one be left
        std::lock_guard<std::mutex> lock(heartbeat_mutex);
        heartbeat_running.exchange(true);
        try {
            heartbeat_thread = std::make_unique<std::thread>([this] { heartbeat_loop(); });
        } catch (const std::exception &error) {
            heartbeat_running.exchange(false);
            log_print_from(origin, ERROR, "heartbeat thread create fail: %s.\n", error.what());
        }
    }
    raise_event(CMD_ATTACH);
}

void sender::on_detach(log_origin origin) {
    console_print("sender disconnect.\n");
    log_print_from(origin, INFO, "sender disconnect.\n");
    stop_heartbeat();
    soft_attached.exchange(false);
    remote_heartbeat_seen.exchange(false);
    attached = false; // before the waiters wake, so none starts waiting after
    silent_since_ns = 0;
    wake_waiters();
    create_comm_destroy();
    raise_event(CMD_DETACH);
}

// Every message is checked against its real length here, once, so what goes
// up or to a waiter always holds its whole header and payload.
void sender::on_data(int32_t channel, uint8_t *data, uint32_t len, log_origin origin) {
    if (len < CMD_HEADER_SIZE) {
        log_print_from(origin, ERROR,
                       "message of %u bytes on channel %d is shorter than its header, dropped.\n",
                       len, channel);
        sdk_counters::count_device_drop();
        return;
    }
    uint32_t payload_len = cmd_payload_len(data);
    if (payload_len > len - CMD_HEADER_SIZE) {
        log_print_from(
            origin, ERROR,
            "message payload_len %u exceeds the %u bytes received on channel %d, dropped.\n",
            payload_len, len, channel);
        sdk_counters::count_device_drop();
        return;
    }
    remote_heartbeat_seen.exchange(true);
    const uint16_t type = get_be16(data);
    if (type == CMD_HEARTBEAT)
        return;

    // Streams may come on the answer channel too: only an answer type ends a
    // wait, and a stream message that arrives meanwhile goes up as always.
    const bool answer = type == CMD_OK || type == CMD_FAIL || type == CMD_FILE_DATA;
    sync_slot *slot = answer ? slot_of(channel) : nullptr;
    if (slot != nullptr) {
        std::unique_lock<std::mutex> lock(slot->lock);
        if (slot->waiting) {
            auto *copy = static_cast<uint8_t *>(malloc(len));
            if (copy == nullptr) {
                // Kept verbatim, misspelling included: readers of the log match this text.
                log_print_from(origin, ERROR, "request no memory for sync receicve.\n");
                return;
            }
            memcpy(copy, data, len);
            slot->data = copy;
            slot->ready = true;
            slot->waiting = false;
            slot->cond.notify_all();
            return;
        }
    }
    if (callback.fn != nullptr)
        callback.fn(data, callback.context);
}

void sender::raise_event(uint16_t type) {
    uint8_t header[CMD_HEADER_SIZE] = {};
    put_be16(header, type);
    if (callback.fn != nullptr)
        callback.fn(header, callback.context);
}

void sender::raise_soft_event(uint16_t type) {
    if (type == CMD_SOFT_DETACH) {
        silent_since_ns = std::max<int64_t>(1, steady_now_ns());
        nudge_waiters();
    } else {
        silent_since_ns = 0;
    }
    raise_event(type);
}

bool sender::answer_abandoned(int32_t channel) const {
    if (!inited || !attached) {
        log_print(ERROR, "sender not attach.\n");
        return true;
    }
    if (silent_past_grace()) {
        log_print(ERROR, "device stopped answering heartbeats, no answer on channel %d.\n",
                  channel);
        return true;
    }
    return false;
}

bool sender::silent_past_grace() const {
    int64_t since = silent_since_ns.load();
    if (since == 0)
        return false;
    return steady_now_ns() - since >= std::chrono::nanoseconds(beat.request_grace).count();
}

void sender::nudge_waiters() {
    for (auto &[channel, slot] : slots) {
        std::lock_guard<std::mutex> lock(slot->lock);
        slot->cond.notify_all();
    }
}

sync_slot *sender::slot_of(int32_t channel) {
    auto found = slots.find(channel);
    return found != slots.end() ? found->second.get() : nullptr;
}

void sender::stop_heartbeat() {
    std::lock_guard<std::mutex> control(heartbeat_control_mutex);
    stop_heartbeat_locked();
}

// The pointer changes only under heartbeat_control_mutex, which the caller
// holds, so it may be used here between the short pointer locks.
void sender::stop_heartbeat_locked() {
    heartbeat_running.exchange(false);
    std::thread *thread = nullptr;
    {
        std::lock_guard<std::mutex> lock(heartbeat_mutex);
        thread = heartbeat_thread.get();
    }
    if (thread == nullptr)
        return;
    if (thread->get_id() == std::this_thread::get_id()) {
        log_print(ERROR, "heartbeat thread cannot join itself.\n");
        return;
    }
    if (thread->joinable())
        thread->join();
    std::lock_guard<std::mutex> lock(heartbeat_mutex);
    heartbeat_thread.reset();
}

// Ends every wait at once; the waiter finds no data ("cmd data is null.").
void sender::wake_waiters() {
    for (auto &[channel, slot] : slots) {
        std::lock_guard<std::mutex> lock(slot->lock);
        if (!slot->waiting)
            continue;
        slot->waiting = false;
        slot->ready = true;
        slot->cond.notify_all();
    }
}

int sender::send_cmd(int32_t channel, const uint8_t *msg) {
    std::shared_lock<std::shared_mutex> guard(xfer_guard);
    if (!inited) {
        // Kept verbatim, misspelling included: readers of the log match this text.
        log_print(ERROR, "sendor not init.\n");
        return -1;
    }
    if (!attached) {
        // Kept verbatim, misspelling included: readers of the log match this text.
        log_print(ERROR, "sendor not attch.\n");
        return -1;
    }
    return m_xfer->xfer_async_send(channel, msg, cmd_payload_len(msg) + CMD_HEADER_SIZE);
}

void sender::expect_answer(int32_t channel) {
    sync_slot *slot = slot_of(channel);
    if (slot == nullptr)
        return;
    std::lock_guard<std::mutex> lock(slot->lock);
    free(slot->data);
    slot->data = nullptr;
    slot->ready = false;
    slot->waiting = true;
}

bool sender::answer_ready(int32_t channel) {
    sync_slot *slot = slot_of(channel);
    if (slot == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(slot->lock);
    return slot->ready && slot->data != nullptr;
}

void sender::disarm_wait(int32_t channel) {
    sync_slot *slot = slot_of(channel);
    if (slot == nullptr)
        return;
    std::lock_guard<std::mutex> lock(slot->lock);
    slot->waiting = false;
    slot->ready = false;
    free(slot->data);
    slot->data = nullptr;
}

int sender::recv_cmd(int32_t channel, uint8_t **msg) {
    // Kept verbatim: tools and users read which thread waits for an answer.
    console_print("recv_cmd thread id:[%s] Thread ID: %lu\n", "zev_sdk::sender::recv_cmd",
                  platform_thread_id());
    *msg = nullptr;
    if (!inited) {
        log_print(ERROR, "sender not init.\n");
        return -1;
    }
    if (!attached) {
        log_print(ERROR, "sender not attach.\n");
        return -1;
    }
    sync_slot *slot = slot_of(channel);
    if (slot == nullptr) {
        log_print(ERROR, "channel %d has no answer slot.\n", channel);
        return -1;
    }

    log_print(DEBUG, "enter critical section\n");
    {
        std::unique_lock<std::mutex> lock(slot->lock);
        if (!slot->waiting && !slot->ready) // not armed before the request went out
            slot->waiting = true;
        // Checked under the slot's lock: whoever ends the device's answers
        // changes this state first and then wakes the waiters under this lock.
        if (!slot->ready && answer_abandoned(channel)) {
            slot->waiting = false;
            return -1;
        }
        // Woken by the answer, by the end of the device or the layer, or by a
        // soft detach; after one, the wait looks again once the grace is over.
        auto deadline = steady::now() + answer_timeout;
        while (!slot->ready) {
            if (answer_abandoned(channel)) {
                slot->waiting = false;
                return -1;
            }
            auto wake = deadline;
            if (int64_t since = silent_since_ns.load())
                wake =
                    std::min(wake, steady::time_point(std::chrono::duration_cast<steady::duration>(
                                       std::chrono::nanoseconds(since))) +
                                       beat.request_grace);
            if (slot->cond.wait_until(lock, wake) == std::cv_status::timeout &&
                steady::now() >= deadline && !slot->ready) {
                slot->waiting = false;
                log_print(ERROR, "no answer on channel %d within %lld ms.\n", channel,
                          static_cast<long long>(answer_timeout.count()));
                return -1;
            }
        }
        slot->ready = false;
        *msg = slot->data;
        slot->data = nullptr;
    }
    log_print(DEBUG, "leave critical section\n");
    if (*msg == nullptr) {
        log_print(ERROR, "cmd data is null.\n");
        return -1;
    }
    return 0;
}

int sender::transact(const uint8_t *msg, uint8_t **answer, const std::function<void()> &on_sent) {
    *answer = nullptr;
    if (silent_past_grace()) {
        log_print(ERROR, "device stopped answering heartbeats, request not sent.\n");
        return -1;
    }
    int32_t rx = rx_id;
    expect_answer(rx);
    if (send_cmd(tx_id, msg) != 0) {
        disarm_wait(rx);
        return -1;
    }
    if (on_sent)
        on_sent();
    return recv_cmd(rx, answer);
}

} // namespace zev_sdk
