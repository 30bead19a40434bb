// Matching of time-stamped samples across streams.
#include "sdk/sync/n_stream_sync.h"

#include "sdk/common/thread/thread.h"
#include "sdk/logger/logger.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace zev_sync {

namespace {

std::atomic<int> log_lines{0};

// Time stamps come from the device and may be anywhere in 64 bits: sums and
// differences are taken in 128 bits so they never overflow.
__int128 wide(int64_t value) {
    return value;
}

} // namespace

void sync_log(const char *format, ...) {
    if (log_lines.fetch_add(1) >= static_cast<int>(n_stream_sync::max_log_lines))
        return;
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fprintf(stderr, "%s\n", text);
}

int sync_log_count() {
    return log_lines.load();
}

void sync_log_rewind() {
    log_lines.store(0);
}

n_stream_sync::n_stream_sync(sync_config new_config) : config(std::move(new_config)) {
    config.policies.resize(config.stream_count, REQUIRED);
    if (config.queue_capacity == 0)
        config.queue_capacity = 1;
    queues.resize(config.stream_count);
    last.assign(config.stream_count, 0);
}

n_stream_sync::~n_stream_sync() {
    stop();
}

int n_stream_sync::start(synced_fn synced, passthrough_fn passthrough, discarded_fn discarded) {
    std::lock_guard<std::mutex> guard(lock);
    if (is_running.exchange(true))
        return 0;
    on_synced = std::move(synced);
    on_passthrough = std::move(passthrough);
    on_discarded = std::move(discarded);
    try {
        worker = std::thread([this] { worker_loop(); });
    } catch (const std::exception &error) {
        is_running.exchange(false);
        on_synced = nullptr;
        on_passthrough = nullptr;
        on_discarded = nullptr;
        log_print(ERROR, "synchronizer worker thread create fail: %s\n", error.what());
        return -1;
    }
    return 0;
}

void n_stream_sync::stop() {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!is_running.exchange(false))
            return;
    }
    wake.notify_all();
    if (worker.joinable())
        worker.join();
    std::lock_guard<std::mutex> guard(lock);
    // What no set will take any more: a restart begins empty.
    for (size_t i = 0; i < queues.size(); ++i) {
        discard(i, queues[i].size());
        queues[i].clear();
    }
    on_synced = nullptr;
    on_passthrough = nullptr;
    on_discarded = nullptr;
}

size_t n_stream_sync::queued(size_t stream) const {
    std::lock_guard<std::mutex> guard(lock);
    return stream < queues.size() ? queues[stream].size() : 0;
}

void n_stream_sync::restart() {
    std::lock_guard<std::mutex> guard(lock);
    reset();
}

void n_stream_sync::reset() {
    for (size_t i = 0; i < queues.size(); ++i) {
        discard(i, queues[i].size());
        queues[i].clear();
    }
    std::fill(last.begin(), last.end(), 0);
}

void n_stream_sync::discard(size_t stream, uint64_t count) {
    if (count > 0 && on_discarded)
        on_discarded(stream, count);
}

int n_stream_sync::push(size_t i, int64_t t, const uint8_t *data, size_t size, uint32_t extra) {
    if (i >= config.stream_count)
        return -1;
    if (!is_running)
        return -2;
    // The one copy of the payload; it is moved from here on.
    sample item;
    item.timestamp_ns = t;
    if (data != nullptr && size > 0)
        item.data.assign(data, data + size);
    item.extra = extra;

    if (config.policies[i] == PASSTHROUGH) {
        passthrough_fn forward;
        {
            std::lock_guard<std::mutex> guard(lock);
            forward = on_passthrough;
        }
        if (forward)
            forward(i, std::move(item));
        return 0;
    }

    {
        std::lock_guard<std::mutex> guard(lock);
        if (last[i] != 0 && wide(t) + config.match_tolerance_ns < last[i]) {
            sync_log(
                "[n_stream_sync] backward jump on stream %zu: prev=%lld ns, new=%lld ns -> reset",
                i, static_cast<long long>(last[i]), static_cast<long long>(t));
            reset();
        }
        if (config.unit_ratio != 0) {
            int64_t known = std::max<int64_t>(0, *std::max_element(last.begin(), last.end()));
            auto a = static_cast<uint64_t>(std::max<int64_t>(t, 1));
            auto b = static_cast<uint64_t>(std::max<int64_t>(known, 1));
            if (known != 0 &&
                std::max(a, b) / std::max<uint64_t>(std::min(a, b), 1) >= config.unit_ratio) {
                sync_log(
                    "[n_stream_sync] suspected unit mismatch on stream %zu: incoming=%llu vs known "
                    "max=%llu (ratio>=%llu) -> rejecting push",
                    i, static_cast<unsigned long long>(a), static_cast<unsigned long long>(b),
                    static_cast<unsigned long long>(config.unit_ratio));
                return -4;
            }
        }
        last[i] = t;
        std::deque<sample> &queue = queues[i];
        if (queue.size() >= config.queue_capacity) {
            if (!config.drop_oldest)
                return -3;
            queue.pop_front();
            discard(i, 1);
        }
        queue.push_back(std::move(item));
    }
    wake.notify_one();
    return 0;
}

