// The heartbeat's pacing for tests, scaled with the build. The virtual KestOne
// runs in the test's process: under the sanitizers its answers are as late as
// the host's, so the window a test gives it grows with every other time limit.
#pragma once

#include "sdk/comm/protocol/protocol.h"

#include <chrono>

namespace kest_test {

// The window (the device's own 125 ms unless given) and the request grace
// scaled with the build; the poll step as it is.
zev_sdk::heartbeat_timing
scaled_heartbeat(std::chrono::nanoseconds window = zev_sdk::heartbeat_timing{}.window);

// Gives the device layer's sender the scaled pacing (every fixture on the bus does).
void use_scaled_heartbeat();

} // namespace kest_test
