// Random faults against a virtual KestOne, one every few seconds, from a
// seeded generator on a thread of its own: what a soak throws at the host.
// Each fault is one a real device, its cable or its link can cause:
//   stall           an endpoint halts until the host clears it
//   short transfer  a transfer completes with fewer bytes than it carried
//   corrupt frame   a byte of a frame flips
//   silence         the device answers nothing for 0.5 to 4 s, then speaks again
//   replug          the device is unplugged and plugged in again
//   lost answer     a request of the attach sequence goes unanswered (the
//                   attach fails), then a replug with every answer back
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

namespace kest_sim {

class kestone;

struct fault_settings {
    double every_s = 0; // mean seconds between faults; 0: none (inject() only)
    uint32_t seed = 1;
    // How long a lost answer leaves the device failed before the replug that
    // brings it back: past the host's ten-second wait for the answer.
    double lost_answer_s = 12;
    double silence_max_s = 4; // a silence lasts an eighth of this to all of it
};

enum class fault_kind { stall, short_transfer, corrupt_frame, silence, replug, lost_answer };
constexpr size_t fault_kinds = 6;
const char *fault_name(fault_kind kind);

class fault_injector {
public:
    // replug unplugs the device and plugs it in again; called on the
    // injector's thread, so the owner keeps its bus id safe from its own use.
    fault_injector(std::shared_ptr<kestone> device, std::function<void()> replug,
                   fault_settings settings);
    ~fault_injector(); // stops, leaving the device answering
    fault_injector(const fault_injector &) = delete;
    fault_injector &operator=(const fault_injector &) = delete;

    std::array<uint64_t, fault_kinds> injected() const;
    // Injects one fault now, on this endpoint (stall, short transfer, corrupt
    // frame) or for this request (lost answer) when given, else on a random one.
    void inject(fault_kind kind, std::optional<uint8_t> endpoint = std::nullopt,
                std::optional<uint16_t> code = std::nullopt);

private:
    void run();
    // Waits up to span; false when stopping.
    bool pause(std::chrono::milliseconds span);

    std::shared_ptr<kestone> device;
    std::function<void()> replug;
    fault_settings settings;
    std::mt19937 random;
    mutable std::mutex mutex;
    std::condition_variable woken;
    bool stopping = false;
    std::array<uint64_t, fault_kinds> counts{};
    std::thread worker;
};

} // namespace kest_sim
