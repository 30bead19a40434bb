#include "sdk/common/platform/platform.h"

#include <cstdlib>
#include <direct.h>
#include <windows.h>

bool platform_make_dir(const char *path) {
    return _mkdir(path) == 0;
}

bool platform_local_time(std::time_t t, std::tm &out) {
    return localtime_s(&out, &t) == 0;
}

bool platform_utc_time(std::time_t t, std::tm &out) {
    return gmtime_s(&out, &t) == 0;
}

bool platform_set_env(const char *name, const char *value) {
    return _putenv_s(name, value != nullptr ? value : "") == 0; // "" removes it
}

unsigned long platform_thread_id() {
    return GetCurrentThreadId();
}
