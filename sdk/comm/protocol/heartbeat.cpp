// The heartbeat: one beat per window, soft attach while the device answers,
// soft detach when it falls silent. Runs on a thread of its own per USB attach.
#include "sdk/comm/protocol/protocol.h"
#include "sdk/common/byte_order.h"
#include "sdk/common/thread/thread.h"
#include "sdk/logger/logger.h"

#include <algorithm>

namespace zev_sdk {

namespace {

using steady = std::chrono::steady_clock;

long long elapsed_ms(steady::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - since).count();
}

// The time in which the host could hear the device. The device must answer
// within a window of it, but only time the host spent listening counts against
// the device: a poll step counts at most twice its asked length (beyond that the
// heartbeat thread itself woke late: the host was descheduled, swapping or
// stopped in a debugger), and nothing while the transport has been handing one
// message up for longer than a poll step (the device's answers wait behind it),
// up to the longest host stall.
class listening_clock {
public:
    listening_clock(const data_xfer &xfer, const heartbeat_timing &beat) : xfer(xfer), beat(beat) {}

    void restart() {
        last = steady::now();
        heard = std::chrono::nanoseconds(0);
    }
    // Counts the poll step that just ended.
    void step() {
        steady::time_point now = steady::now();
        std::chrono::nanoseconds took = now - last;
        last = now;
        if (receive_path_stalled())
            return;
        // At least a millisecond, so that a window always ends.
        heard += std::min<std::chrono::nanoseconds>(
            took, std::max<std::chrono::nanoseconds>(2 * beat.poll, std::chrono::milliseconds(1)));
    }
    std::chrono::nanoseconds listened() const { return heard; }

private:
    bool receive_path_stalled() const {
        int64_t since = xfer.xfer_delivering_since_ns();
        if (since == 0)
            return false;
        std::chrono::nanoseconds stalled(steady_now_ns() - since);
        return stalled > beat.poll && stalled < beat.longest_host_stall;
    }

    const data_xfer &xfer;
    const heartbeat_timing &beat;
    steady::time_point last = steady::now();
    std::chrono::nanoseconds heard{0};
};

} // namespace

void sender::heartbeat_loop() {
    set_os_thread_name("heartbeat");
    uint8_t beat_msg[CMD_HEADER_SIZE] = {};
    put_be16(beat_msg, CMD_HEARTBEAT);
    uint16_t event = CMD_SOFT_ATTACH;
    if (!heartbeat_running)
        return;
    // A long message (the 3 MiB calibration file) holds the device's heartbeat
    // answers behind it for seconds on a slow link: its frames are life too.
    uint64_t frames_seen = m_xfer->xfer_frames_received();
    auto showed_life = [&] {
        uint64_t frames = m_xfer->xfer_frames_received();
        if (frames != frames_seen) {
            frames_seen = frames;
            remote_heartbeat_seen.exchange(true);
        }
        return remote_heartbeat_seen.load();
    };
    listening_clock clock(*m_xfer, beat);

    for (;;) {
        // Beat, then watch the window for any sign of life.
        remote_heartbeat_seen.exchange(false);
        send_cmd(tx_id, beat_msg);
        clock.restart();
        while (clock.listened() < beat.window) {
            if (!heartbeat_running)
                return;
            if (showed_life()) {
                event = CMD_SOFT_ATTACH;
                if (!soft_attached.exchange(true))
                    raise_soft_event(event);
            }
            std::this_thread::sleep_for(beat.poll);
            clock.step();
        }
        if (showed_life()) {
            if (m_xfer->xfer_is_detached() == 0)
                continue;
            log_print(DEBUG, "beated but dev disconnected, skip resend.\n");
        }

        // Time-out: wait for the device to speak by itself.
        bool measuring = false;
        log_print(DEBUG, "heart beat loop timeout.\n");
        event = CMD_SOFT_DETACH;
        if (soft_attached) {
            log_print(DEBUG, "was soft attached, start measure timeout.\n");
            measuring = true;
        }
        steady::time_point t0 = steady::now();
        clock.restart();
        log_print(DEBUG, "switch to waiting for remote heartbeat.\n");
        while (!showed_life()) {
            if (!heartbeat_running)
                return;
            if (measuring) {
                if (clock.listened() >= std::chrono::milliseconds(1)) {
                    long long ms = elapsed_ms(t0);
                    // Kept verbatim, misspelling included: readers of the log match this text.
                    log_print(DEBUG,
                              "device not soft re-attached in %d ms. trigger soft dettach.\n",
                              static_cast<int>(ms));
                    soft_attached.exchange(false);
                    raise_soft_event(event);
                    measuring = false;
                }
            }
            std::this_thread::sleep_for(beat.poll);
            clock.step();
        }

        if (measuring) {
            // Kept verbatim, misspelling included: readers of the log match this text.
            log_print(DEBUG, "device soft re-attached in %d ms. skip trigger soft dettach.\n",
                      static_cast<int>(elapsed_ms(t0)));
            continue;
        }
        // Kept verbatim, misspelling included: readers of the log match this text.
        log_print(DEBUG, "remote heartbeat started / continued, notify self for soft attach. swith "
                         "to normal heatbeat routine.\n");
        event = CMD_SOFT_ATTACH;
        soft_attached.exchange(true);
        raise_soft_event(event);
        if (!heartbeat_running)
            return;
    }
}

} // namespace zev_sdk
