#include "sim/kestone_faults.h"

#include "sim/kestone.h"
#include "sim/usb_bus.h"

namespace kest_sim {

namespace {

using std::chrono::milliseconds;

// The streaming endpoints a transfer fault may hit, and the answer channel.
constexpr uint8_t fault_endpoints[] = {kestone::ep_rx, kestone::ep_imu, kestone::ep_rgb,
                                       kestone::ep_dtof};
// Requests of the attach sequence that a lost answer may hit.
constexpr uint16_t attach_codes[] = {wire::code_mode0, wire::code_mode1, wire::code_start,
                                     wire::code_version};
} // namespace

const char *fault_name(fault_kind kind) {
    static const char *const names[fault_kinds] = {"stall",   "short transfer", "corrupt frame",
                                                   "silence", "replug",         "lost answer"};
    return names[static_cast<size_t>(kind)];
}

fault_injector::fault_injector(std::shared_ptr<kestone> device, std::function<void()> replug,
                               fault_settings settings)
    : device(std::move(device)), replug(std::move(replug)), settings(settings),
      random(settings.seed) {
    if (settings.every_s > 0)
        worker = std::thread([this] { run(); });
}

fault_injector::~fault_injector() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    woken.notify_all();
    if (worker.joinable())
        worker.join();
}

std::array<uint64_t, fault_kinds> fault_injector::injected() const {
    std::lock_guard<std::mutex> lock(mutex);
    return counts;
}

bool fault_injector::pause(milliseconds span) {
    std::unique_lock<std::mutex> lock(mutex);
    return !woken.wait_for(lock, span, [this] { return stopping; });
}

void fault_injector::run() {
    // Gaps spread evenly between half and one and a half times the mean.
    std::uniform_real_distribution<double> gap(0.5 * settings.every_s, 1.5 * settings.every_s);
    std::uniform_int_distribution<size_t> kind(0, fault_kinds - 1);
    for (;;) {
        fault_kind chosen;
        milliseconds wait;
        {
            std::lock_guard<std::mutex> lock(mutex);
            wait = milliseconds(static_cast<long long>(gap(random) * 1000));
            chosen = static_cast<fault_kind>(kind(random));
        }
        if (!pause(wait))
            return;
        inject(chosen);
    }
}

void fault_injector::inject(fault_kind kind, std::optional<uint8_t> on,
                            std::optional<uint16_t> of) {
    uint8_t endpoint = 0;
    uint16_t code = 0;
    size_t length = 0, offset = 0;
    std::chrono::milliseconds silence{0};
    {
        // The campaign's thread and a caller may both inject: one draws at a time.
        std::lock_guard<std::mutex> lock(mutex);
        ++counts[static_cast<size_t>(kind)];
        endpoint =
            on.value_or(fault_endpoints[std::uniform_int_distribution<size_t>(0, 3)(random)]);
        code = of.value_or(attach_codes[std::uniform_int_distribution<size_t>(0, 3)(random)]);
        length = std::uniform_int_distribution<size_t>(0, 512)(random);
        offset = std::uniform_int_distribution<size_t>(0, 1023)(random);
        const auto longest = static_cast<long long>(settings.silence_max_s * 1000);
        silence =
            milliseconds(std::uniform_int_distribution<long long>(longest / 8, longest)(random));
    }
    const int id = device->bus_device();
    switch (kind) {
    case fault_kind::stall:
        bus_halt(id, endpoint);
        break;
    case fault_kind::short_transfer:
        bus_inject(id, endpoint, fault::short_length, 1, length);
        break;
    case fault_kind::corrupt_frame:
        bus_inject(id, endpoint, fault::corrupt, 1, offset);
        break;
    case fault_kind::silence:
        device->fall_silent();
        pause(silence);
        device->resume();
        break;
    case fault_kind::replug:
        replug();
        break;
    case fault_kind::lost_answer: {
        device->never_answer(code);
        replug();
        const bool running =
            pause(milliseconds(static_cast<long long>(settings.lost_answer_s * 1000)));
        device->answer_again(code);
        if (running)
            replug();
        break;
    }
    }
}

} // namespace kest_sim
