// What a recording holds and whether it is sound: records, rates, point
// counts, picture sizes, the calibration, and the faults a reader meets
// (sequence gaps, times that go backwards, a record cut off at the end).
// One pass over each file; nothing is held but the figures.
#pragma once

#include "recording/recording_reader.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct RecordFileSummary {
    std::string label;    // "poses", "clouds", "images"
    std::string fileName; // within the recording folder
    bool present = false;
    std::string error; // why it could not be read, if it could not
    uint64_t bytes = 0;
    uint64_t records = 0;
    double firstSeconds = 0, lastSeconds = 0;
    uint64_t gaps = 0;           // places where the sequence skips ahead
    uint64_t missing = 0;        // sequence numbers skipped in all
    uint64_t repeatedOrBack = 0; // sequence numbers not above the one before
    uint64_t timesBackwards = 0; // records whose time is before the one before
    // The stretches of rising time, split where time goes back (the device's
    // clock restarts when it is plugged in again): the first and last time of each.
    std::vector<std::pair<double, double>> segments;
    uint64_t firstSequence = 0, lastSequence = 0;
    std::optional<uint64_t> truncatedAt;
    // Clouds: points per cloud; images: JPEG bytes and the sizes pictures declare.
    uint64_t minCount = 0, maxCount = 0, totalCount = 0;
    uint64_t empty = 0; // clouds without a point
    std::map<std::pair<int, int>, uint64_t> pictureSizes;
    uint64_t undecodable = 0; // pictures without a JPEG frame header

    double rate() const;        // records per second, over the segments' spans
    double spanSeconds() const; // the segments' spans summed
    std::vector<std::string> faults() const;
};

enum class CalibrationState { Missing, Placeholder, Converted };

struct RecordingSummary {
    std::string folder;
    bool isRecording = false; // the folder holds a recording's files
    std::string startedAt;    // "created_at" of image/info.txt, if there
    CalibrationState calibration = CalibrationState::Missing;
    RecordFileSummary poses, clouds, images;

    // The segments' spans summed, each from its earliest record in any file to
    // its latest; where the files disagree on how many segments there are,
    // the longest file's spans.
    double durationSeconds() const;
    size_t segmentCount() const; // the most any file has
    std::vector<std::string> faults() const;
    bool sound() const { return faults().empty(); }
};

RecordingSummary summariseRecording(const std::string &folder);
// Gathers one file's figures; for summariseRecording and the fuzz target.
void summariseRecords(RecordFileReader &reader, RecordKind kind, RecordFileSummary &out);