bool n_stream_sync::has_required() const {
    return std::find(config.policies.begin(), config.policies.end(), REQUIRED) !=
           config.policies.end();
}

bool n_stream_sync::required_queue_empty() const {
    for (size_t i = 0; i < config.stream_count; ++i)
        if (config.policies[i] == REQUIRED && queues[i].empty())
            return true;
    return false;
}

void n_stream_sync::worker_loop() {
    set_os_thread_name("stream_sync");
    // Without a REQUIRED stream no set can ever form: sleep until stopped.
    bool can_match = has_required();
    for (;;) {
        std::vector<sample> out;
        bool matched;
        synced_fn deliver;
        {
            std::unique_lock<std::mutex> guard(lock);
            wake.wait(guard, [&] { return !is_running || (can_match && !required_queue_empty()); });
            if (!is_running)
                return;
            matched = try_match(out);
            if (matched)
                deliver = on_synced;
        }
        if (matched && deliver)
            deliver(std::move(out));
    }
}

bool n_stream_sync::try_match(std::vector<sample> &out) {
    const int64_t tolerance = config.match_tolerance_ns;
    for (;;) {
        if (config.stream_count == 0 || required_queue_empty())
            return false;
        size_t oldest = config.stream_count;
        int64_t min = 0, max = 0;
        for (size_t i = 0; i < config.stream_count; ++i) {
            if (config.policies[i] != REQUIRED)
                continue;
            int64_t head = queues[i].front().timestamp_ns;
            if (oldest == config.stream_count) {
                oldest = i;
                min = max = head;
            } else if (head < min) {
                oldest = i;
                min = head;
            }
            max = std::max(max, head);
        }
        if (oldest == config.stream_count)
            return false;
        __int128 spread = wide(max) - min;
        if (spread > config.jump_threshold) {
            sync_log("[n_stream_sync] cross-stream gap %lld ns > jump_threshold %lld ns -> reset",
                     static_cast<long long>(spread > INT64_MAX ? INT64_MAX
                                                               : static_cast<int64_t>(spread)),
                     static_cast<long long>(config.jump_threshold));
            reset();
            return false;
        }
        if (spread > tolerance) {
            queues[oldest].pop_front();
            discard(oldest, 1);
            continue;
        }

        out.assign(config.stream_count, sample{});
        for (size_t i = 0; i < config.stream_count; ++i) {
            std::deque<sample> &queue = queues[i];
            if (config.policies[i] == REQUIRED) {
                out[i] = std::move(queue.front());
                queue.pop_front();
            } else if (config.policies[i] == OPTIONAL_LATEST) {
                while (!queue.empty() && wide(queue.front().timestamp_ns) + tolerance < min) {
                    queue.pop_front();
                    discard(i, 1);
                }
                while (queue.size() >= 2 && queue[1].timestamp_ns <= wide(max) + tolerance) {
                    queue.pop_front();
                    discard(i, 1);
                }
                if (!queue.empty() && wide(min) - tolerance <= queue.front().timestamp_ns &&
                    queue.front().timestamp_ns <= wide(max) + tolerance) {
                    out[i] = std::move(queue.front());
                    queue.pop_front();
                }
            }
        }
        return true;
    }
}

} // namespace zev_sync
