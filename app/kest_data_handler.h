// The one application object that talks to the device layer: it brings the
// layer up, runs the attach sequence that takes a newly attached KestOne to
// streaming, reports each outcome through deviceStatusChanged, keeps the scan
// mode the control panel selects, hands every stream record to the decoders
// and, while a recording is in progress, their records to the recorder.
#pragma once

#include "app/binary_data_logger.h"
#include "app/recording_notifier.h"
#include "app/replay_buffer.h"
#include "app/stream_decoding.h"
#include "sdk/api/api.h"
#include "sdk/logger/logger.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

class KestDataHandler : public QObject {
    Q_OBJECT

public:
    // Where the attach sequence stands, for a status display.
    enum class DeviceState { NoDevice, Attaching, Streaming, Failed };

    // The single instance, created by the first call (on the GUI thread, before
    // initSdk) and kept for the life of the process.
    static KestDataHandler *instance();
    // Starts the device layer with attachCallback; true if it started.
    static bool initSdk();
    // The quit path: stops a recording as the record button does (its files
    // flushed and closed), stops and closes the device, and takes the device
    // layer down. GUI thread.
    void shutdown();
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
    DeviceState deviceState() const { return state.load(); }
    // Bytes of stream data delivered to the handler since the process started.
    uint64_t bytesReceived() const { return receivedBytes.load(std::memory_order_relaxed); }
    // Where the attach sequence stores the device's calibration file: the
    // absolute form of "./files/recv" at the handler's creation, or for an
    // installed program the per-user "kestviewer/recv" (see program_places.h).
    QString calibrationDir() const { return calibDir; }
    // True when this run fetched and verified the calibration file there.
    bool calibrationFetched() const { return calibFetched.load(); }
    // The versions the last attach sequence read; empty when it read none.
    std::optional<lidar_version_t> deviceVersions() const;

    // Hears of every frame decoded from now on (null: nobody). Any thread.
    void setFrameListener(std::shared_ptr<FrameListener> listener);

    // Recording. A recording goes under the first of these folders that can be
    // written: the recording root (empty: "recordData" beside the program,
    // unless it is installed), $KEST_DATA_DIR, and "kestviewer/recordData" in
    // the per-user data folder ($XDG_DATA_HOME or ~/.local/share). GUI thread,
    // as are the calls below.
    void setRecordingRoot(const QString &root) { preferredRoot = root; }
    // Those folders, in the order they are tried.
    QStringList recordingPlaces() const { return recordingRoots(preferredRoot); }
    bool isRecording() const { return recording.load(); }
    // The folder of the current or last recording; empty before the first.
    QString recordingFolder() const { return recordRoot; }
    // The folder named for the current or last recording (setRecordingRoot or
    // startRecorder's root) when it could not be written and the recording
    // went to a fallback instead; empty otherwise.
    QString refusedRecordingRoot() const { return refusedRoot; }
    // What a recording built and what became of it, for poses, clouds and
    // images in that order.
    struct RecordingReport {
        // Odometry, SLAM cloud and image records the device layer delivered
        // while recording: the ones each file should hold.
        std::array<uint32_t, 3> delivered{};
        std::array<uint32_t, 3> built{}; // records the decoders built
        std::array<WriterReport, 3> files;
    };
    // The records built so far by the recording in progress (zeros without one).
    std::array<uint32_t, 3> recordsBuilt() const;
    // Bytes the recording in progress has written to its files so far (0 without one).
    uint64_t recordingBytesWritten() const;
    // Records the recording in progress could not write so far (its files'
    // drops; 0 without one).
    uint64_t recordingRecordsDropped() const;
    // The last stopped recording's report.
    RecordingReport lastRecordingReport() const { return lastReport; }
    // Creates the recorder under root (empty: the recording root) or the
    // first fallback that works; false, with an ERROR line, when none does.
    // Its writers take preloadBytes more than usual before they drop.
    bool startRecorder(const QString &root, uint64_t preloadBytes = 0);

    // The instant-replay buffer (off until set): the last seconds of records,
    // kept while streaming whether or not a recording is in progress.
    void setReplayLimits(double seconds, uint64_t budgetBytes);
    const ReplayBuffer &replayBuffer() const { return replay; }
    // Writes what the buffer holds as a recording (calibration included) and,
    // with goOnRecording, records on into it; false, with the reason in
    // lastStartFailure, when a recording is in progress or nothing is held.
    // The buffer starts again empty.
    bool saveReplay(bool goOnRecording);
    QString lastStartFailure() const { return startFailure; }

