// The device layer's public API: what an application needs to bring the layer
// up, take hold of the scanner once it answers, configure it and receive its
// data streams. Read this file first; the rest of sdk/ is internal.
//
// Return codes. Every lidar_* function returns 0 on success and -1 on failure;
// the one exception is lidar_get_calib_file, which returns -2 when its
// destination folder does not exist and cannot be created. Every failure is
// also logged at ERROR through the logger, under the function's name.
//
// Attach and detach. A plugged-in scanner is not yet usable. The layer sends it
// a heartbeat every 125 ms; once the device answers it counts as attached (soft
// attach) and the attach callback is called with attached true: that is where
// the application creates its handle and runs its attach sequence. The callback
// is called with attached false when the device is unplugged, and when it stops
// answering: a device that has not answered a heartbeat within 125 ms is
// declared gone (soft detach) about 10 ms later.
//
// Requests. The functions marked "Request" send a control command to the device
// and block their caller until the device answers:
//   - up to 10 s for each answer; no answer by then is a failure (-1);
//   - -1 at once when the layer is not initialised, the handle is null, no
//     device is plugged in, or the heartbeat declared the device gone more
//     than a second ago and it has not spoken since;
//   - -1 as soon as, while the caller waits, the device is unplugged or
//     lidar_system_deinit runs, or one second after the heartbeat declared the
//     device gone if it has stayed silent (a device busy for a moment keeps
//     the request).
// The device accepts a command with an OK answer; any other answer is a refusal
// (-1). Every request that goes out also prints one line to standard output:
// "recv_cmd thread id:[zev_sdk::sender::recv_cmd] Thread ID: <thread id>".
// The layer does not serialise requests: make them from one thread at a time.
//
// Threads. Application code runs on two kinds of the layer's threads:
//   - the attach callback, on a thread of its own per event ("lidar_attach" or
//     "lidar_detach"); the calls never overlap and come in the order of their
//     events. Every lidar_* function but lidar_system_init may be called there.
//   - the stream callback, on the one callback thread ("lidar_callback"). No
//     request, and neither lidar_system_init nor lidar_system_deinit, may be
//     called there.
// The layer's other threads (USB transport, heartbeat, SLAM synchronizer) never
// run application code; a request made on them could never be answered.
//
// Typical use (the viewer's own sequence):
//   - at start: lidar_system_init(on_attach);
//   - on_attach(info, true): lidar_create_device, lidar_open_device,
//     lidar_get_calib_file, lidar_get_version, lidar_set_mode,
//     lidar_register_stream_callback, lidar_set_depth_parameter,
//     lidar_set_imu_parameter, lidar_start_stream, lidar_activate_stream_type;
//   - on_attach(info, false): lidar_destory_device;
//   - at shutdown: lidar_stop_stream, lidar_unregister_stream_callback,
//     lidar_close_device, lidar_destory_device, lidar_system_deinit.
//
// Standard output. Besides the request line above and the lines named under
// lidar_set_mode and lidar_get_version, the layer prints progress lines such as
// "sender connect." and "sender disconnect." when the device is plugged in or out.
#pragma once

#include <cstdint>

// Describes a device: the attach callback receives one, valid during the call,
// and lidar_create_device copies it into the handle. The device layer neither
// fills nor reads its fields: the record handed to the attach callback is all
// zero.
struct lidar_device_info_t {
    uint8_t opaque[128];
    double opaque_value;
};
static_assert(sizeof(lidar_device_info_t) == 136, "lidar_device_info_t is 136 bytes");

// One buffer of a stream record. What each field holds depends on the stream
// type: see the table above lidar_stream_data_t. Fields a type does not fill are
// 0. All fields are in host byte order.
struct lidar_stream_entry_t {
    uint32_t size; // byte count of the buffer at data
    uint64_t value1;
    uint64_t timestamp;
    uint64_t timestamp2;
    const uint8_t *data; // size bytes; null when size is 0
    uint32_t param1;
    uint32_t param2;
};

