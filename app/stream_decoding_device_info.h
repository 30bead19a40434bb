// The device status printout of the stream decoding (app/stream_decoding.h):
// temperatures, loads and stream rates of a device info record, on standard
// output.
#pragma once

#include "sdk/api/api.h"

namespace StreamDecoding {

// Prints a device info entry (type 64, 100 bytes) on standard output, one
// "[dev_info]" line per value, in one piece. Returns false, printing nothing,
// for an entry that holds fewer than its 100 bytes.
bool printDeviceInfo(const lidar_stream_entry_t &entry);

} // namespace StreamDecoding
