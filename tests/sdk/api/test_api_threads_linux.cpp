// A start of the layer that fails because no thread can start: Linux only, where
// glibc's default thread attributes make every new thread fail for real and
// /proc counts the process's threads.
#include "tests/sdk/api/api_harness.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <pthread.h>
#include <system_error>
#include <thread>

using namespace kest_test;

namespace {

class ApiThreads : public ApiTest {};

auto thread_count() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
}

// Makes every new thread of the process fail to start, for real: the default stack asked of the
// system is larger than the address space.
class threads_cannot_start {
public:
    threads_cannot_start() {
        pthread_getattr_default_np(&saved);
        pthread_attr_t huge;
        pthread_attr_init(&huge);
        pthread_attr_setstacksize(&huge, size_t{1} << 50);
        pthread_setattr_default_np(&huge);
        pthread_attr_destroy(&huge);
    }
    ~threads_cannot_start() {
        pthread_setattr_default_np(&saved);
        pthread_attr_destroy(&saved);
    }

private:
    pthread_attr_t saved;
};

} // namespace

TEST_F(ApiThreads, FailedStartLeavesNothingRunning) {
    const auto threads_before = thread_count();
    {
        threads_cannot_start no_threads;
        try {
            std::thread([] {}).join();
            GTEST_SKIP() << "this platform starts threads whatever their default stack";
        } catch (const std::system_error &) {
        }
        EXPECT_EQ(lidar_system_init(nullptr), -1);
    }
    // At most as many: a notification thread of an earlier test may end meanwhile.
    EXPECT_LE(thread_count(), threads_before) << "nothing of the failed start runs";
    lidar_device_info_t info{};
    lidar_device_t *handle = nullptr;
    EXPECT_EQ(lidar_create_device(&info, &handle), -1) << "the layer is not up";
    EXPECT_EQ(lidar_system_init(nullptr), 0) << "a later start succeeds";
}