// Stream type ids: the type of a stream record, and the argument of
// lidar_activate_stream_type (which accepts 2, 4, 8, 16 and 32 only).
enum lidar_stream_type : uint32_t {
    LIDAR_STREAM_IMAGE = 2,         // camera picture
    LIDAR_STREAM_IMU = 4,           // one IMU sample
    LIDAR_STREAM_DTOF = 8,          // one depth (DTOF) frame
    LIDAR_STREAM_SLAM_CLOUD = 16,   // SLAM point cloud, moved into the world frame
    LIDAR_STREAM_ODOMETRY = 32,     // device pose
    LIDAR_STREAM_DEVICE_INFO = 64,  // device status: temperatures, loads, rates
    LIDAR_STREAM_HF_ODOMETRY = 128, // device pose at a higher rate
    LIDAR_STREAM_WIWC = 512,        // the two transforms used to move SLAM clouds
};

constexpr uint32_t LIDAR_MAX_ENTRIES = 4;

// A stream record, as the stream callback receives it: type is a
// lidar_stream_type, count the entries in use, entries[0..count-1] the buffers.
// Entries past count, and fields that a type does not fill, are 0 (data null).
//
// Where a field comes from the device's buffer header (image, DTOF frame, SLAM
// cloud), the layer has decoded it from big-endian to host order. The bytes at
// data are passed on as the device sent them (the IMU record and the moved SLAM
// points aside, which the layer writes in host order): their multi-byte fields
// are little-endian, floats are IEEE 754. data is a heap block of its own per
// entry; copy fields out with memcpy rather than casting at odd offsets.
//
// Type 2, image. count 1.
//   entries[0]  size        byte count of the picture
//               value1      the device's, passed on unchanged
//               timestamp   capture time, nanoseconds
//               timestamp2  the device's, passed on unchanged
//               param1      width, pixels
//               param2      height, pixels
//               data        NV12 when size == param1 * param2 * 3 / 2 (computed in
//                           uint32_t): the full-resolution luma plane, then the
//                           interleaved half-resolution chroma; otherwise a JPEG file
//
// Type 4, IMU. count 1.
//   entries[0]  size 40; data a lidar_imu_record_t (below), in host order;
//               value1, timestamp, timestamp2, param1, param2 are 0
//
// Type 8, DTOF frame. count 3 or 4, by the device's frame layout. entries[0]
// carries the header; entries[1..count-1] repeat its value1, timestamp,
// timestamp2, param1 and param2 and differ only in size and data:
//               value1      frame id (the viewer labels points with its low 32 bits)
//               timestamp   nanoseconds
//               timestamp2  the device's, passed on unchanged
//               param1      columns, param2 rows: the frame has N = param1 * param2
//                           points (at most 49152), row by row: point i is column
//                           i % param1 of row i / param1
//   count 3 (a 1081380-byte payload; S = entries[0].size, at most 147456):
//     entries[0]  size S; the device's, not interpreted
//     entries[1]  size 786432; points, 16 bytes each: x, y, z as float32 in
//                 millimetres, then a fourth float32 (the device's, not read)
//     entries[2]  size S; intensities, one uint16 per point in point order
//   count 4 (a 934948-byte payload; S = entries[0].size, at most 147968):
//     entries[0]  size S; the device's, not interpreted
//     entries[1]  size 589824; points, 12 bytes each: x, y, z as float32 in
//                 millimetres
//     entries[2]  size S; intensities, one uint8 per point in point order
//     entries[3]  size S; the S payload bytes that start 49152 bytes after those
//                 of entries[2] (so the two overlap when S > 49152); not read
//   Payloads of any other length are dropped.
//
// Type 16, SLAM cloud. count 1. Built from the device's cloud once it is matched
// with an odometry record whose time stamp is within 50 ms of its own, so it
// arrives after that odometry record; a cloud that finds no match is dropped.
//   entries[0]  value1      frame id (the viewer labels points with its low 32 bits)
//               timestamp   nanoseconds; the time matched against the odometry
//               timestamp2, param1, param2: the device's, passed on unchanged
//               size        byte count of the points, a multiple of 28; 0 (data
//                           null) when the device's byte count is not a multiple of 28
//               data        points, 28 bytes each, seven little-endian int32:
//                             offset 0, 4, 8    x, y, z in units of 0.1 mm (1e-4 m)
//                             offset 12, 16, 20 r, g, b: the low byte of each word
//                             offset 24         the device's, not read
//   x, y, z are moved into the world frame by T = O * B * inverse(A), where O is
//   the matched odometry's pose and A and B the matrices of the wiwc record
//   matched to it within 50 ms (or, failing that, the latest wiwc received); the
//   results are rounded to the nearest unit (ties to even) and held at the
//   int32 limits. The points are passed on unmoved when A or B is the identity.
//   A cloud that comes before any wiwc record has arrived (since
//   lidar_system_init) is passed on unmoved, with one WARN log line: the
//   engine's world frame starts at the device's pose when the scan starts, so
//   such a cloud is off by little more than the device moved since.
//
// Type 32, odometry, and type 128, high-frequency odometry. count 1.
//   entries[0]  size 688; data the device's 688-byte record, little-endian:
//                 offset 0            uint64 time stamp, nanoseconds
//                 offset 8, 16, 24    int64 x, y, z: position, micrometres (m * 1e6)
//                 offset 32 .. 56     int64 qx, qy, qz, qw (8 bytes each): orientation
//                                     quaternion * 1e6, not necessarily of unit length
//                 offset 64 .. 687    the device's, not read
//               value1, timestamp, timestamp2, param1, param2 are 0
//   Only type 32 is matched with SLAM clouds.
//
// Type 64, device info. count 1.
//   entries[0]  size 100; data the device's status record, little-endian (its
//               payload bytes 0..7 and 12..103; bytes 8..11 are left out):
//                 offset 0            int32 package temperature, degrees Celsius
//                 offset 4, 8, 12, 16 int32 CPU, centre, GPU, NPU temperature, deg C
//                 offset 20 .. 48     int32 load of CPU cores 0 to 7, percent
//                 offset 52           int32 RAM use, percent
//                 offset 56, 60       int32 camera rate configured, sent; millihertz
//                 offset 64, 68       int32 DTOF frame rate configured, sent; mHz
//                 offset 72           int32 DTOF sub-frame rate, millihertz
//                 offset 76, 78       int16 DTOF transmitter, receiver temp., deg C
//                 offset 80, 84       int32 IMU rate configured, sent; millihertz
//                 offset 88, 92       int32 SLAM cloud, SLAM odometry rate sent; mHz
//                 offset 96           int32 high-frequency odometry rate sent, mHz
//               value1, timestamp, timestamp2, param1, param2 are 0
//
// Type 512, wiwc. count 1.
//   entries[0]  size 688; data the device's 688-byte record, little-endian:
//                 offset 0            uint64 time stamp, nanoseconds
//                 offset 112          A: 3 x 4 row-major float64 matrix [R | t], 96 bytes
//                 offset 400          B: the same form
//                 other bytes         the device's, not read
//               R is a rotation, t a translation in metres (they act on points
//               in metres); value1, timestamp, timestamp2, param1, param2 are 0
//   The layer keeps the latest one to move SLAM clouds (type 16).
//
// Payloads too short for their type are dropped with an ERROR log line.
struct lidar_stream_data_t {
    uint32_t type;
    uint32_t count; // entries in use
    lidar_stream_entry_t entries[LIDAR_MAX_ENTRIES];
};

