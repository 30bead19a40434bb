// Rate-limited reports of dropped stream records (see the header).
#include "app/stream_decoding_input.h"

#include <atomic>
#include <cstddef>

namespace StreamDecoding {

namespace {

constexpr size_t drop_kind_count = static_cast<size_t>(DropKind::Wiwc) + 1;

DropBudget budgets[drop_kind_count] = {
    DropBudget(DROP_REPORT_INTERVAL), DropBudget(DROP_REPORT_INTERVAL),
    DropBudget(DROP_REPORT_INTERVAL), DropBudget(DROP_REPORT_INTERVAL),
    DropBudget(DROP_REPORT_INTERVAL), DropBudget(DROP_REPORT_INTERVAL),
};
std::atomic<DropClock> clock_now{nullptr};

std::chrono::steady_clock::time_point now() {
    DropClock clock = clock_now.load();
    return clock != nullptr ? clock() : std::chrono::steady_clock::now();
}

} // namespace

DropAdmission admitDrop(DropKind kind) {
    return budgets[static_cast<size_t>(kind)].admit(now());
}

void resetDropReports(DropClock clock) {
    clock_now.store(clock);
    for (DropBudget &budget : budgets)
        budget.reset();
}

} // namespace StreamDecoding
