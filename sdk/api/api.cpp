// The lidar_* entry points: bring-up and shutdown of the device layer, the
// device handle, and the requests that configure the device.
#include "sdk/api/api.h"

#include "sdk/api/api_context.h"
#include "sdk/api/stream_layout.h"
#include "sdk/common/byte_order.h"
#include "sdk/common/stats/counters.h"
#include "sdk/logger/console.h"
#include "sdk/logger/logger.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>

namespace {

constexpr int env_debug_sleep_s = 1;
constexpr uint32_t version_record_bytes = 156;
constexpr size_t version_entry_bytes = 24;
constexpr size_t version_md5_offset = 120;
constexpr size_t version_md5_bytes = 36;

using message = std::unique_ptr<uint8_t, decltype(&free)>;

// The common checks. Macros, so that the log line names the entry point.
#define REQUIRE_INITIALIZED()                                                                      \
    do {                                                                                           \
        if (!context().initialized) {                                                              \
            log_print(ERROR, "SDK not initialized.\n");                                            \
            return -1;                                                                             \
        }                                                                                          \
    } while (0)

#define REQUIRE_DEVICE(device)                                                                     \
    do {                                                                                           \
        REQUIRE_INITIALIZED();                                                                     \
        if ((device) == nullptr) {                                                                 \
            log_print(ERROR, "Device handle is null.\n");                                          \
            return -1;                                                                             \
        }                                                                                          \
    } while (0)

// Parameters may change only while the device is not streaming.
#define REQUIRE_CONFIGURABLE(device, parameter)                                                    \
    do {                                                                                           \
        REQUIRE_INITIALIZED();                                                                     \
        if ((device) == nullptr || (parameter) == nullptr) {                                       \
            log_print(ERROR, "Device or parameter handle is null.\n");                             \
            return -1;                                                                             \
        }                                                                                          \
        if ((device)->streaming) {                                                                 \
            log_print(ERROR, "Device is streaming.\n");                                            \
            return -1;                                                                             \
        }                                                                                          \
    } while (0)

// Sends a control command and waits for the answer; null when none came.
// on_sent runs once the command has gone out.
message request(uint8_t *command, const std::function<void()> &on_sent = nullptr) {
    message owned(command, free);
    uint8_t *answer = nullptr;
    if (!owned || context().sender.transact(owned.get(), &answer, on_sent) != 0)
        return message(nullptr, free);
    return message(answer, free);
}

bool accepted(const message &answer) {
    return answer && get_be16(answer.get()) == CMD_OK;
}

bool simple_request(uint16_t code) {
    return accepted(request(context().sender.construct_simple_control_cmd(code)));
}

bool request_with(uint16_t code, uint32_t value) {
    return accepted(request(context().sender.construct_simple_control_cmd_with_u32(code, value)));
}

void *env_debug_thread(void *argument) {
    auto *ctx = static_cast<sdk_context *>(argument);
    std::unique_lock<std::mutex> lock(ctx->env_debug_mutex);
    while (ctx->env_debug_running)
        ctx->env_debug_wake.wait_for(lock, std::chrono::seconds(env_debug_sleep_s));
    return nullptr;
}

} // namespace

sdk_context &context() {
    static sdk_context *instance = new sdk_context;
    return *instance;
}

namespace {

int start_synchronizer(sdk_context &ctx) {
    std::lock_guard<std::mutex> lock(ctx.sync_mutex);
    if (ctx.synchronizer)
        ctx.synchronizer->stop();
    ctx.synchronizer = std::make_unique<zev_sync::n_stream_sync>(slam_sync_config());
    auto clouds_discarded = [](size_t stream, uint64_t count) {
        if (stream == SLAM_STREAM_CLOUD)
            sdk_counters::count_cloud_drops(count);
    };
    if (ctx.synchronizer->start(slam_set_handler, nullptr, clouds_discarded) == 0)
        return 0;
    ctx.synchronizer.reset();
    return -1;
}

// A new streaming session: its clock owes nothing to the last one's (another
// device, or one whose clock restarted).
void restart_synchronizer(sdk_context &ctx) {
    std::lock_guard<std::mutex> lock(ctx.sync_mutex);
    if (ctx.synchronizer)
        ctx.synchronizer->restart();
}

void stop_synchronizer(sdk_context &ctx) {
    std::unique_ptr<zev_sync::n_stream_sync> synchronizer;
    {
        std::lock_guard<std::mutex> lock(ctx.sync_mutex);
        synchronizer.swap(ctx.synchronizer);
    }
    if (!synchronizer)
        return;
    synchronizer->stop(); // outside sync_mutex: its last set may still deliver
    synchronizer.reset();
    log_print(INFO, "SLAM synchronizer stopped\n");
}

void stop_env_debug_thread(sdk_context &ctx) {
    if (!ctx.env_debug_running)
        return;
    {
        std::lock_guard<std::mutex> lock(ctx.env_debug_mutex);
        ctx.env_debug_running = false;
    }
    ctx.env_debug_wake.notify_all();
    ctx.env_debug_thread.nst_join();
}

// Undoes a start that failed part-way: what runs is stopped, the layer is
// left as before the start, so a later start may succeed.
void undo_start(sdk_context &ctx) {
    ctx.initialized = false;
    stop_synchronizer(ctx);
    stop_callback_thread();
    stop_env_debug_thread(ctx);
    ctx.attach_callback = nullptr;
}

} // namespace

