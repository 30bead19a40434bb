// kestinfo: prints what the device layer is and checks its core services on this
// machine (logger, MD5, threads, file system). Exit status 0 when all pass.
#include "sdk/common/file/file.h"
#include "sdk/common/file/md5.h"
#include "sdk/common/platform/platform.h"
#include "sdk/common/thread/thread.h"
#include "sdk/common/version/version.h"
#include "sdk/logger/logger.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

int stdout_sink(const char *format, ...) {
    va_list args;
    va_start(args, format);
    int written = vprintf(format, args);
    va_end(args);
    return written;
}

bool check(const char *what, bool passed) {
    printf("  %-34s %s\n", what, passed ? "ok" : "FAILED");
    return passed;
}

bool md5_matches(const char *message, const char *expected) {
    md5_context context;
    md5_init(&context);
    md5_update(&context, message, strlen(message));
    md5_final(&context);
    char hex[MD5_HEX_SIZE];
    return md5_to_hex(&context, hex) && strcmp(hex, expected) == 0;
}

void *raise_flag(void *argument) {
    static_cast<std::atomic<bool> *>(argument)->store(true);
    return nullptr;
}

bool thread_runs() {
    std::atomic<bool> ran{false};
    multhreadsw worker;
    return worker.nst_create(raise_flag, "kestinfo_check", &ran) == 0 && worker.nst_join() == 0 &&
           ran.load();
}

} // namespace

int main() {
    log_config(KEST_LOG_VALUE_INFO, stdout_sink);
    printf("KestViewer device layer %s\n", kest_sdk_version());
    printf("self-check:\n");

    bool passed = true;
    passed &= check("MD5 of \"abc\"", md5_matches("abc", "900150983cd24fb0d6963f7d28e17f72"));
    passed &=
        check("MD5 of the empty message", md5_matches("", "d41d8cd98f00b204e9800998ecf8427e"));
    char own_md5[MD5_HEX_SIZE] = {};
    bool hashed = get_file_md5(platform_program_path().c_str(), own_md5) == 1;
    passed &= check("MD5 of this program", hashed);
    if (hashed)
        printf("    %s\n", own_md5);
    passed &= check("working directory is a directory", is_dir("."));
    passed &= check("named thread starts and joins", thread_runs());

    log_print(INFO, "self-check %s\n", passed ? "passed" : "FAILED");
    return passed ? 0 : 1;
}
