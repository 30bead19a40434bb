#include "tests/support/heartbeat_timing.h"

#include "sdk/api/api_context.h"
#include "tests/support/wait.h"

namespace kest_test {

zev_sdk::heartbeat_timing scaled_heartbeat(std::chrono::nanoseconds window) {
    zev_sdk::heartbeat_timing timing;
    timing.window = scaled(window);
    timing.request_grace = scaled(timing.request_grace);
    return timing;
}

void use_scaled_heartbeat() {
    context().sender.set_heartbeat_timing(scaled_heartbeat());
}

} // namespace kest_test
