// The data layer's stream decoding: turns the device layer's stream records
// (sdk/api/api.h) into what the application consumes, and hands the results to
// the GUI through process-wide latest-value buffers. SLAM and DTOF frames become
// vectors of CloudPoint, camera pictures 8-bit BGR images, odometry a
// PoseRecord; device status records are printed on standard output.
//
// KestDataHandler calls these on the device layer's callback thread, one record
// at a time; the control panel's timers take from the buffers on the GUI
// thread. While a recording is in progress the decoders also build the
// recorder's records (app/stream_decoding_records.h) and return them for the
// recorder's writers.
//
// Everything a record says about its own sizes is checked against the bytes
// its entries hold before anything is read. A record that does not fit is
// dropped with an ERROR log line, limited per kind of record
// (app/stream_decoding_input.h).
#pragma once

#include "app/frame_listener.h"
#include "app/pose_record.h"
#include "app/stream_decoding_device_info.h"
#include "app/stream_decoding_image.h"
#include "app/swap_buffer.h"
#include "recording/cloud_point.h"
#include "sdk/api/api.h"

#include <opencv2/core.hpp>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// The control panel's choice of cloud stream: it only chooses which cloud
// records the application decodes and shows; nothing is sent to the device.
// Other values may arrive through the panel's signal and are kept as they are.
enum class ScanMode : int {
    SLAM = 0,
    DTOF = 1,
};

// The wiwc record, stored as the device sent it and not interpreted.
constexpr size_t WIWC_RECORD_BYTES = 688;
using WiwcRecord = std::array<uint8_t, WIWC_RECORD_BYTES>;

// The hand-off buffers: published on the callback thread, taken on the GUI
// thread. They live from before main until the process exits.
extern SwapBuffer<std::vector<CloudPoint>> g_slamCloudBuffer; // SLAM clouds (type 16)
extern SwapBuffer<std::vector<CloudPoint>> g_dtofCloudBuffer; // DTOF frames (type 8)
extern SwapBuffer<cv::Mat> g_imageBuffer;                     // BGR, 8 bits, 3 channels (type 2)
extern SwapBuffer<PoseRecord> g_poseBuffer;                   // odometry (types 32 and 128)
extern SwapBuffer<WiwcRecord> g_wiwcBuffer;                   // wiwc (type 512); nobody reads it

namespace StreamDecoding {

// Which cloud streams are decoded; the rest are dropped without a trace.
struct StreamFlags {
    bool dtofEnabled = false;
    bool slamEnabled = true;
};

// The flags that follow a scan mode: SLAM decodes SLAM clouds only, DTOF DTOF
// frames only; any other mode leaves current as it is.
StreamFlags streamFlagsFor(ScanMode mode, StreamFlags current);

// Takes over one finished record; an empty writer stands for a missing one.
using RecordWriter = std::function<void(std::vector<uint8_t> &&record)>;

// A recording in progress that has a recorder, as the decoders see it: the
// handler's three sequence counters (the value before the increment numbers a
// record) and the recorder's three writers.
struct RecordingTarget {
    std::atomic<uint32_t> &poseSeq;
    std::atomic<uint32_t> &cloudSeq;
    std::atomic<uint32_t> &imageSeq;
    RecordWriter poseWriter;
    RecordWriter cloudWriter;
    RecordWriter imageWriter;
};

// Decodes one record and publishes what it gives into the buffers above:
//   2 image         decodeImage; published if not empty, recorded while recording
//   4 IMU           ignored
//   8 DTOF frame    decodeDtofCloud if flags.dtofEnabled; published if not empty
//   16 SLAM cloud   decodeSlamCloud if flags.slamEnabled; published if not empty,
//                   recorded while recording
//   32 odometry     decodePose; published if it gave a pose, recorded while recording
//   64 device info  printDeviceInfo
//   128 high-frequency odometry   decodePose; published, never recorded
//   512 wiwc        copied into g_wiwcBuffer if its size is 688
//   any other       "[Lidar] Unknown data type: <type>" on standard output
// recording is null unless a recording is in progress and has a recorder;
// listener, when given, hears of every cloud, plain odometry pose and picture
// published. The record is read only during the call; everything kept is copied.
// Thread: the device layer's callback thread (one record at a time).
void decodeStreamRecord(const lidar_stream_data_t &record, StreamFlags flags,
                        const RecordingTarget *recording, FrameListener *listener = nullptr);

// A SLAM cloud (type 16), and its cloud record when one was asked for.
struct DecodedCloud {
    std::vector<CloudPoint> points;
    std::vector<uint8_t> record; // empty unless cloudSeq was given and points exist
};

// Points of entries[entryIndex]: size / 28 points (a partial tail is left
// out), x, y, z in metres, r, g, b, intensity 0, labelled with the low 32 bits
// of value1. Prints the two progress lines "recv pc2xyzrgba num_points = <n>."
// and "cloud size = <n>." on standard output. With cloudSeq, a cloud that has
// points also gets its cloud record, numbered from cloudSeq.
DecodedCloud decodeSlamCloud(const lidar_stream_data_t &record, size_t entryIndex = 0,
                             std::atomic<uint32_t> *cloudSeq = nullptr);

// Points of a DTOF frame (type 8): columns x rows points from
// entries[pointEntry], grey intensities from entries[pointEntry + 1]; the
// record's count chooses the form (4: 12-byte points and 8-bit intensities,
// else 16-byte points and 16-bit intensities). x, y, z in metres (device z,
// -x, y in millimetres); r, g, b and intensity all the grey value; labelled
// with the low 32 bits of value1. Empty for a frame of zero columns or rows
// (silently) and for one that does not fit its entries (logged).
std::vector<CloudPoint> decodeDtofCloud(const lidar_stream_data_t &record, size_t pointEntry = 1);

// An odometry record (type 32 or 128), and its pose record when one was asked for.
struct DecodedPose {
    std::optional<PoseRecord> pose; // empty for an entry of the wrong size
    std::vector<uint8_t> record;    // empty unless poseSeq was given
};

// The pose of entries[0] (64 or 688 bytes; the first 64 are read). With
// poseSeq (plain odometry only, while recording), also its pose record: the
// position and the quaternion as received, scaled to floats.
DecodedPose decodePose(const lidar_stream_data_t &record, std::atomic<uint32_t> *poseSeq = nullptr);

// A pose from a position in metres, a quaternion of any length (normalised
// here; all zero gives the identity) and a time in nanoseconds.
PoseRecord makePose(double px, double py, double pz, double qw, double qx, double qy, double qz,
                    double time);

// Copies a wiwc entry (type 512) into out. Returns false, leaving out alone,
// for an entry that is not 688 bytes (silently) or has no data (logged).
bool copyWiwc(const lidar_stream_entry_t &entry, WiwcRecord &out);

} // namespace StreamDecoding
