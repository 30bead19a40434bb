// The one way tests wait: a patience shared by every test, a condition checked
// until it holds, and a result that says what did not happen when it does not.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

namespace kest_test {

// Generous on purpose: a loaded two-core machine running a sanitizer build must
// never fail a test that is right. A test that passes waits far less.
constexpr std::chrono::seconds patience{10};

// Checks condition until it holds (success) or patience runs out (failure:
// "<what> did not happen within 10 s"): yielding for the first half millisecond,
// then about every millisecond.
testing::AssertionResult eventually(const std::function<bool()> &condition,
                                    const std::string &what);
// The same for what takes its time by design (a recording of ten seconds):
// limit is the patience instead.
testing::AssertionResult eventually(const std::function<bool()> &condition, const std::string &what,
                                    std::chrono::seconds limit);

} // namespace kest_test