    // The recorder's news for the windows; owned by the handler.
    RecordingNotifier *recordingNotifier() const { return notifier; }

signals:
    void deviceStatusChanged(bool connected, QString message);

public slots:
    void onScanModeChanged(ScanMode mode);
    // Starts (true) or stops (false) a recording; a call that matches the
    // current state does nothing. Stopping blocks until every record handed
    // to the recorder is on disk (or reported dropped) and the files are
    // closed; the program's quit path stops a recording this way too.
    void onRecordToggled(bool start);

private:
    KestDataHandler();

    // The attach sequence's steps, logging in handleAttach's name; each
    // returns false when the sequence ends there.
    bool createAndOpen(const lidar_device_info_t *info, log_origin origin);
    void fetchCalibrationAndVersion(log_origin origin);
    bool configure(log_origin origin);
    bool startStreaming(log_origin origin);
    // Sets the state, then tells whoever listens.
    void report(DeviceState newState, bool connected, const char *status);
    // Reports a failure that ends the attach sequence, destroying the handle first if asked.
    void fail(log_origin origin, const char *line, const char *status, bool destroy = false);
    void destroyHandle();

    // One recording as the decoders see it: the recorder and the sequence
    // counters of its three files. A decoder holds its own reference for one
    // record, so a record's numbers and writer always belong to one recording.
    struct Recording {
        explicit Recording(std::shared_ptr<BinaryDataLogger> recorder)
            : recorder(std::move(recorder)) {}
        const std::shared_ptr<BinaryDataLogger> recorder;
        std::atomic<uint32_t> poseSeq{0};
        std::atomic<uint32_t> cloudSeq{0};
        std::atomic<uint32_t> imageSeq{0};
        std::array<std::atomic<uint32_t>, 3> delivered{}; // see RecordingReport
    };
    void stopRecording();
    // The sum of one figure of the recording in progress's three files (0 without one).
    uint64_t recordingFilesTotal(uint64_t WriterReport::*figure) const;
    QStringList recordingRoots(const QString &root) const;
    void convertRecordingCalibration();
    // Waits until no decoder holds finished (bounded); true if none does.
    bool waitForDecoders(const std::shared_ptr<Recording> &finished);
    void releaseRecording(std::shared_ptr<Recording> &use);
    // The writer of records of one file (0 poses, 1 clouds, 2 images): the
    // replay buffer's while it is on, the recorder's (file) if there is one.
    StreamDecoding::RecordWriter writerFor(size_t kind, BinaryFileWriter *file);
    bool preloadRecording(ReplayBuffer::Records &&records);

    // Written by the notification threads, read by the callback thread.
    std::atomic<lidar_device_t *> handle{nullptr};
    std::atomic<bool> dtof{false};
    std::atomic<bool> slam{true};
    std::atomic<ScanMode> mode{ScanMode::SLAM};
    std::atomic<bool> calibFetched{false};
    mutable std::mutex versionMutex;
    std::optional<lidar_version_t> versions;      // guarded by versionMutex
    std::shared_ptr<FrameListener> frameListener; // through std::atomic_load/store
    std::atomic<DeviceState> state{DeviceState::NoDevice};
    // One device sequence at a time: an attach or a detach, or the quit path's
    // stop. The device layer takes requests from one thread at a time.
    std::mutex sequenceMutex;
    std::atomic<uint64_t> receivedBytes{0}; // written by the callback thread
    QString calibDir;

    // recording is set and cleared on the GUI thread, which also replaces
    // active (through std::atomic_load/store); the callback thread reads both.
    std::atomic<bool> recording{false};
    std::shared_ptr<Recording> active;
    std::mutex releaseMutex; // with decoderReleased: a decoder let go of a finished recording
    std::condition_variable decoderReleased;
    QString preferredRoot; // GUI thread only, as are the two below
    QString recordRoot;
    QString refusedRoot;
    QString startFailure;
    RecordingReport lastReport;
    RecordingNotifier *notifier = new RecordingNotifier(this);
    ReplayBuffer replay;
    std::array<std::atomic<uint32_t>, 3> replayNumbers{}; // numbers records built for it alone
    // Held by the callback thread for each record and by saveReplay while it
    // moves the buffer into a recording: no record is lost or written twice.
    std::mutex replayGate;
};
