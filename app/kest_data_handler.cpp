// The attach and detach sequences, the scan mode and the stream callback.
#include "app/kest_data_handler.h"
#include "app/program_places.h"

#include "sdk/common/platform/platform.h"
#include "sdk/logger/console.h"
#include "sdk/logger/logger.h"

#include <QDir>

namespace {

constexpr uint32_t depthParameter = 0;
constexpr lidar_imu_parameter_t imuParameter{2, 1, 1}; // odr, accel_fsr, gyro_fsr codes
constexpr uint32_t streamNumber = 1;
constexpr int deviceMode = 1;
// The device streams the other types once started; the depth frames are the one
// type the attach sequence activates, and a device may rely on that.
constexpr int activatedStreamType = LIDAR_STREAM_DTOF;

} // namespace

KestDataHandler *KestDataHandler::instance() {
    static KestDataHandler *handler = new KestDataHandler;
    return handler;
}

KestDataHandler::KestDataHandler() : calibDir(programPlaces().calibrationFolder) {}

bool KestDataHandler::initSdk() {
    // The decoders print on standard output; when it is a pipe whose reader
    // has gone, a write must fail, not end the program.
    platform_ignore_broken_pipe();
    return lidar_system_init(attachCallback) == 0;
}

void KestDataHandler::shutdown() {
    onRecordToggled(false);
    {
        // An attach sequence still activating streams finishes first: its
        // requests and these would share one answer channel, and it may still
        // use the handle destroyed here.
        std::lock_guard<std::mutex> sequence(sequenceMutex);
        if (lidar_device_t *device = handle.exchange(nullptr)) {
            lidar_stop_stream(device, streamNumber);
            lidar_unregister_stream_callback(device);
            lidar_close_device(device);
            lidar_destory_device(device);
        }
        state = DeviceState::NoDevice;
    }
    lidar_system_deinit();
}

void KestDataHandler::attachCallback(const lidar_device_info_t *info, bool attached) {
    instance()->handleAttach(info, attached);
}

void KestDataHandler::streamCallback(const lidar_stream_data_t *record, void *context) {
    if (context != nullptr)
        static_cast<KestDataHandler *>(context)->handleStreamData(record);
}

// The device layer calls attach and detach one after another, in the order of
// their events, and lidar_destory_device waits for a record being delivered,
// so the sequences need no lock of their own.
void KestDataHandler::handleAttach(const lidar_device_info_t *info, bool attached) {
    std::lock_guard<std::mutex> sequence(sequenceMutex);
    if (!attached) {
        log_print(INFO, "[Lidar] Device detached\n");
        report(DeviceState::NoDevice, false, "Device disconnected");
        // Taken, not read, so that a shutdown racing this detach cannot destroy it too.
        if (lidar_destory_device(handle.exchange(nullptr)) != 0)
            console_print("destory device failed.\n"); // kept verbatim
        return;
    }
    log_print(INFO, "[Lidar] Device attached\n");
    report(DeviceState::Attaching, false, "Device attached, initializing...");
    if (!createAndOpen(info, LOG_ORIGIN))
        return;
    fetchCalibrationAndVersion(LOG_ORIGIN);
    if (!configure(LOG_ORIGIN) || !startStreaming(LOG_ORIGIN))
        return;
    report(DeviceState::Streaming, true, "Device connected and streaming");
    // Its result is not looked at: the streams already flow, or they do not.
    if (lidar_device_t *device = handle.load())
        lidar_activate_stream_type(device, activatedStreamType);
}

bool KestDataHandler::createAndOpen(const lidar_device_info_t *info, log_origin origin) {
    lidar_device_t *created = nullptr;
    if (lidar_create_device(info, &created) != 0) {
        fail(origin, "[Lidar] Failed to create device.\n", "Failed to create device");
        return false;
    }
    handle = created;
    log_print_from(origin, INFO, "[Lidar] Device created.\n");
    if (lidar_open_device(created) != 0) {
        fail(origin, "[Lidar] Failed to open device.\n", "Failed to open device");
        lidar_unregister_stream_callback(created);
        return false;
    }
    log_print_from(origin, INFO, "[Lidar] Device opened.\n");
    return true;
}

