// Groups time-stamped samples of several streams into matched sets, one sample
// per stream within a tolerance, and hands each set to a callback on the
// synchronizer's own worker thread. Guards against clock jumps, unit mix-ups
// and stalled streams. The device API matches SLAM clouds, odometry and wiwc with it.
#pragma once

#include "sdk/common/platform/platform.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zev_sync {

struct sample {
    int64_t timestamp_ns = 0; // 0 marks an empty slot in a set
    std::vector<uint8_t> data;
    uint32_t extra = 0;
};

enum stream_policy : uint8_t {
    REQUIRED = 0,        // one sample in every set; no set while its queue is empty
    OPTIONAL_LATEST = 1, // the latest sample inside the set's window, or an empty slot
    PASSTHROUGH = 2,     // not queued: each push goes straight to on_passthrough
};

struct sync_config {
    size_t stream_count = 0;
    std::vector<uint8_t> policies; // one stream_policy per stream
    int64_t match_tolerance_ns = 50000000;
    size_t queue_capacity = 32; // 0 is taken as 1
    bool drop_oldest = true;
    int64_t jump_threshold = 1000000000;
    uint64_t unit_ratio = 1000000; // 0 disables the unit check
};

// Writes the formatted text and a newline to standard error; only the first
// 8 lines of the process are printed.
void sync_log(const char *format, ...) KEST_PRINTF_FORMAT(1, 2);
// Lines sync_log was asked for so far, printed or not.
int sync_log_count();
// Tests only: lets the next 8 lines print again.
void sync_log_rewind();

// Runs on the worker thread with the lock released; it may move the payloads
// out. It must not call stop() and should return soon: matching waits for it.
using synced_fn = std::function<void(std::vector<sample> &&)>;
// Runs on the pushing thread.
using passthrough_fn = std::function<void(size_t, sample &&)>;
// Told of count queued samples of stream thrown away without joining a set
// (unmatched, pushed out of a full queue, cleared by a clock jump, still
// queued at stop). Runs with the synchronizer's lock held: it may only count.
using discarded_fn = std::function<void(size_t stream, uint64_t count)>;

class n_stream_sync {
public:
    static constexpr size_t max_log_lines = 8;

    explicit n_stream_sync(sync_config config);
    ~n_stream_sync();
    n_stream_sync(const n_stream_sync &) = delete;
    n_stream_sync &operator=(const n_stream_sync &) = delete;

    // Starts the worker with the callbacks. 0; 0 with nothing changed if already
    // running; -1 if the worker cannot be started (the synchronizer stays stopped).
    int start(synced_fn on_synced, passthrough_fn on_passthrough,
              discarded_fn on_discarded = nullptr);
    // 0 accepted; -1 unknown stream; -2 not running; -3 queue full; -4 unit
    // mismatch. A refused sample is not told to on_discarded: the caller knows.
    int push(size_t stream, int64_t timestamp_ns, const uint8_t *data, size_t size, uint32_t extra);
    // Stops and joins the worker and drops the callbacks. Not from inside on_synced.
    void stop();

    bool running() const { return is_running.load(); }
    // Forgets every queued sample and last time stamp, as a backward jump
    // does: a new streaming session's clock may start anywhere, even far
    // ahead of the last one (which would otherwise be refused as a unit mismatch).
    void restart();
    // Samples waiting in a stream's queue.
    size_t queued(size_t stream) const;

private:
    void worker_loop();
    bool try_match(std::vector<sample> &out);
    bool required_queue_empty() const;
    bool has_required() const;
    void reset();
    // Lock held: tells on_discarded, when set, of count samples of stream.
    void discard(size_t stream, uint64_t count);

    sync_config config;
    std::vector<std::deque<sample>> queues;
    std::vector<int64_t> last;
    mutable std::mutex lock;
    std::condition_variable wake;
    std::atomic<bool> is_running{false};
    std::thread worker;
    synced_fn on_synced;
    passthrough_fn on_passthrough;
    discarded_fn on_discarded;
};

} // namespace zev_sync
