// The data handler's recording: starting the recorder under a folder that can
// be written, handing the decoders' records to it, and stopping it so that
// everything it took is on disk before it says so.
#include "app/calibration_conversion.h"
#include "app/kest_data_handler.h"
#include "app/program_places.h"

#include "sdk/logger/console.h"
#include "sdk/logger/logger.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <chrono>

namespace {

constexpr uint64_t recordsPerBatch = 100;
// A decoder holds a finished recording for the rest of one record: a picture
// to encode at most. Waiting longer would mean the callback thread is stuck
// elsewhere, and the recording is closed without it.
constexpr std::chrono::seconds decoderPatience{10};
constexpr std::chrono::milliseconds decoderRecheck{20};

// Which file a delivered record belongs in (0 poses, 1 clouds, 2 images), or
// -1: the other records are not recorded, nor SLAM clouds that are not shown.
int recordedKind(uint32_t type, StreamDecoding::StreamFlags flags) {
    switch (type) {
    case LIDAR_STREAM_ODOMETRY:
        return 0;
    case LIDAR_STREAM_SLAM_CLOUD:
        return flags.slamEnabled ? 1 : -1;
    case LIDAR_STREAM_IMAGE:
        return 2;
    default:
        return -1;
    }
}

const char *fileLabel(size_t index) {
    static const char *const labels[] = {"poses", "clouds", "images"};
    return labels[index];
}

} // namespace

QStringList KestDataHandler::recordingRoots(const QString &root) const {
    const ProgramPlaces places = programPlaces();
    QStringList roots;
    roots << (!root.isEmpty() ? root : places.besideProgram);
    roots << qEnvironmentVariable("KEST_DATA_DIR") << places.userRecordings;
    roots.removeAll(QString());
    roots.removeDuplicates();
    return roots;
}

std::array<uint32_t, 3> KestDataHandler::recordsBuilt() const {
    std::shared_ptr<Recording> current = std::atomic_load(&active);
    if (current == nullptr)
        return {};
    return {current->poseSeq.load(), current->cloudSeq.load(), current->imageSeq.load()};
}

uint64_t KestDataHandler::recordingFilesTotal(uint64_t WriterReport::*figure) const {
    std::shared_ptr<Recording> current = std::atomic_load(&active);
    if (current == nullptr)
        return 0;
    const BinaryDataLogger &recorder = *current->recorder;
    return recorder.poseWriter->report().*figure + recorder.cloudWriter->report().*figure +
           recorder.imageWriter->report().*figure;
}

uint64_t KestDataHandler::recordingRecordsDropped() const {
    return recordingFilesTotal(&WriterReport::recordsDropped);
}

uint64_t KestDataHandler::recordingBytesWritten() const {
    return recordingFilesTotal(&WriterReport::bytesWritten);
}

bool KestDataHandler::startRecorder(const QString &root, uint64_t preloadBytes) {
    const QString named = root.isEmpty() ? preferredRoot : root;
    const QStringList roots = recordingRoots(named);
    refusedRoot.clear();
    for (const QString &candidate : roots) {
        QDir().mkpath(candidate); // a failure shows as the recorder's own
        RecorderConfig config;
        config.batchSize = recordsPerBatch;
        config.root = candidate;
        config.limits.maxQueuedBytes += preloadBytes;
        try {
            auto recorder = std::make_shared<BinaryDataLogger>(config);
            recordRoot = recorder->recordDir;
            std::atomic_store(&active, std::make_shared<Recording>(std::move(recorder)));
            if (!named.isEmpty() && candidate != roots.first()) {
                refusedRoot = named;
                log_print(WARN,
                          "[Recorder] Recording to %s instead of %s, which cannot be written.\n",
                          QFile::encodeName(recordRoot).constData(),
                          QFile::encodeName(named).constData());
            }
            return true;
        } catch (const std::exception &error) {
            log_print(WARN, "[Recorder] Cannot record under %s (%s).\n",
                      QFile::encodeName(candidate).constData(), error.what());
        }
    }
    log_print(ERROR, "[Recorder] No recording started: none of %s can be written.\n",
              QFile::encodeName(roots.join(QStringLiteral(", "))).constData());
    startFailure = QStringLiteral("Recording not started: none of %1 can be written")
                       .arg(roots.join(QStringLiteral(", ")));
    return false;
}

