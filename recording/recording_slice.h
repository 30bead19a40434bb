// A span of a recording written as a recording of its own: the records whose
// playing time lies in [from, to] (to the microsecond; seconds from the recording's start, the
// device clock's restarts laid end to end), every file, and the folder's
// image/ files (info.txt and the calibration) as they are.
//
// Each record is copied byte for byte but for its number: a file's numbers
// start again from 0 (the lowest in the span is subtracted), so readers find
// the slice whole and the gaps inside the span stay where they were. Times
// are kept as recorded, so the slice lines up with the original.
#pragma once

#include "recording/recording_timeline.h"

#include <cstdint>
#include <string>

struct SliceCounts {
    uint64_t poses = 0, clouds = 0, images = 0;
};

// Writes the slice into out, a folder that must not exist or be empty; its
// cloud file is "MT" and out's name with ".kvx". False with the reason (what
// was written is removed), and for a span that holds no record.
bool sliceRecording(const RecordingTimeline &timeline, double from_s, double to_s,
                    const std::string &out, SliceCounts &counts, std::string &error);
