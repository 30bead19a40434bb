// Start, join and refusal of named worker threads.
#include "sdk/common/thread/thread.h"
#include "tests/support/log_capture.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <pthread.h>

namespace {

class Thread : public kest_test::logged_test {};

// Holds its thread until the test opens the gate, so the test decides when it ends.
struct gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    bool entered = false;
    multhreadsw *owner = nullptr;
    int join_result = 0;
    char os_name[16] = {};

    void wait_open() {
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [this] { return open; });
    }
    bool wait_entered() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kest_test::scaled(std::chrono::seconds(30)),
                                [this] { return entered; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        changed.notify_all();
    }
};

void *hold_at_gate(void *argument) {
    auto *g = static_cast<gate *>(argument);
    pthread_getname_np(pthread_self(), g->os_name, sizeof g->os_name);
    g->wait_open();
    return nullptr;
}

void *join_self(void *argument) {
    auto *g = static_cast<gate *>(argument);
    g->wait_open();
    g->join_result = g->owner->nst_join();
    return nullptr;
}

} // namespace

TEST_F(Thread, StartsNamedThreadAndJoinsIt) {
    multhreadsw idle;
    EXPECT_EQ(idle.nst_join(), 0) << "a never started object joins at once";
    EXPECT_FALSE(idle.started());

    gate g;
    multhreadsw worker;
    ASSERT_EQ(worker.nst_create(hold_at_gate, "event_monitor_routine", &g), 0);
    EXPECT_TRUE(worker.started());
    EXPECT_STREQ(worker.thread_name(), "event_monitor_routine");
    ASSERT_TRUE(g.wait_entered()) << "the entry function never ran";
    EXPECT_STREQ(g.os_name, "event_monitor_r") << "the system keeps the first 15 characters";
    g.release();
    EXPECT_EQ(worker.nst_join(), 0);
    EXPECT_FALSE(worker.started());
    EXPECT_EQ(worker.nst_join(), 0) << "a second join is a no-op";
    EXPECT_TRUE(kest_test::captured_lines().empty());

    std::string long_name(200, 'n');
    ASSERT_EQ(worker.nst_create(hold_at_gate, long_name.c_str(), &g), 0);
    EXPECT_EQ(strlen(worker.thread_name()), multhreadsw::name_capacity - 1);
    EXPECT_EQ(worker.nst_join(), 0);
    EXPECT_EQ(worker.nst_create(nullptr, "no_entry", nullptr), -1);
    EXPECT_FALSE(worker.started());
    EXPECT_TRUE(kest_test::log_contains("Thread creation failed: no entry function"));
}

TEST_F(Thread, RefusesToStartOverARunningThreadOrToJoinItself) {
    gate first;
    gate second;
    multhreadsw worker;
    ASSERT_EQ(worker.nst_create(hold_at_gate, "env_debug_thread", &first), 0);
    ASSERT_TRUE(first.wait_entered());

    EXPECT_EQ(worker.nst_create(hold_at_gate, "replacement", &second), -1);
    EXPECT_TRUE(kest_test::log_contains(
        "Thread env_debug_thread is still running; join it before starting replacement."));
    EXPECT_STREQ(worker.thread_name(), "env_debug_thread")
        << "the running thread keeps its identity";

    first.release();
    EXPECT_EQ(worker.nst_join(), 0);
    EXPECT_FALSE(second.entered) << "the refused entry never ran";

    second.release();
    EXPECT_EQ(worker.nst_create(hold_at_gate, "replacement", &second), 0)
        << "after the join it may start again";
    EXPECT_EQ(worker.nst_join(), 0);
    EXPECT_TRUE(second.entered);

    gate g;
    g.owner = &worker;
    ASSERT_EQ(worker.nst_create(join_self, "event_handle_routine", &g), 0);
    g.release();
    ASSERT_EQ(worker.nst_join(), 0);
    EXPECT_EQ(g.join_result, -1);
    EXPECT_TRUE(kest_test::log_contains("Thread event_handle_routine cannot join itself."));
}