void KestDataHandler::onRecordToggled(bool start) {
    if (start == recording.load())
        return;
    if (!start) {
        emit notifier->recordingFinishing();
        stopRecording();
        return;
    }
    if (!startRecorder(QString())) {
        emit notifier->recordingChanged(false, startFailure);
        return;
    }
    recording = true;
    console_print("[Recorder] Started. Root: %s\n", recordRoot.toLocal8Bit().constData());
    const QString started = QStringLiteral("Recording to %1").arg(recordRoot);
    log_print(INFO, "[Recorder] %s\n", started.toLocal8Bit().constData());
    emit notifier->recordingChanged(true, started);
}

void KestDataHandler::stopRecording() {
    recording = false; // from here on the decoders build no new records
    convertRecordingCalibration();
    std::shared_ptr<Recording> finished = std::atomic_exchange(&active, {});
    if (finished == nullptr)
        return;
    if (!waitForDecoders(finished))
        log_print(WARN,
                  "[Recorder] A decoder still holds the recording after %lld s; its record "
                  "is dropped.\n",
                  static_cast<long long>(decoderPatience.count()));
    lastReport.files = finished->recorder->stop();
    lastReport.built = {finished->poseSeq.load(), finished->cloudSeq.load(),
                        finished->imageSeq.load()};
    for (size_t i = 0; i < lastReport.delivered.size(); ++i)
        lastReport.delivered[i] = finished->delivered[i].load();
    for (size_t i = 0; i < lastReport.files.size(); ++i) {
        const WriterReport &report = lastReport.files[i];
        if (report.recordsDropped > 0 || report.failed)
            log_print(WARN, "[Recorder] %s: %llu %s written, %llu dropped%s.\n",
                      QFile::encodeName(report.path).constData(),
                      static_cast<unsigned long long>(report.recordsWritten), fileLabel(i),
                      static_cast<unsigned long long>(report.recordsDropped),
                      report.failed ? ", the file failed" : "");
    }
    finished.reset();
    console_print("[Recorder] Stopped.\n");
    const QString saved = QStringLiteral("Recording saved to %1 (%2 poses, %3 clouds, %4 images)")
                              .arg(recordRoot)
                              .arg(lastReport.files[0].recordsWritten)
                              .arg(lastReport.files[1].recordsWritten)
                              .arg(lastReport.files[2].recordsWritten);
    log_print(INFO, "[Recorder] %s\n", saved.toLocal8Bit().constData());
    emit notifier->recordingChanged(false, saved);
}

// Only a calibration this run fetched and verified belongs to the recording:
// a calib.yaml left by an earlier run may be another device's.
void KestDataHandler::convertRecordingCalibration() {
    const QString target = QDir(recordRoot).filePath(QStringLiteral("image/cam_in_ex.txt"));
    if (!calibFetched.load()) {
        log_print(WARN,
                  "[Recorder] No calibration was fetched from the device in this run; %s "
                  "keeps its placeholder.\n",
                  QFile::encodeName(target).constData());
        return;
    }
    CalibrationNotes notes;
    if (!convertCalibration(QDir(calibDir).filePath(QStringLiteral("calib.yaml")), target, &notes))
        log_print(WARN,
                  "[Recorder] The calibration was not converted (%s); %s keeps its "
                  "placeholder.\n",
                  qUtf8Printable(notes.failure), QFile::encodeName(target).constData());
    else if (!notes.defaulted.isEmpty())
        log_print(INFO, "[Recorder] The calibration file has no %s; %s holds their defaults.\n",
                  qUtf8Printable(notes.defaulted.join(QStringLiteral(", "))),
                  QFile::encodeName(target).constData());
}

bool KestDataHandler::waitForDecoders(const std::shared_ptr<Recording> &finished) {
    auto deadline = std::chrono::steady_clock::now() + decoderPatience;
    std::unique_lock<std::mutex> lock(releaseMutex);
    // use_count is 1 once no decoder holds a reference: active no longer
    // hands one out. The short recheck covers a release that raced the wait.
    while (finished.use_count() > 1) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        decoderReleased.wait_for(lock, decoderRecheck);
    }
    return true;
}

void KestDataHandler::releaseRecording(std::shared_ptr<Recording> &use) {
    use.reset();
    if (!recording.load()) {
        std::lock_guard<std::mutex> lock(releaseMutex);
        decoderReleased.notify_all();
    }
}

