// The one way to print a progress line on standard output, beside the logger
// and regardless of its level: connect and disconnect lines, the version dump,
// the views' shader progress, and the like. Users, scripts and tests read these
// lines, so their texts are kept verbatim, misspellings included. Each call is
// flushed at once, so lines of different threads never wait in a buffer.
#pragma once

#include "sdk/common/platform/platform.h"

void console_print(const char *format, ...) KEST_PRINTF_FORMAT(1, 2);

// Turns these lines off (false) or back on, for a program that embeds the
// layer and keeps its own standard output: a script's, say. On by default.
void console_set_enabled(bool enabled);