// The transport starts last, once everything that handles its events runs and
// the layer counts as initialised: a device already plugged in may be soft
// attached at once, and the application's attach sequence must find the layer up.
int lidar_system_init(lidar_attach_cb attach_callback) {
    sdk_context &ctx = context();
    if (ctx.initialized) {
        log_print(ERROR, "SDK already initialized.\n");
        return -1;
    }
    sdk_counters::reset();
    ctx.attach_callback = attach_callback;
    ctx.env_debug_running = true;
    if (ctx.env_debug_thread.nst_create(env_debug_thread, "env_debug_thread", &ctx) != 0) {
        log_print(WARN, "Failed to create env_debug_thread.\n");
        ctx.env_debug_running = false;
    }
    if (start_synchronizer(ctx) != 0) {
        log_print(ERROR, "Failed to start the SLAM synchronizer.\n");
        undo_start(ctx);
        return -1;
    }
    if (start_callback_thread(LOG_ORIGIN) != 0) {
        log_print(ERROR, "Failed to start the callback thread.\n");
        undo_start(ctx);
        return -1;
    }
    ctx.initialized = true;
    if (ctx.sender.sender_init({cmd_data_deal, &ctx.sender}) != 0) {
        log_print(ERROR, "Failed to initialize sender.\n");
        undo_start(ctx);
        return -1;
    }
    log_print(INFO,
              "SLAM synchronizer started (cloud=REQUIRED, odom=REQUIRED, wiwc=OPTIONAL_LATEST)\n");
    return 0;
}

int lidar_system_deinit() {
    REQUIRE_INITIALIZED();
    sdk_context &ctx = context();
    stop_synchronizer(ctx);
    stop_callback_thread();
    {
        std::lock_guard<std::mutex> lock(ctx.wiwc_mutex);
        ctx.wiwc_valid = false;
        ctx.wiwc_missing_told = false;
    }
    // Requests in flight fail now, and no new event comes: the notification
    // threads still running end soon, and the layer is still up for them.
    ctx.sender.sender_deinit();
    ctx.attach_callback = nullptr;
    wait_for_notifications();
    stop_env_debug_thread(ctx);
    ctx.initialized = false;
    return 0;
}

int lidar_create_device(const lidar_device_info_t *info, lidar_device_t **out) {
    REQUIRE_INITIALIZED();
    if (info == nullptr) {
        log_print(ERROR, "Device info is null.\n");
        return -1;
    }
    if (out == nullptr) {
        log_print(ERROR, "Device out pointer is null.\n");
        return -1;
    }
    auto *device = static_cast<lidar_device_t *>(calloc(1, sizeof(lidar_device_t)));
    if (device == nullptr) {
        log_print(ERROR, "Failed to allocate memory for device info.\n");
        return -1;
    }
    device->info = *info;
    *out = device;
    sdk_context &ctx = context();
    std::lock_guard<std::mutex> lock(ctx.device_mutex);
    ctx.current_device = device;
    return 0;
}

int lidar_destory_device(lidar_device_t *device) {
    REQUIRE_INITIALIZED();
    if (device == nullptr) {
        log_print(ERROR,
                  "Device handle is null. probably device only usb attach, not soft attach.\n");
        return -1;
    }
    sdk_context &ctx = context();
    {
        std::lock_guard<std::mutex> lock(ctx.device_mutex);
        if (ctx.current_device == device)
            ctx.current_device = nullptr;
    }
    // Nothing produces for the handle now; what is queued for it goes too.
    forget_device_records(device);
    free(device);
    return 0;
}

