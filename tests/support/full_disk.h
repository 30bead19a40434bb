// A full disk for one scope: the file size limit stands in for it (EFBIG after what fits), and
// SIGXFSZ is ignored so that the failure reaches the writer instead of ending the process.
#pragma once

#include <sys/resource.h>

#include <csignal>

namespace kest_test {

class full_disk {
public:
    explicit full_disk(rlim_t bytes) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &previous);
        getrlimit(RLIMIT_FSIZE, &old_limit);
        rlimit limit = old_limit;
        limit.rlim_cur = bytes;
        applied = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~full_disk() {
        setrlimit(RLIMIT_FSIZE, &old_limit);
        sigaction(SIGXFSZ, &previous, nullptr);
    }
    full_disk(const full_disk &) = delete;
    full_disk &operator=(const full_disk &) = delete;
    bool active() const { return applied; }

private:
    struct sigaction previous {};
    rlimit old_limit{};
    bool applied = false;
};

} // namespace kest_test
