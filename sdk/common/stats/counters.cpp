#include "sdk/common/stats/counters.h"

#include <atomic>

namespace sdk_counters {
namespace {

std::atomic<uint64_t> device_drops{0};
std::atomic<uint64_t> callback_drops{0};
std::atomic<uint64_t> cloud_drops{0};
std::atomic<uint64_t> open_failures{0};
std::atomic<int> last_open_error{0};

} // namespace

void count_device_drop() {
    device_drops.fetch_add(1, std::memory_order_relaxed);
}

void count_callback_drop() {
    callback_drops.fetch_add(1, std::memory_order_relaxed);
}

void count_cloud_drops(uint64_t count) {
    cloud_drops.fetch_add(count, std::memory_order_relaxed);
}

void count_open_failure(int error) {
    last_open_error.store(error, std::memory_order_relaxed);
    open_failures.fetch_add(1, std::memory_order_relaxed);
}

snapshot read() {
    return {device_drops.load(std::memory_order_relaxed),
            callback_drops.load(std::memory_order_relaxed),
            cloud_drops.load(std::memory_order_relaxed),
            open_failures.load(std::memory_order_relaxed),
            last_open_error.load(std::memory_order_relaxed)};
}

void reset() {
    device_drops.store(0, std::memory_order_relaxed);
    callback_drops.store(0, std::memory_order_relaxed);
    cloud_drops.store(0, std::memory_order_relaxed);
    open_failures.store(0, std::memory_order_relaxed);
    last_open_error.store(0, std::memory_order_relaxed);
}

} // namespace sdk_counters