int lidar_open_device(lidar_device_t *device) {
    REQUIRE_DEVICE(device);
    if (!simple_request(CTRL_OPEN_DEVICE)) {
        log_print(ERROR, "open device fail.\n");
        return -1;
    }
    log_print(DEBUG, "open device success....\n");
    return 0;
}

int lidar_close_device(lidar_device_t *device) {
    REQUIRE_DEVICE(device);
    if (!simple_request(CTRL_CLOSE_DEVICE)) {
        // Kept verbatim, misspelling included: readers of the log match this text.
        log_print(ERROR, "clsoe device fail.\n");
        return -1;
    }
    log_print(DEBUG, "close device success....\n");
    return 0;
}

int lidar_set_mode(lidar_device_t *device, int mode) {
    log_print(DEBUG, "set device mode %d\n", mode);
    REQUIRE_DEVICE(device);
    if (mode != 0 && mode != 1) {
        log_print(ERROR, "Unknown lidar mode: %x\n", mode);
        return -1;
    }
    uint8_t *command = context().sender.construct_simple_control_cmd(mode == 1 ? CTRL_SET_MODE_1
                                                                               : CTRL_SET_MODE_0);
    log_print(DEBUG, "send control cmd\n");
    log_origin origin = LOG_ORIGIN;
    message answer =
        request(command, [origin] { log_print_from(origin, DEBUG, "waiting recv control cmd\n"); });
    log_print(DEBUG, "recv control cmd\n");
    if (!accepted(answer)) {
        log_print(ERROR, "set device mode %d fail.\n", mode);
        return -1;
    }
    console_print("set device mode %d success.\n", mode);
    log_print(DEBUG, "set device mode success....\n");
    device->mode = static_cast<uint32_t>(mode);
    return 0;
}

int lidar_start_stream(lidar_device_t *device, uint32_t stream, uint32_t *rate) {
    REQUIRE_DEVICE(device);
    if (rate == nullptr) {
        log_print(ERROR, "Stream rate pointer is null.\n");
        return -1;
    }
    // Before the request: the first samples may arrive before its answer.
    restart_synchronizer(context());
    message answer = request(context().sender.construct_simple_control_cmd(CTRL_START_STREAM));
    if (!accepted(answer)) {
        log_print(ERROR, "device start stream %d fail.\n", static_cast<int>(stream));
        return -1;
    }
    if (cmd_payload_len(answer.get()) == 4) {
        uint32_t value = get_le32(answer.get() + CMD_HEADER_SIZE);
        *rate = value;
        if (value != 0)
            log_print(DEBUG, "dtof_subframe_odr: %d\n", static_cast<int>(value));
    }
    log_print(DEBUG, "start stream mode success....\n");
    device->streaming = 1;
    return 0;
}

int lidar_stop_stream(lidar_device_t *device, int stream) {
    REQUIRE_DEVICE(device);
    if (!simple_request(CTRL_STOP_STREAM)) {
        log_print(ERROR, "device stop stream %d fail.\n", stream);
        return -1;
    }
    device->streaming = 0;
    log_print(DEBUG, "stop device stream success....\n");
    return 0;
}

int lidar_activate_stream_type(lidar_device_t *device, int type) {
    REQUIRE_DEVICE(device);
    uint16_t code;
    switch (type) {
    case LIDAR_STREAM_IMAGE:
        code = CTRL_ACTIVATE_IMAGE;
        break;
    case LIDAR_STREAM_IMU:
        code = CTRL_ACTIVATE_IMU;
        break;
    case LIDAR_STREAM_DTOF:
        code = CTRL_ACTIVATE_DTOF;
        break;
    case LIDAR_STREAM_SLAM_CLOUD:
        code = CTRL_ACTIVATE_SLAM;
        break;
    case LIDAR_STREAM_ODOMETRY:
        code = CTRL_ACTIVATE_ODOMETRY;
        break;
    default:
        log_print(ERROR, "Unknown stream type: %d\n", type);
        return -1;
    }
    if (!simple_request(code)) {
        log_print(ERROR, "activate stream type %d fail.\n", type);
        return -1;
    }
    return 0;
}

