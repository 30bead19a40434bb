// The one way tests wait: a patience shared by every test, a condition checked
// until it holds, and a result that says what did not happen when it does not.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

namespace kest_test {

// How many times longer than a plain build everything takes in this one: the
// build's factor (1, more under the sanitizers), or KEST_TIME_SCALE from the
// environment when it is set to a whole number of at least 1. Every time limit
// of a test (waits, heartbeat windows, request time-outs) is scaled by it.
int time_scale();

template <typename Rep, typename Period>
std::chrono::duration<Rep, Period> scaled(std::chrono::duration<Rep, Period> limit) {
    return limit * time_scale();
}

// Generous on purpose: a loaded two-core machine must never fail a test that is
// right. 10 s, scaled; a test that passes waits far less.
std::chrono::seconds patience();

// Checks condition until it holds (success) or patience runs out (failure:
// "<what> did not happen within N s"): yielding for the first half millisecond,
// then about every millisecond.
testing::AssertionResult eventually(const std::function<bool()> &condition,
                                    const std::string &what);
// The same for what takes its time by design (a recording of ten seconds):
// limit, scaled, is the patience instead.
testing::AssertionResult eventually(const std::function<bool()> &condition, const std::string &what,
                                    std::chrono::seconds limit);

} // namespace kest_test