// The IMU record of a type-4 stream record, in host byte order.
// values[i]: the device's big-endian signed 64-bit value i (payload offset 8 * i)
// converted to float and divided by 1e8 in float arithmetic (100000000 becomes
// 1.0f; a float keeps about 7 significant digits). They are the IMU's
// accelerometer and gyroscope readings; their order, axes and units are the
// device's: the layer only scales them.
// words[0], words[1]: the device's big-endian unsigned 64-bit values at payload
// offsets 48 and 56, passed on unchanged.
struct lidar_imu_record_t {
    float values[6];
    uint64_t words[2];
};
static_assert(sizeof(lidar_imu_record_t) == 40, "the IMU record is 40 bytes");

// Stream callback: runs on the layer's callback thread, one record at a time in
// arrival order, for the current device only (see lidar_create_device). The
// record and its buffers are valid only during the call (copy what you keep). It
// must make no request and call neither lidar_system_init nor
// lidar_system_deinit; lidar_register_stream_callback,
// lidar_unregister_stream_callback and lidar_destory_device may be called. It
// should return quickly: while it runs, records queue up (64 at most; the oldest
// is dropped with a WARN log line).
typedef void (*lidar_stream_cb)(const lidar_stream_data_t *data, void *context);

// A stream callback and the context passed back to it with every record.
struct lidar_stream_callback_t {
    lidar_stream_cb callback;
    void *context;
};

