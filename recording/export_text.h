// Numbers written as text for other programs, the same whatever the locale
// (a viewer running under a decimal-comma locale still writes 1.5, not 1,5).
#pragma once

#include <charconv>
#include <string>

// Shortest text that reads back as the same float32: at most 9 significant digits.
inline void appendFloat(std::string &out, float value) {
    char text[32];
    const std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
    out.append(text, end.ptr);
}

// value with a fixed number of decimals (times in seconds: 6 for microseconds).
inline void appendFixed(std::string &out, double value, int decimals) {
    char text[64];
    const std::to_chars_result end =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (end.ec == std::errc())
        out.append(text, end.ptr);
    else // beyond 10^57: not a time any recording holds
        appendFloat(out, static_cast<float>(value));
}

inline void appendUnsigned(std::string &out, unsigned long long value) {
    char text[24];
    const std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
    out.append(text, end.ptr);
}
