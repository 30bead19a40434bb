// The heartbeat: one beat per window, soft attach while the device answers,
// soft detach when it falls silent. Runs on a thread of its own per USB attach.
#include "sdk/comm/protocol/protocol.h"
#include "sdk/common/byte_order.h"
#include "sdk/common/thread/thread.h"
#include "sdk/logger/logger.h"

namespace zev_sdk {

namespace {

using steady = std::chrono::steady_clock;

long long elapsed_ms(steady::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - since).count();
}

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

    for (;;) {
        // Beat, then watch the window for any sign of life.
        remote_heartbeat_seen.exchange(false);
        send_cmd(tx_id, beat_msg);
        steady::time_point t0 = steady::now();
        while (steady::now() - t0 < beat.window) {
            if (!heartbeat_running)
                return;
            if (showed_life()) {
                event = CMD_SOFT_ATTACH;
                if (!soft_attached.exchange(true))
                    raise_soft_event(event);
            }
            std::this_thread::sleep_for(beat.poll);
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
            t0 = steady::now();
        }
        log_print(DEBUG, "switch to waiting for remote heartbeat.\n");
        while (!showed_life()) {
            if (!heartbeat_running)
                return;
            if (measuring) {
                long long ms = elapsed_ms(t0);
                if (ms > 0) {
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