// Attach callback: runs on a thread of its own for every soft attach (true) and
// every detach or soft detach (false); it may make blocking requests. Calls
// never overlap: each waits for the one before it, so they come in the order of
// their events, and a slow call delays the next one. info is valid during the
// call. The first call may come before lidar_system_init has returned (a device
// already plugged in). attached false may come without a true before it (a
// device unplugged before it answered) or twice in a row (a soft detach, then
// the unplug): keep the handle null while there is none (lidar_destory_device
// refuses a null handle with -1).
typedef void (*lidar_attach_cb)(const lidar_device_info_t *info, bool attached);

// The device handle, allocated by lidar_create_device and freed by
// lidar_destory_device. The application may read it but never writes it.
struct lidar_device_t {
    lidar_device_info_t info; // copy of the record passed to lidar_create_device
    lidar_stream_cb stream_callback;
    void *stream_context;
    uint32_t mode;     // last mode set by a successful lidar_set_mode; 0 at creation
    uint8_t streaming; // 1 from a successful lidar_start_stream to a successful stop
};

// IMU settings for lidar_set_imu_parameter. Each value is a code of the device,
// sent unchanged as the 32-bit argument of its control code; the layer gives the
// codes no meaning and checks no range. The viewer sends {2, 1, 1}.
struct lidar_imu_parameter_t {
    uint32_t odr;       // output data rate code, control code 30
    uint32_t accel_fsr; // accelerometer full-scale range code, control code 31
    uint32_t gyro_fsr;  // gyroscope full-scale range code, control code 32
};

// Brings the layer up: the callback thread, the SLAM synchronizer and, last, the
// USB transport, which looks for the device and starts the heartbeat once it is
// plugged in. attach_callback is kept until lidar_system_deinit; null means no
// notifications.
// Returns 0; -1 when the layer is already initialised, or when its threads or
// the transport cannot start (what was started is stopped again, and a later
// call may succeed).
// Blocks only while the threads start; sends nothing to the device.
// Threads: once, from an application thread (not from a callback).
int lidar_system_init(lidar_attach_cb attach_callback);

// Takes the layer down: stops the SLAM synchronizer; stops the callback thread
// once the stream callback in progress returns (at most one more queued record
// is delivered, the others are dropped); forgets the latest wiwc; stops the
// transport and the heartbeat, which makes every request in flight fail; then
// waits until every attach callback already issued has returned (a WARN log line
// every 10 s while one holds it up). Called from an attach callback it does not
// wait for them, and callbacks for events before it may still run afterwards.
// Destroy the device handle first: once the layer is down, lidar_destory_device
// fails and the handle cannot be freed. A later lidar_system_init starts the
// layer again. Not needed before the process exits.
// Returns 0; -1 when the layer is not initialised.
// Blocks until the callbacks above have returned; there is no fixed bound.
// Threads: an application thread or the attach callback; never the stream
// callback (it would wait for itself).
int lidar_system_deinit();

// Allocates a device handle, copies *info into it and makes it the current
// device: stream records go only to the current device's stream callback, and
// a later lidar_create_device takes that over. The handle starts with mode 0,
// not streaming and without a stream callback. The caller owns it until
// lidar_destory_device.
// Returns 0 with the handle in *out; -1 (out untouched) when the layer is not
// initialised, info or out is null, or memory runs out.
// Does not block; sends nothing to the device.
// Threads: any; the usual place is the attach callback (attached true).
int lidar_create_device(const lidar_device_info_t *info, lidar_device_t **out);

