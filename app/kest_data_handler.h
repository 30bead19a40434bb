// The one application object that talks to the device layer: it brings the
// layer up, runs the attach sequence that takes a newly attached KestOne to
// streaming, reports each outcome through deviceStatusChanged, keeps the scan
// mode the control panel selects and hands every stream record to the decoders.
#pragma once

#include "app/stream_decoding.h"
#include "sdk/api/api.h"
#include "sdk/logger/logger.h"

#include <QObject>
#include <QString>

#include <atomic>

class KestDataHandler : public QObject {
    Q_OBJECT

public:
    // The single instance, created by the first call (on the GUI thread, before
    // initSdk) and kept for the life of the process.
    static KestDataHandler *instance();
    // Starts the device layer with attachCallback; true if it started.
    static bool initSdk();
    // Given to lidar_system_init: runs on the layer's notification threads.
    static void attachCallback(const lidar_device_info_t *info, bool attached);
    // Registered with each device; context is the handler. Runs on the layer's
    // callback thread.
    static void streamCallback(const lidar_stream_data_t *record, void *context);

    // The attach sequence (attached true) or the detach sequence. Runs on a
    // notification thread of the device layer, one call after another.
    void handleAttach(const lidar_device_info_t *info, bool attached);
    // Decodes one record and publishes what it gives. Callback thread; never
    // waits for the attach sequence.
    void handleStreamData(const lidar_stream_data_t *record);

    bool dtofEnabled() const { return dtof.load(); }
    bool slamEnabled() const { return slam.load(); }
    ScanMode scanMode() const { return mode.load(); }
    bool hasDevice() const { return handle.load() != nullptr; }
    // Where the attach sequence stores the device's calibration file: the
    // absolute form of "./files/recv" at the handler's creation.
    QString calibrationDir() const { return calibDir; }
    // True when this run fetched and verified the calibration file there.
    bool calibrationFetched() const { return calibFetched.load(); }

signals:
    void deviceStatusChanged(bool connected, QString message);

public slots:
    void onScanModeChanged(ScanMode mode);

private:
    KestDataHandler();

    // The attach sequence's steps, logging in handleAttach's name; each
    // returns false when the sequence ends there.
    bool createAndOpen(const lidar_device_info_t *info, log_origin origin);
    void fetchCalibrationAndVersion(log_origin origin);
    bool configure(log_origin origin);
    bool startStreaming(log_origin origin);
    // Reports a failure that ends the attach sequence, destroying the handle first if asked.
    void fail(log_origin origin, const char *line, const char *status, bool destroy = false);
    void destroyHandle();

    // Written by the notification threads, read by the callback thread.
    std::atomic<lidar_device_t *> handle{nullptr};
    std::atomic<bool> dtof{false};
    std::atomic<bool> slam{true};
    std::atomic<ScanMode> mode{ScanMode::SLAM};
    std::atomic<bool> calibFetched{false};
    QString calibDir;
};
