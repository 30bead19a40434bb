// Sets an environment variable (or unsets it, for nullopt) while it lives.
#pragma once

#include "sdk/common/platform/platform.h"

#include <cstdlib>
#include <optional>
#include <string>

namespace kest_test {

class scoped_env {
public:
    scoped_env(const char *name, std::optional<std::string> value) : name(name) {
        if (const char *old = getenv(name))
            previous = old;
        set(value);
    }
    ~scoped_env() { set(previous); }
    scoped_env(const scoped_env &) = delete;
    scoped_env &operator=(const scoped_env &) = delete;

private:
    void set(const std::optional<std::string> &value) {
        platform_set_env(name, value ? value->c_str() : nullptr);
    }
    const char *name;
    std::optional<std::string> previous;
};

} // namespace kest_test