void KestDataHandler::fetchCalibrationAndVersion(log_origin origin) {
    lidar_device_t *device = handle.load();
    calibFetched = false;
    if (lidar_get_calib_file(device, calibDir.toLocal8Bit().constData()) == 0)
        calibFetched = true;
    else
        log_print_from(origin, ERROR, "[Lidar] Failed to get calib file.\n");
    log_print_from(origin, INFO, "[Lidar] Device get calib file.\n");
    lidar_version_t read{};
    const bool known = lidar_get_version_info(device, &read) == 0;
    {
        std::lock_guard<std::mutex> lock(versionMutex);
        versions = known ? std::optional<lidar_version_t>(read) : std::nullopt;
    }
    if (!known)
        log_print_from(origin, ERROR, "get version failed.\n");
    else
        log_print_from(origin, INFO, "get version success.\n");
}

std::optional<lidar_version_t> KestDataHandler::deviceVersions() const {
    std::lock_guard<std::mutex> lock(versionMutex);
    return versions;
}

void KestDataHandler::setFrameListener(std::shared_ptr<FrameListener> listener) {
    std::atomic_store(&frameListener, std::move(listener));
}

bool KestDataHandler::configure(log_origin origin) {
    lidar_device_t *device = handle.load();
    if (lidar_set_mode(device, deviceMode) != 0) {
        fail(origin, "[Lidar] Failed to set mode.\n", "Failed to set device mode");
        lidar_unregister_stream_callback(device);
        return false;
    }
    log_print_from(origin, INFO, "[Lidar] Device set mode.\n");
    lidar_stream_callback_t callback{streamCallback, this};
    if (lidar_register_stream_callback(device, &callback) != 0) {
        fail(origin, "[Lidar] Failed to register stream callback.\n",
             "Failed to register stream callback");
        lidar_close_device(device);
        return false;
    }
    log_print_from(origin, INFO, "[Lidar] Device registered stream callback.\n");
    uint32_t depth = depthParameter;
    if (lidar_set_depth_parameter(device, &depth) != 0) {
        // The status names the failure too, rather than leaving "initializing...".
        fail(origin, "set depth parameter failed.\n", "Failed to set depth parameter", true);
        return false;
    }
    log_print_from(origin, INFO, "[Lidar] lidar_set_depth_parameter.\n");
    if (lidar_set_imu_parameter(device, &imuParameter) != 0) {
        fail(origin, "set imu parameter failed.\n", "Failed to set IMU parameter", true);
        return false;
    }
    log_print_from(origin, INFO, "[Lidar] lidar_set_imu_parameter.\n");
    return true;
}

bool KestDataHandler::startStreaming(log_origin origin) {
    uint32_t subframeRate = 0; // reported by the device, not used here
    if (lidar_start_stream(handle.load(), streamNumber, &subframeRate) != 0) {
        fail(origin, "[Lidar] Failed to start stream.\n", "Failed to start data stream", true);
        return false;
    }
    log_print_from(origin, INFO, "[Lidar] Device started stream.\n");
    return true;
}

// The status goes out last, so whoever sees it sees the handle as it stays.
void KestDataHandler::fail(log_origin origin, const char *line, const char *status, bool destroy) {
    log_print_from(origin, ERROR, "%s", line);
    if (destroy)
        destroyHandle();
    report(DeviceState::Failed, false, status);
}

void KestDataHandler::report(DeviceState newState, bool connected, const char *status) {
    state = newState;
    emit deviceStatusChanged(connected, status);
}

void KestDataHandler::destroyHandle() {
    lidar_destory_device(handle.exchange(nullptr));
}

void KestDataHandler::onScanModeChanged(ScanMode newMode) {
    log_print(INFO, "Scan mode changed to %d\n", static_cast<int>(newMode));
    if (newMode == mode.load())
        return;
    mode = newMode;
    if (newMode == ScanMode::SLAM) {
        dtof = false;
        slam = true;
    } else if (newMode == ScanMode::DTOF) {
        dtof = true;
        slam = false;
    }
}
