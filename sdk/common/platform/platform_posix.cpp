#include "sdk/common/platform/platform.h"

#include <cstdlib>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

bool platform_make_dir(const char *path) {
    return mkdir(path, 0755) == 0;
}

bool platform_local_time(std::time_t t, std::tm &out) {
    return localtime_r(&t, &out) != nullptr;
}

bool platform_utc_time(std::time_t t, std::tm &out) {
    return gmtime_r(&t, &out) != nullptr;
}

bool platform_set_env(const char *name, const char *value) {
    return (value != nullptr ? setenv(name, value, 1) : unsetenv(name)) == 0;
}

unsigned long platform_thread_id() {
    return static_cast<unsigned long>(syscall(SYS_gettid));
}
