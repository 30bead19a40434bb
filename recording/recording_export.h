// A recording's contents in the formats other programs read: each cloud as its
// own point file or all of them as one map (optionally voxel-thinned), the poses
// as a TUM trajectory, the pictures as numbered JPEG files, or everything as one
// MCAP file of ROS 2 messages. Records that cannot
// be read (a cut-off last record, a read error) end that file's export; what
// came before is exported and the problem reported.
#pragma once

#include "recording/cloud_point.h"
#include "recording/point_file_format.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct CloudExport {
    std::string dir; // empty: no clouds
    PointFileFormat format = PointFileFormat::Ply;
    bool ascii = false;
    bool merge = false; // one file, map.<ext>, instead of one per cloud
    float voxel = 0;    // merge only: the voxel edge in metres, 0 for none
};

struct ExportRequest {
    CloudExport clouds;
    std::string tumPath;  // empty: no trajectory
    std::string imageDir; // empty: no pictures
    std::string mcapPath; // empty: no MCAP file
};

struct ExportReport {
    uint64_t clouds = 0, pointsRead = 0, pointsWritten = 0;
    uint64_t poses = 0, posesWithoutRotation = 0;
    uint64_t images = 0;
    uint64_t messages = 0;             // in the MCAP file
    std::vector<std::string> problems; // what the recording did not give whole
    std::string error;                 // why the export stopped; empty when it finished
};

// Called now and then with the bytes of the recording read so far and in all.
using ExportProgress = std::function<void(uint64_t done, uint64_t total)>;

// folder must hold a recording (see locateRecording).
ExportReport exportRecording(const std::string &folder, const ExportRequest &request,
                             const ExportProgress &progress);

// The parts, for exportRecording: each reads one file and adds to report.
// base is the bytes read before this file, for the progress.
class RecordFileReader;
struct RecordView;
struct ExportStep {
    RecordFileReader &reader;
    ExportReport &report;
    const ExportProgress &progress;
    uint64_t base, total;
    void advanced() const;
};
bool exportClouds(const ExportStep &step, const CloudExport &request);
// A cloud record's points as the view and the voxel filter take them (no
// intensity or label: the recording has none).
std::vector<CloudPoint> cloudPointsOf(const RecordView &cloud);
// Adds what stopped reader before the end of its file, if anything, to report.
void noteEndOfFile(const char *label, const RecordFileReader &reader, uint64_t exported,
                   ExportReport &report);
// stem, index in at least six digits, extension: "cloud_000042.ply".
std::string numberedFileName(const char *stem, uint64_t index, const char *extension);
bool exportTrajectory(const ExportStep &step, const std::string &path);
// A pose record's position and quaternion, the quaternion made of unit length;
// false when it has no direction (all zero, or not finite).
bool unitPose(const RecordView &pose, std::array<double, 7> &values);
bool exportImages(const ExportStep &step, const std::string &dir);
struct RecordingFiles;
bool exportMcap(const RecordingFiles &files, const std::string &path, ExportReport &report,
                const ExportProgress &progress, uint64_t base, uint64_t total);
// "<the recording folder's name>.mcap".
std::string mcapFileName(const std::string &folder);
