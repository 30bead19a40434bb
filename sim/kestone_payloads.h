// What the virtual KestOne puts in each stream message: pure functions from a
// stream's inputs (frame number, time, the sensor's path) to the message
// payload. The streamer decides when each is owed; these only say what it holds.
#pragma once

#include "sim/kestone_camera.h"
#include "sim/kestone_frames.h"
#include "sim/kestone_motion.h"
#include "sim/kestone_scan.h"
#include "sim/kestone_scene.h"
#include "sim/kestone_slam.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kest_sim {

struct stream_settings;

// The device's time stamp, in nanoseconds, of a time on its clock (seconds since plug-in).
int64_t device_time(double seconds);

// Odometry and high-frequency odometry alike.
byte_vector odometry_payload(int64_t timestamp, const odometry_sample &sample);
byte_vector wiwc_payload(int64_t timestamp, const wiwc_pair &wiwc);

// SLAM cloud frame number frame of the points given (world frame), sent in
// the sensor's frame at the odometry given, so that the host's
// T = O * B * inverse(A) with the wiwc given puts them back where they were.
byte_vector cloud_payload(uint64_t frame, int64_t timestamp, const odometry_sample &odometry,
                          const std::vector<scan_point> &points, const wiwc_pair &wiwc);
// The points of SLAM cloud frame, scanned t seconds into the sensor's path
// (or, without scans, a window over points spread on the room's surfaces).
std::vector<scan_point> cloud_scan(const stream_settings &settings, uint64_t frame, double t);

// IMU sample number index, taken t seconds into the sensor's path.
byte_vector imu_payload(uint64_t index, int64_t timestamp, double t, const motion_settings &motion);

// A depth frame of the room as the sensor sees it t seconds into its path, in
// the form and size settings ask for (160 x 120 when that size does not fit).
byte_vector dtof_payload(const stream_settings &settings, uint64_t frame, int64_t timestamp,
                         double t);

// Picture number k: a buffer header and the picture's bytes.
byte_vector image_payload(const camera_settings &camera, uint64_t k, int64_t timestamp,
                          const byte_vector &picture);

// The status record t seconds after streaming began, with the configured rates.
byte_vector info_payload(const stream_settings &settings, double t);

// Gives a whole message (header and payload) built earlier the number and time
// stamp of item k; types without either are left as they are.
void restamp_message(byte_vector &message, uint64_t k, int64_t timestamp);

} // namespace kest_sim