// A record delivered while the detach sequence runs (the handle already taken)
// arrived before the device went, and is kept like any other: after
// lidar_destory_device the device layer delivers nothing more for it.
void KestDataHandler::handleStreamData(const lidar_stream_data_t *record) {
    if (record == nullptr)
        return;
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < std::min(record->count, LIDAR_MAX_ENTRIES); ++i)
        bytes += record->entries[i].size;
    receivedBytes.fetch_add(bytes, std::memory_order_relaxed);
    StreamDecoding::StreamFlags flags{dtof.load(), slam.load()};
    const std::shared_ptr<FrameListener> listener = std::atomic_load(&frameListener);
    std::lock_guard<std::mutex> gate(replayGate);
    std::shared_ptr<Recording> use;
    if (recording.load())
        use = std::atomic_load(&active);
    if (use == nullptr && !replay.enabled()) {
        StreamDecoding::decodeStreamRecord(*record, flags, nullptr, listener.get());
        return;
    }
    if (const int kind = recordedKind(record->type, flags); kind >= 0 && use != nullptr)
        use->delivered[static_cast<size_t>(kind)].fetch_add(1);
    BinaryDataLogger *recorder = use != nullptr ? use->recorder.get() : nullptr;
    StreamDecoding::RecordingTarget target{
        use != nullptr ? use->poseSeq : replayNumbers[0],
        use != nullptr ? use->cloudSeq : replayNumbers[1],
        use != nullptr ? use->imageSeq : replayNumbers[2],
        writerFor(0, recorder != nullptr ? recorder->poseWriter.get() : nullptr),
        writerFor(1, recorder != nullptr ? recorder->cloudWriter.get() : nullptr),
        writerFor(2, recorder != nullptr ? recorder->imageWriter.get() : nullptr),
    };
    StreamDecoding::decodeStreamRecord(*record, flags, &target, listener.get());
    if (use != nullptr)
        releaseRecording(use);
}

StreamDecoding::RecordWriter KestDataHandler::writerFor(size_t kind, BinaryFileWriter *file) {
    ReplayBuffer *buffer = replay.enabled() ? &replay : nullptr;
    return [buffer, kind, file](std::vector<uint8_t> &&built) {
        if (buffer != nullptr)
            buffer->push(kind, file != nullptr ? std::vector<uint8_t>(built) : std::move(built));
        if (file != nullptr)
            file->push(std::move(built));
    };
}

void KestDataHandler::setReplayLimits(double seconds, uint64_t budgetBytes) {
    replay.setLimits(seconds, budgetBytes);
}

// The buffer's records go first into the new recording's files, numbered
// from 0; the live records that follow are numbered on from there.
bool KestDataHandler::preloadRecording(ReplayBuffer::Records &&records) {
    std::shared_ptr<Recording> target = std::atomic_load(&active);
    BinaryFileWriter *files[3] = {target->recorder->poseWriter.get(),
                                  target->recorder->cloudWriter.get(),
                                  target->recorder->imageWriter.get()};
    std::atomic<uint32_t> *numbers[3] = {&target->poseSeq, &target->cloudSeq, &target->imageSeq};
    bool whole = true;
    for (size_t kind = 0; kind < 3; ++kind) {
        numbers[kind]->store(static_cast<uint32_t>(records[kind].size()));
        for (std::vector<uint8_t> &record : records[kind])
            whole = files[kind]->push(std::move(record)) && whole;
    }
    return whole;
}

bool KestDataHandler::saveReplay(bool goOnRecording) {
    if (recording.load()) {
        startFailure = QStringLiteral("A recording is in progress: it already holds these seconds");
        return false;
    }
    {
        std::lock_guard<std::mutex> gate(replayGate);
        if (replay.recordsHeld() == 0) {
            startFailure = QStringLiteral("The replay buffer holds nothing yet");
            return false;
        }
        if (!startRecorder(QString(), replay.bytesHeld()))
            return false;
        if (!preloadRecording(replay.take()))
            log_print(WARN, "[Recorder] Some of the replay buffer's records were dropped.\n");
        recording = goOnRecording;
    }
    const QString started = QStringLiteral("Recording to %1, from the last %2 s on")
                                .arg(recordRoot)
                                .arg(replay.seconds());
    log_print(INFO, "[Recorder] %s\n", started.toLocal8Bit().constData());
    if (goOnRecording) {
        emit notifier->recordingChanged(true, started);
        return true;
    }
    emit notifier->recordingFinishing();
    stopRecording();
    return true;
}