int lidar_register_stream_callback(lidar_device_t *device,
                                   const lidar_stream_callback_t *callback) {
    REQUIRE_DEVICE(device);
    if (callback == nullptr) {
        log_print(ERROR, "Stream callback is null.\n");
        return -1;
    }
    sdk_context &ctx = context();
    std::lock_guard<std::mutex> lock(ctx.device_mutex);
    device->stream_callback = callback->callback;
    device->stream_context = callback->context;
    return 0;
}

int lidar_unregister_stream_callback(lidar_device_t *device) {
    REQUIRE_DEVICE(device);
    sdk_context &ctx = context();
    std::lock_guard<std::mutex> lock(ctx.device_mutex);
    device->stream_callback = nullptr;
    return 0;
}

int lidar_get_calib_file(lidar_device_t *device, const char *directory) {
    REQUIRE_DEVICE(device);
    return context().sender.sender_get_calib_file_handler(directory);
}

int lidar_get_version(lidar_device_t *device) {
    return lidar_get_version_info(device, nullptr);
}

int lidar_get_version_info(lidar_device_t *device, lidar_version_t *out) {
    REQUIRE_DEVICE(device);
    message answer = request(context().sender.construct_simple_control_cmd(CTRL_GET_VERSION));
    if (!accepted(answer) || cmd_payload_len(answer.get()) != version_record_bytes) {
        log_print(ERROR, "get device version fail.\n");
        return -1;
    }
    const uint8_t *record = answer.get() + CMD_HEADER_SIZE;
    lidar_version_t version{};
    int32_t(*const fields[])[3] = {&version.soc_app, &version.kernel, &version.mcu, &version.daemon,
                                   &version.slam_algo};
    for (size_t entry = 0; entry < std::size(fields); ++entry)
        for (size_t i = 0; i < 3; ++i)
            (*fields[entry])[i] = get_le32s(record + entry * version_entry_bytes + 4 * i);
    static_assert(sizeof version.iq_md5 == version_md5_bytes + 1, "NUL-terminated");
    memcpy(version.iq_md5, record + version_md5_offset, version_md5_bytes);
    const struct {
        const char *format;
        const int32_t (&value)[3];
    } lines[] = {
        {"\n [device_version]: kernel_version:V%d.%d.%d \n", version.kernel},
        {"\n [device_version]: mcu_version:V%d.%d.%d \n", version.mcu},
        {"\n [device_version]: soc_app_version:V%d.%d.%d \n", version.soc_app},
        {"\n [device_version]: Daemon_proc_version:V%d.%d.%d \n", version.daemon},
        {"\n [device_version]: slam_algo_version:V%d.%d.%d \n", version.slam_algo},
    };
    for (const auto &line : lines)
        console_print(line.format, line.value[0], line.value[1], line.value[2]);
    console_print("\n [device_version]: iq_md5: %s \n", version.iq_md5);
    if (out != nullptr)
        *out = version;
    return 0;
}

int lidar_set_imu_parameter(lidar_device_t *device, const lidar_imu_parameter_t *parameter) {
    REQUIRE_CONFIGURABLE(device, parameter);
    if (!request_with(CTRL_SET_IMU_RATE, parameter->odr)) {
        log_print(ERROR, "set imu odr fail.\n");
        return -1;
    }
    if (!request_with(CTRL_SET_IMU_ACC_RANGE, parameter->accel_fsr)) {
        log_print(ERROR, "set imu accel fsr fail.\n");
        return -1;
    }
    if (!request_with(CTRL_SET_IMU_GYRO_RANGE, parameter->gyro_fsr)) {
        log_print(ERROR, "set imu gyro fsr fail.\n");
        return -1;
    }
    log_print(INFO, "set imu parameter success....\n");
    return 0;
}

int lidar_set_depth_parameter(lidar_device_t *device, const uint32_t *parameter) {
    REQUIRE_CONFIGURABLE(device, parameter);
    if (!request_with(CTRL_SET_DEPTH_PARAMETER, *parameter)) {
        log_print(ERROR, "set depth parameter fail.\n");
        return -1;
    }
    return 0;
}

int lidar_get_statistics(lidar_statistics_t *out) {
    if (out == nullptr) {
        log_print(ERROR, "statistics destination is null.\n");
        return -1;
    }
    const sdk_counters::snapshot counts = sdk_counters::read();
    out->device_dropped = counts.device_drops;
    out->callback_dropped = counts.callback_drops;
    out->open_failures = counts.open_failures;
    out->last_open_error = counts.last_open_error;
    out->cloud_dropped = counts.cloud_drops;
    return 0;
}
