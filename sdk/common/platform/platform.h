// What differs between the systems the core builds for (Linux; Windows through
// MinGW-w64), behind one set of calls. platform_posix.cpp and
// platform_windows.cpp implement them; the build picks one. Nothing else in
// the device layer, the virtual device or the recording format asks which
// system it runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

// Creates one folder (its parent must exist), readable by all where the system
// has such modes. True when it was made; errno says why not (EEXIST: it exists).
bool platform_make_dir(const char *path);
// The local and the UTC calendar time of t; false when t has none.
bool platform_local_time(std::time_t t, std::tm &out);
bool platform_utc_time(std::time_t t, std::tm &out);
// The running program's file, absolute; empty when the system does not say.
std::string platform_program_path();
// The calling thread's number as the system's tools show it.
unsigned long platform_thread_id();
// Names the calling thread for debuggers and the system's tools (Linux keeps
// 15 characters: the caller cuts the name to fit).
void platform_set_thread_name(const char *name);
// The calling thread's name as the system keeps it ("" when it keeps none).
std::string platform_thread_name();
// Where per-user state (logs) goes: $XDG_STATE_HOME, else ~/.local/state; on
// Windows %LOCALAPPDATA%. Empty when the system names none.
std::string platform_state_home();
// Sets an environment variable, or removes it for a null value; true on success.
bool platform_set_env(const char *name, const char *value);

// A recording's files, written through descriptors by the recorder's threads.
// Opens path for appending bytes as they are (created, readable by all where
// the system has such modes), not inherited by programs this one starts: the
// descriptor, or -1 with errno set.
int platform_open_append(const char *path);
// Writes up to size bytes: how many, or -1 with errno set.
long long platform_write(int fd, const void *data, size_t size);
// The size of the open file when it is a regular file; -1 otherwise.
long long platform_regular_file_size(int fd);
// Cuts the open file back to size bytes: 0, or the errno of a failure (a file
// that cannot be cut, such as a pipe, is not one).
int platform_truncate(int fd, uint64_t size);
// Puts what was written on the disk: 0, or the errno of a failure (a file
// system that cannot, read-only or special, is not one).
int platform_flush_to_disk(int fd);
void platform_close(int fd);

// Writing to a pipe whose reader has gone fails with an error instead of
// ending the program (POSIX's SIGPIPE; Windows has no such signal).
void platform_ignore_broken_pipe();
// Calls on_quit when the user asks the program to stop from outside its
// windows: SIGINT or SIGTERM, or Ctrl-C, Ctrl-Break or closing the console
// on Windows. on_quit may run in a signal handler or on a thread of the
// system's: it may only set a flag (a std::atomic) that the program looks at.
void platform_on_quit_request(void (*on_quit)());
// A GUI program's standard output and error go to the console it was started
// from, or a console of its own ("CONOUT$"): Windows starts a GUI program
// without them. Elsewhere they are already where they belong.
void platform_attach_console();

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
