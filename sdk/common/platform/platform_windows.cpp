#include "sdk/common/platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
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

int platform_open_append(const char *path) {
    return _open(path, _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
}

long long platform_write(int fd, const void *data, size_t size) {
    // _write takes at most UINT_MAX bytes; the caller writes the rest in a further call.
    const unsigned int chunk = size > 0x40000000u ? 0x40000000u : static_cast<unsigned int>(size);
    return _write(fd, data, chunk);
}

long long platform_regular_file_size(int fd) {
    struct _stat64 status {};
    return _fstat64(fd, &status) == 0 && (status.st_mode & _S_IFREG) ? status.st_size : -1;
}

int platform_truncate(int fd, uint64_t size) {
    return _chsize_s(fd, static_cast<long long>(size)) == 0 || errno == EINVAL ? 0 : errno;
}

int platform_flush_to_disk(int fd) {
    return _commit(fd) == 0 || errno == EINVAL || errno == EBADF ? 0 : errno;
}

void platform_close(int fd) {
    _close(fd);
}

void platform_ignore_broken_pipe() {}

namespace {
void (*quit_handler)() = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    quit_handler();
    return TRUE;
}
} // namespace

void platform_on_quit_request(void (*on_quit)()) {
    quit_handler = on_quit;
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void platform_attach_console() {
    if (!AttachConsole(ATTACH_PARENT_PROCESS) && !AllocConsole())
        return;
    // The C runtime's streams were closed at start: open them on the console.
    std::FILE *ignored = nullptr;
    freopen_s(&ignored, "CONOUT$", "w", stdout);
    freopen_s(&ignored, "CONOUT$", "w", stderr);
}

std::string platform_program_path() {
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
}

namespace {

// SetThreadDescription and GetThreadDescription came with Windows 10 (1607):
// looked up, not linked.
template <typename Function>
Function kernel_function(const char *name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

} // namespace

void platform_set_thread_name(const char *name) {
    using describe = HRESULT(WINAPI *)(HANDLE, PCWSTR);
    static const auto set_description = kernel_function<describe>("SetThreadDescription");
    if (set_description == nullptr)
        return;
    wchar_t wide[64] = {};
    MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, 63);
    set_description(GetCurrentThread(), wide);
}

std::string platform_thread_name() {
    using read = HRESULT(WINAPI *)(HANDLE, PWSTR *);
    static const auto get_description = kernel_function<read>("GetThreadDescription");
    PWSTR wide = nullptr;
    if (get_description == nullptr || FAILED(get_description(GetCurrentThread(), &wide)))
        return "";
    char name[64] = {};
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, name, sizeof name - 1, nullptr, nullptr);
    LocalFree(wide);
    return name;
}

std::string platform_state_home() {
    const char *local = getenv("LOCALAPPDATA");
    return local != nullptr ? std::string(local) : std::string();
}

unsigned long platform_thread_id() {
    return GetCurrentThreadId();
}
