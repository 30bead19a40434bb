// Start, join and refusal of named worker threads.
#include "sdk/common/platform/platform.h"
#include "sdk/common/thread/thread.h"
#include "tests/support/log_capture.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <string>

namespace {

class Thread : public kest_test::logged_test {};

// Holds its thread until the test opens it, so the test decides when it ends.
struct gate {
    std::promise<void> entering, opening;
    std::future<void> entered = entering.get_future();
    std::shared_future<void> open = opening.get_future().share();
    std::string os_name;
    multhreadsw *owner = nullptr; // for join_self
    int join_result = 0;

    bool wait_entered() {
        return entered.wait_for(kest_test::patience()) == std::future_status::ready;
    }
};

void *hold_at_gate(void *argument) {
    auto *g = static_cast<gate *>(argument);
    g->os_name = platform_thread_name();
    g->entering.set_value();
    g->open.wait();
    return nullptr;
}

void *join_self(void *argument) {
    auto *g = static_cast<gate *>(argument);
    g->open.wait();
    g->join_result = g->owner->nst_join();
    return nullptr;
}

void *nothing(void *) {
    return nullptr;
}

} // namespace

TEST_F(Thread, StartsNamedThreadAndJoinsIt) {
    multhreadsw worker;
    EXPECT_EQ(worker.nst_join(), 0) << "a never started object joins at once";
    gate g;
    ASSERT_EQ(worker.nst_create(hold_at_gate, "event_monitor_routine", &g), 0);
    ASSERT_TRUE(g.wait_entered()) << "the entry function never ran";
    EXPECT_EQ(g.os_name, "event_monitor_r") << "the system keeps the first 15 characters";
    g.opening.set_value();
    EXPECT_EQ(worker.nst_join(), 0);
    EXPECT_FALSE(worker.started());
    EXPECT_EQ(worker.nst_join(), 0) << "a second join is a no-op";

    std::string long_name(200, 'n');
    ASSERT_EQ(worker.nst_create(nothing, long_name.c_str(), nullptr), 0);
    EXPECT_EQ(strlen(worker.thread_name()), multhreadsw::name_capacity - 1);
    EXPECT_EQ(worker.nst_join(), 0);
    EXPECT_EQ(worker.nst_create(nullptr, "no_entry", nullptr), -1);
    EXPECT_FALSE(worker.started());
}

TEST_F(Thread, RefusesToStartOverARunningThreadOrToJoinItself) {
    gate first, second;
    multhreadsw worker;
    ASSERT_EQ(worker.nst_create(hold_at_gate, "env_debug_thread", &first), 0);
    ASSERT_TRUE(first.wait_entered());
    EXPECT_EQ(worker.nst_create(hold_at_gate, "replacement", &second), -1);
    EXPECT_STREQ(worker.thread_name(), "env_debug_thread")
        << "the running thread keeps its identity";
    first.opening.set_value();
    EXPECT_EQ(worker.nst_join(), 0);
    EXPECT_NE(second.entered.wait_for(std::chrono::seconds(0)), std::future_status::ready)
        << "the refused entry never ran";

    gate g;
    g.owner = &worker;
    ASSERT_EQ(worker.nst_create(join_self, "event_handle_routine", &g), 0);
    g.opening.set_value();
    ASSERT_EQ(worker.nst_join(), 0);
    EXPECT_EQ(g.join_result, -1);
}
