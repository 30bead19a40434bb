// The device layer's public face: lidar_* entry points returning 0 or a
// negative status, the records they take and hand out, and the two callbacks.
//
// Threads. lidar_* calls that talk to the device block until the device answers
// (or a time-out); make them from one thread at a time, never from inside a
// callback below except the attach callback.
#pragma once

#include <cstdint>

// Describes a device; handed to the attach callback and copied into the handle.
// The device layer neither fills nor reads its fields.
struct lidar_device_info_t {
    uint8_t opaque[128];
    double opaque_value;
};
static_assert(sizeof(lidar_device_info_t) == 136, "lidar_device_info_t is 136 bytes");

// One buffer of a stream record.
struct lidar_stream_entry_t {
    uint32_t size;
    uint64_t value1;
    uint64_t timestamp;
    uint64_t timestamp2;
    const uint8_t *data;
    uint32_t param1;
    uint32_t param2;
};

// Stream type ids (also the argument of lidar_activate_stream_type).
enum lidar_stream_type : uint32_t {
    LIDAR_STREAM_IMAGE = 2,
    LIDAR_STREAM_IMU = 4,
    LIDAR_STREAM_DTOF = 8,
    LIDAR_STREAM_SLAM_CLOUD = 16,
    LIDAR_STREAM_ODOMETRY = 32,
    LIDAR_STREAM_DEVICE_INFO = 64,
    LIDAR_STREAM_HF_ODOMETRY = 128,
    LIDAR_STREAM_WIWC = 512,
};

constexpr uint32_t LIDAR_MAX_ENTRIES = 4;

struct lidar_stream_data_t {
    uint32_t type;
    uint32_t count; // entries in use
    lidar_stream_entry_t entries[LIDAR_MAX_ENTRIES];
};

// IMU record of a type-4 stream record: accelerometer and gyroscope values, then
// two 64-bit values of the device.
struct lidar_imu_record_t {
    float values[6];
    uint64_t words[2];
};
static_assert(sizeof(lidar_imu_record_t) == 40, "the IMU record is 40 bytes");

// Stream callback: runs on the layer's callback thread, one record at a time in
// arrival order. The record and its buffers are valid only during the call
// (copy what you keep). It must not call lidar_* functions that talk to the
// device and should return quickly: while it runs, records queue up (64 at most,
// the oldest dropped).
typedef void (*lidar_stream_cb)(const lidar_stream_data_t *data, void *context);

struct lidar_stream_callback_t {
    lidar_stream_cb callback;
    void *context;
};

// Attach callback: runs on a thread of its own for every soft attach (true) and
// every detach or soft detach (false); it may make blocking lidar_* requests.
// Calls never overlap: each waits for the one before it, so they come in the
// order of their events. info is valid during the call.
typedef void (*lidar_attach_cb)(const lidar_device_info_t *info, bool attached);

struct lidar_device_t {
    lidar_device_info_t info;
    lidar_stream_cb stream_callback;
    void *stream_context;
    uint32_t mode;
    uint8_t streaming;
};

struct lidar_imu_parameter_t {
    uint32_t odr;
    uint32_t accel_fsr;
    uint32_t gyro_fsr;
};

int lidar_system_init(lidar_attach_cb attach_callback);
int lidar_system_deinit();
int lidar_create_device(const lidar_device_info_t *info, lidar_device_t **out);
// Frees the handle; records still queued for it are dropped, and a delivery to
// it in progress is waited for (unless called from inside that delivery).
int lidar_destory_device(lidar_device_t *device);
int lidar_open_device(lidar_device_t *device);
int lidar_close_device(lidar_device_t *device);
int lidar_set_mode(lidar_device_t *device, int mode);
int lidar_start_stream(lidar_device_t *device, uint32_t stream, uint32_t *rate);
int lidar_stop_stream(lidar_device_t *device, int stream);
int lidar_activate_stream_type(lidar_device_t *device, int type);
int lidar_register_stream_callback(lidar_device_t *device, const lidar_stream_callback_t *callback);
int lidar_unregister_stream_callback(lidar_device_t *device);
int lidar_get_calib_file(lidar_device_t *device, const char *directory);
int lidar_get_version(lidar_device_t *device);
int lidar_set_imu_parameter(lidar_device_t *device, const lidar_imu_parameter_t *parameter);
int lidar_set_depth_parameter(lidar_device_t *device, const uint32_t *parameter);