// The name is misspelt on purpose and stays so: applications and logs use it.
// Frees the handle. If it is the current device there is no current device
// afterwards; records still queued for it are dropped (and counted, see
// lidar_statistics_t), and a delivery to it in progress is waited for (unless
// called from inside that delivery). It sends
// nothing to the device (lidar_close_device does). The handle must not be used
// afterwards.
// Returns 0; -1 when the layer is not initialised or device is null (logged as
// "Device handle is null. probably device only usb attach, not soft attach.").
// Blocks at most while the stream callback handles one record.
// Threads: any, the stream callback included; the usual place is the attach
// callback (attached false).
int lidar_destory_device(lidar_device_t *device);

// Request: control code 1 (open device).
// Returns 0 when the device accepts; -1 otherwise (see Requests above).
// Blocks up to 10 s. Threads: the attach callback or one application thread at a
// time; never the stream callback.
int lidar_open_device(lidar_device_t *device);

// Request: control code 2 (close device). Leaves the handle as it is.
// Returns 0 when the device accepts; -1 otherwise (see Requests above).
// Blocks up to 10 s. Threads: the attach callback or one application thread at a
// time; never the stream callback.
int lidar_close_device(lidar_device_t *device);

// Sets the scan mode: 0 SLAM, 1 DTOF. Request: control code 11 for mode 0, 12
// for mode 1. On success stores the mode in device->mode and prints
// "set device mode <mode> success." to standard output.
// Returns 0 when the device accepts; -1 for any other mode (nothing sent) and
// otherwise as under Requests above.
// Blocks up to 10 s. Threads: the attach callback or one application thread at a
// time; never the stream callback.
int lidar_set_mode(lidar_device_t *device, int mode);

// Starts the device's streams. Request: control code 7; stream only appears in
// the failure log line (the request is the same for every value; the viewer
// passes 1). When the device's OK answer carries a 4-byte value (a
// little-endian uint32), it is stored in *rate: the device's depth (DTOF)
// sub-frame output rate, in the device's unit. When the answer carries none, or
// the call fails, *rate is left untouched: set it before the call. On success
// device->streaming becomes 1, and lidar_set_imu_parameter and
// lidar_set_depth_parameter are refused until lidar_stop_stream.
// Returns 0 when the device accepts; -1 when rate is null (nothing sent) and
// otherwise as under Requests above.
// Blocks up to 10 s. Threads: the attach callback or one application thread at a
// time; never the stream callback.
int lidar_start_stream(lidar_device_t *device, uint32_t stream, uint32_t *rate);

// Stops the device's streams. Request: control code 8; stream only appears in
// the failure log line. On success device->streaming becomes 0.
// Returns 0 when the device accepts; -1 otherwise (see Requests above).
// Blocks up to 10 s. Threads: the attach callback or one application thread at a
// time; never the stream callback.
int lidar_stop_stream(lidar_device_t *device, int stream);

// Asks the device to send one stream type. Request, with the control code of the
// type: 2 image -> 6, 4 IMU -> 20, 8 DTOF frame -> 4, 16 SLAM cloud -> 24,
// 32 odometry -> 22.
// Returns 0 when the device accepts; -1 for any other type (nothing sent) and
// otherwise as under Requests above.
// Blocks up to 10 s. Threads: the attach callback or one application thread at a
// time; never the stream callback.
int lidar_activate_stream_type(lidar_device_t *device, int type);

// Copies *callback (function and context) into the handle, replacing any earlier
// pair. Records reach it while the handle is the current device.
// Returns 0; -1 when the layer is not initialised or device or callback is null.
// Does not block (a short lock); sends nothing to the device.
// Threads: any, the stream callback included.
int lidar_register_stream_callback(lidar_device_t *device, const lidar_stream_callback_t *callback);

// Clears the handle's stream callback (the context stays): records produced from
// now on are dropped. Records already queued are still delivered to the old
// callback, and one may be in delivery; lidar_destory_device drops the queued
// ones and waits for the delivery.
// Returns 0; -1 when the layer is not initialised or device is null.
// Does not block (a short lock); sends nothing to the device.
// Threads: any, the stream callback included.
int lidar_unregister_stream_callback(lidar_device_t *device);

