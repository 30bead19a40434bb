// A recording laid out in playing time, for the player, the timeline and
// slicing: where each record lies in its file, when it plays, and the places
// worth a mark (the device clock restarting, sequence gaps, a cut-off end).
//
// The device's clock restarts when it is plugged in again, so a recording is
// a run of segments, each starting where time goes back in a file. Segment k
// of every file plays together: it starts where segment k - 1 ended and runs
// from its earliest record in any file to its latest. Records are read
// header by header; nothing but the figures is held.
#pragma once

#include "recording/recording_reader.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct TimelineRecord {
    uint64_t offset = 0; // in its file
    uint64_t bytes = 0;  // the whole record
    double seconds = 0;  // as recorded
    double play = 0;     // seconds from the start of playing
    uint32_t sequence = 0;
    uint32_t segment = 0;
};

enum class MarkerKind { ClockRestart, SequenceGap, SequenceBack, CutOff };

struct TimelineMarker {
    double play = 0;
    MarkerKind kind = MarkerKind::SequenceGap;
    std::string text; // what the user reads on hovering it
};

// The three files, in the order the timeline holds them.
enum TimelineFile : size_t { timelinePoses = 0, timelineClouds = 1, timelineImages = 2 };

struct RecordingTimeline {
    RecordingFiles files;
    std::vector<TimelineRecord> records[3]; // in file order, whole records only
    std::vector<TimelineMarker> markers;    // by play time
    std::vector<double> segmentStarts;      // play times; empty without records
    double length = 0;                      // play seconds from the first record to the last
    // The earliest and latest recorded times, each kept within 0 to 4e9 s (what
    // a device clock holds; a damaged record's time may be anything).
    double firstSeconds = 0, lastSeconds = 0;

    // The index of the first record of file at or after play seconds (its size if none).
    size_t firstAtOrAfter(TimelineFile file, double play) const;
};

// False, with the reason, when folder is not a recording or cannot be read.
bool readTimeline(const std::string &folder, RecordingTimeline &out, std::string &error);
