#include "sdk/common/platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
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

int platform_open_append(const char *path) {
    return open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

long long platform_write(int fd, const void *data, size_t size) {
    return write(fd, data, size);
}

long long platform_regular_file_size(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode) ? status.st_size : -1;
}

int platform_truncate(int fd, uint64_t size) {
    return ftruncate(fd, static_cast<off_t>(size)) == 0 || errno == EINVAL ? 0 : errno;
}

int platform_flush_to_disk(int fd) {
    return fdatasync(fd) == 0 || errno == EINVAL || errno == EROFS ? 0 : errno;
}

void platform_close(int fd) {
    close(fd);
}

void platform_ignore_broken_pipe() {
    signal(SIGPIPE, SIG_IGN);
}

namespace {
void (*quit_handler)() = nullptr;
}

void platform_on_quit_request(void (*on_quit)()) {
    quit_handler = on_quit;
    struct sigaction action {};
    action.sa_handler = [](int) { quit_handler(); };
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void platform_attach_console() {}

std::string platform_program_path() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    return length > 0 && static_cast<size_t>(length) < sizeof path ? std::string(path, length)
                                                                   : std::string();
}

void platform_set_thread_name(const char *name) {
    pthread_setname_np(pthread_self(), name);
}

std::string platform_thread_name() {
    char name[64] = {};
    return pthread_getname_np(pthread_self(), name, sizeof name) == 0 ? name : "";
}

std::string platform_state_home() {
    const char *state = getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] != '\0')
        return state;
    const char *home = getenv("HOME");
    return home != nullptr && home[0] != '\0' ? std::string(home) + "/.local/state" : std::string();
}

unsigned long platform_thread_id() {
    return static_cast<unsigned long>(syscall(SYS_gettid));
}
