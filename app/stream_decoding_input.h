// How the stream decoders read device input: the bytes an entry really holds,
// the little-endian fields that sdk/common/byte_order.h has no helper for, and
// the report of a record dropped because it does not fit its own sizes. That
// report is an ERROR line, but never a flood: a device that sends a bad stream
// sends it at frame rate, so the log gets the first line of each kind, then at
// most one line per DROP_REPORT_INTERVAL carrying the count of those left out
// in between.
#pragma once

#include "app/drop_budget.h"
#include "sdk/api/api.h"
#include "sdk/common/byte_order.h"
#include "sdk/logger/logger.h"

#include <chrono>
#include <cstdint>
#include <cstring>

namespace StreamDecoding {

// The bytes an entry holds: none when its data is missing, whatever its size says.
inline uint32_t bytesPresent(const lidar_stream_entry_t &entry) {
    return entry.data != nullptr ? entry.size : 0;
}

// One report budget per kind of record: a bad DTOF stream does not hide a bad
// image stream.
enum class DropKind {
    SlamCloud,
    DtofFrame,
    Image,
    Odometry,
    DeviceInfo,
    Wiwc,
};

constexpr std::chrono::seconds DROP_REPORT_INTERVAL{5};

// Counts one drop of this kind; admits it to the log if no line of the kind
// was logged within the last DROP_REPORT_INTERVAL. Any thread.
DropAdmission admitDrop(DropKind kind);

using DropClock = std::chrono::steady_clock::time_point (*)();

// Forgets every count and every last line, and takes the time from now (null:
// the steady clock) from here on. For tests, which need a fresh budget and a
// clock they move themselves.
void resetDropReports(DropClock now = nullptr);

} // namespace StreamDecoding

// log_drop(KIND, format, ...): one dropped record of StreamDecoding::DropKind
// KIND, logged at ERROR as log_print would ("." and an end of line are added),
// or only counted (see admitDrop). A line that follows counted drops says so:
// "<text> (N more dropped in the last S s).". Arguments are evaluated only
// when the line is logged.
#define log_drop(kind, format, ...)                                                                \
    do {                                                                                           \
        DropAdmission admission_ = StreamDecoding::admitDrop(kind);                                \
        if (!admission_.log)                                                                       \
            break;                                                                                 \
        if (admission_.before == 0)                                                                \
            log_print(ERROR, format ".\n", ##__VA_ARGS__);                                         \
        else                                                                                       \
            log_print(ERROR, format " (%llu more dropped in the last %lld s).\n", ##__VA_ARGS__,   \
                      admission_.before, admission_.seconds);                                      \
    } while (0)
