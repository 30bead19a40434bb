// What differs between the systems the core builds for (Linux; Windows through
// MinGW-w64), behind one set of calls. platform_posix.cpp and
// platform_windows.cpp implement them; the build picks one. Nothing else in
// the device layer, the virtual device or the recording format asks which
// system it runs on.
#pragma once

#include <ctime>

// Creates one folder (its parent must exist), readable by all where the system
// has such modes. True when it was made; errno says why not (EEXIST: it exists).
bool platform_make_dir(const char *path);
// The local and the UTC calendar time of t; false when t has none.
bool platform_local_time(std::time_t t, std::tm &out);
bool platform_utc_time(std::time_t t, std::tm &out);
// The calling thread's number as the system's tools show it.
unsigned long platform_thread_id();
// Sets an environment variable, or removes it for a null value; true on success.
bool platform_set_env(const char *name, const char *value);

// A loop compiled twice, for AVX2 and for any processor, the clone picked as
// the program loads: ELF's ifunc, which Windows lacks (and ThreadSanitizer's
// runtime is not ready for when the picker runs).
#if defined(__SANITIZE_THREAD__) || defined(_WIN32)
#define KEST_VECTOR_CLONES
#else
#define KEST_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#endif

// printf's format checking with C99's formats (%zu, %lld): MinGW's plain
// "printf" archetype means Microsoft's runtime, which lacks them.
#if defined(__MINGW32__)
#define KEST_PRINTF_FORMAT(format_at, args_at)                                                     \
    __attribute__((format(gnu_printf, format_at, args_at)))
#else
#define KEST_PRINTF_FORMAT(format_at, args_at) __attribute__((format(printf, format_at, args_at)))
#endif
