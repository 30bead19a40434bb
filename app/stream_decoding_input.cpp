// Rate-limited reports of dropped stream records (see the header).
#include "app/stream_decoding_input.h"

#include <atomic>
#include <cstddef>
#include <mutex>

namespace StreamDecoding {

namespace {

constexpr size_t drop_kind_count = static_cast<size_t>(DropKind::Wiwc) + 1;

struct DropBudget {
    std::mutex mutex;
    bool logged = false; // a line of this kind was logged at lastLine
    std::chrono::steady_clock::time_point lastLine;
    unsigned long long counted = 0; // drops left out since lastLine
};

DropBudget budgets[drop_kind_count];
std::atomic<DropClock> clock_now{nullptr};

std::chrono::steady_clock::time_point now() {
    DropClock clock = clock_now.load();
    return clock != nullptr ? clock() : std::chrono::steady_clock::now();
}

} // namespace

DropAdmission admitDrop(DropKind kind) {
    DropBudget &budget = budgets[static_cast<size_t>(kind)];
    std::chrono::steady_clock::time_point at = now();
    std::lock_guard<std::mutex> lock(budget.mutex);
    if (budget.logged && at - budget.lastLine < DROP_REPORT_INTERVAL) {
        ++budget.counted;
        return DropAdmission{false, 0, 0};
    }
    DropAdmission admission{true, budget.counted, 0};
    if (budget.logged)
        admission.seconds =
            std::chrono::duration_cast<std::chrono::seconds>(at - budget.lastLine).count();
    budget.logged = true;
    budget.lastLine = at;
    budget.counted = 0;
    return admission;
}

void resetDropReports(DropClock clock) {
    clock_now.store(clock);
    for (DropBudget &budget : budgets) {
        std::lock_guard<std::mutex> lock(budget.mutex);
        budget.logged = false;
        budget.counted = 0;
    }
}

} // namespace StreamDecoding