// Fetches the device's factory calibration file into <directory>/calib.yaml
// (the viewer uses "./files/recv"). Creates directory and its missing parents
// if needed (they stay even if the fetch fails), opens the file (truncating an
// old one), then the request: control code 16, answered by the file in one
// message (at most 3 MiB). Writes it, checks its MD5 against the one the device
// sent, and answers the device OK or FAIL.
// directory must not be null; the path is cut at 255 characters.
// Returns 0 with a verified file; -2 when directory does not exist and cannot be
// created; -1 on any other failure (layer not initialised, device null, no device
// plugged in, file cannot be opened, request failed, answer not a file or of the
// wrong length, write error, MD5 mismatch). After a failure calib.yaml may hold a
// partial or unverified file.
// Blocks up to 10 s for the file (about 3 s on a full-speed USB link; see
// Requests above), then while it is written and hashed. Threads: the attach
// callback or one application thread at a time; never the stream callback.
int lidar_get_calib_file(lidar_device_t *device, const char *directory);

// Reads the device's versions. Request: control code 27; succeeds only when the
// device answers OK with its 156-byte version record. Then prints to standard
// output, each as "\n [device_version]: <line> \n": kernel_version:V<a>.<b>.<c>,
// mcu_version, soc_app_version, Daemon_proc_version and slam_algo_version in the
// same form, then iq_md5: <text>. The versions are not returned.
// Returns 0 when the device accepts; -1 otherwise (see Requests above).
// Blocks up to 10 s. Threads: the attach callback or one application thread at a
// time; never the stream callback.
int lidar_get_version(lidar_device_t *device);

// The versions lidar_get_version prints, as numbers: major, minor, patch each.
struct lidar_version_t {
    int32_t soc_app[3];
    int32_t kernel[3];
    int32_t mcu[3];
    int32_t daemon[3];
    int32_t slam_algo[3];
    char iq_md5[37]; // NUL-terminated
};

// lidar_get_version, which also fills *out (when not null) with what it
// printed; *out is left alone when it fails. Same blocking and threads.
int lidar_get_version_info(lidar_device_t *device, lidar_version_t *out);

// Sets the IMU: three requests, control code 30 with parameter->odr, 31 with
// accel_fsr, 32 with gyro_fsr. It stops at the first refusal; settings sent
// before it stay applied.
// Returns 0 when the device accepts all three; -1 when the layer is not
// initialised, device or parameter is null, the device is streaming (nothing
// sent; see lidar_start_stream), or a request fails or is refused.
// Blocks up to 10 s per request (30 s in all). Threads: the attach callback or
// one application thread at a time; never the stream callback.
int lidar_set_imu_parameter(lidar_device_t *device, const lidar_imu_parameter_t *parameter);

// Request: control code 33 with *parameter, a code of the device sent unchanged
// (the viewer sends 0).
// Returns 0 when the device accepts; -1 when the layer is not initialised,
// device or parameter is null, the device is streaming (nothing sent), or the
// request fails or is refused.
// Blocks up to 10 s. Threads: the attach callback or one application thread at a
// time; never the stream callback.
int lidar_set_depth_parameter(lidar_device_t *device, const uint32_t *parameter);

// What the layer had to give up since the last lidar_system_init, for a host
// that shows whether the device and the host keep up.
struct lidar_statistics_t {
    // Frames, frame groups and messages from the device dropped as malformed
    // (bad magic, checksum or length, a broken group, a payload too short for
    // its type).
    uint64_t device_dropped;
    // Stream records never delivered to the stream callback: it fell behind
    // (the queue of 64 was full), or they were still queued when their device
    // handle was destroyed or the layer de-initialised.
    uint64_t callback_dropped;
    // Devices seen on the bus that could not be opened or whose interface could
    // not be claimed (no permission, another program holds it).
    uint64_t open_failures;
    // The libusb error code of the last of those failures; 0 when none.
    int last_open_error;
    // The device's clouds that never became SLAM cloud records: no odometry
    // matched them within 50 ms, the synchronizer's queue was full, a clock
    // jump or a stop of streaming cleared them, or they held no points.
    uint64_t cloud_dropped;
};

// Fills *out. Returns 0; -1 when out is null. Counting goes on from one
// lidar_system_init to the next; before the first, every count is 0.
// Never blocks. Threads: any.
int lidar_get_statistics(lidar_statistics_t *out);
