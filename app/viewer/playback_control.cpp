#include "app/viewer/playback_control.h"

#include "app/glRender/gl_point_cloud_renderer.h"
#include "app/glRender/point_cloud_widget.h"
#include "app/kest_data_handler.h"
#include "app/mainwindow.h"
#include "app/viewer/playback_timeline.h"
#include "app/viewer/viewer_startup.h"
#include "recording/recording_slice.h"
#include "recording/recording_summary.h"
#include "sdk/logger/logger.h"

#include <QAction>
#include <QActionGroup>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>

#include <cmath>

namespace {

constexpr int refreshMs = 250;
constexpr int faultMessageMs = 20000;
const char *const lastFolderKey = "playback/lastRecording";
// Set in a viewer that a USB viewer started to play a recording: going back
// to the live device means going back to USB.
const char *const liveOnUsbVariable = "KESTVIEWER_LIVE_ON_USB";

QString minutesAndSeconds(double seconds) {
    const long long whole = std::llround(std::max(0.0, seconds));
    return QStringLiteral("%1:%2")
        .arg(whole / 60, 2, 10, QLatin1Char('0'))
        .arg(whole % 60, 2, 10, QLatin1Char('0'));
}

std::vector<PlaybackTimeline::Mark> marksOf(const RecordingTimeline &timeline) {
    std::vector<PlaybackTimeline::Mark> marks;
    for (const TimelineMarker &marker : timeline.markers)
        marks.push_back({marker.play, marker.kind == MarkerKind::ClockRestart,
                         QString::fromStdString(marker.text)});
    return marks;
}

} // namespace

QString playbackTime(double positionSeconds, double lengthSeconds) {
    return minutesAndSeconds(positionSeconds) + QStringLiteral(" / ") +
           minutesAndSeconds(lengthSeconds);
}

PlaybackControl::PlaybackControl(MainWindow *mainWindow, VirtualKestOne *virtualDevice)
    : QObject(mainWindow), window(mainWindow), device(virtualDevice) {
    if (device != nullptr)
        liveStreams = device->startStreams().playback.folder.empty()
                          ? device->startStreams()
                          : kest_sim::stream_preset("demo");
    buildFileActions();
    buildPlaybackMenu();
    label = new QLabel(window);
    bar = new PlaybackTimeline(window);
    window->statusBar()->addPermanentWidget(label);
    window->statusBar()->addPermanentWidget(bar);
    connect(bar, &PlaybackTimeline::seekRequested, this, &PlaybackControl::seek);
    poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, &PlaybackControl::refresh);
    poll->start(refreshMs);
    // Started on a recording (--virtual-device=play:REC): its marks and length too.
    if (device != nullptr && device->startStreams().playback.outline)
        recording = device->startStreams().playback.outline->timeline;
    if (recording != nullptr) {
        folder = QString::fromStdString(device->startStreams().playback.folder);
        bar->setLength(recording->length, marksOf(*recording));
    }
    refresh();
}

double PlaybackControl::position() const {
    return device != nullptr ? device->kestOne().playback().position_s : 0;
}

QString PlaybackControl::dialogStart() const {
    const QString last = QSettings().value(QLatin1String(lastFolderKey)).toString();
    return !last.isEmpty() && QFileInfo(last).dir().exists()
               ? QFileInfo(last).absolutePath()
               : KestDataHandler::instance()->recordingPlaces().value(0);
}

void PlaybackControl::chooseRecording() {
    const QString chosen = QFileDialog::getExistingDirectory(
        window, tr("Open Recording"), dialogStart(), QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty())
        return;
    QSettings().setValue(QLatin1String(lastFolderKey), chosen);
    if (device == nullptr)
        return restartViewer({QStringLiteral("--virtual-device=play:") + chosen}, true);
    if (!play(chosen))
        QMessageBox::warning(window, tr("Open Recording"), error);
}

bool PlaybackControl::play(const QString &chosen) {
    kest_sim::stream_settings streams;
    std::string reason;
    if (device == nullptr ||
        !kest_sim::virtual_device_settings("play:" + chosen.toStdString(), {}, streams, reason)) {
        const QString why = device == nullptr ? tr("the viewer runs on a device on USB")
                                              : QString::fromStdString(reason);
        log_print(WARN, "[Playback] Cannot play %s: %s.\n", chosen.toLocal8Bit().constData(),
                  why.toLocal8Bit().constData());
        error = device == nullptr ? tr("Cannot play this recording: %1.").arg(why) : why + ".";
        emit failed(error);
        return false;
    }
    log_print(INFO, "[Playback] Playing %s.\n", chosen.toLocal8Bit().constData());
    QSettings().setValue(QLatin1String(lastFolderKey), QFileInfo(chosen).absoluteFilePath());
    folder = chosen;
    recording = streams.playback.outline->timeline;
    in.reset();
    out.reset();
    bar->setLength(recording->length, marksOf(*recording));
    bar->setSelection(in, out);
    pausePlayback->setChecked(false);
    loopPlayback->setChecked(false);
    clearViewWhenPlaying();
    device->replug(streams);
    setRate(1); // a new recording starts at its own pace
    showFaults(chosen);
    refresh();
    return true;
}

// The view shows the recording alone: cleared now, and again once the
// device that plays it is attached (the live device's last clouds may still
// have been on their way).
void PlaybackControl::clearViewWhenPlaying() {
    GLPointCloudRenderer *view = window->centralView()->renderer();
    view->clearPoints();
    auto once = std::make_shared<QMetaObject::Connection>();
    *once = connect(KestDataHandler::instance(), &KestDataHandler::deviceStatusChanged, view,
                    [view, once](bool connected) {
                        if (!connected)
                            return;
                        view->clearPoints();
                        QObject::disconnect(*once);
                    });
}

void PlaybackControl::showFaults(const QString &chosen) {
    const std::vector<std::string> faults = summariseRecording(chosen.toStdString()).faults();
    if (faults.empty())
        return;
    QStringList lines;
    for (const std::string &fault : faults)
        lines << QString::fromStdString(fault);
    const QString text = tr("This recording has faults: %1").arg(lines.join(QStringLiteral("; ")));
    log_print(WARN, "[Playback] %s\n", text.toUtf8().constData());
    window->statusBar()->showMessage(text, faultMessageMs);
}

void PlaybackControl::setPaused(bool paused) {
    if (device != nullptr)
        device->kestOne().pause_playback(paused);
    refresh();
}

void PlaybackControl::seek(double seconds) {
    if (device == nullptr || recording == nullptr)
        return;
    GLPointCloudRenderer *view = window->centralView()->renderer();
    if (seconds < position() && view->renderModeValue() == GLPointCloudRenderer::Accumulate)
        view->clearPoints();
    device->kestOne().seek_playback(seconds);
    bar->setPosition(seconds);
}

void PlaybackControl::step(int clouds) {
    if (device == nullptr || recording == nullptr)
        return;
    pausePlayback->setChecked(true); // a step is taken from a standstill
    device->kestOne().step_playback(clouds);
}

void PlaybackControl::setRate(double rate) {
    if (device == nullptr || !std::isfinite(rate))
        return;
    speed = std::clamp(rate, rates[0], rates[std::size(rates) - 1]);
    device->kestOne().set_playback_speed(speed);
    for (QAction *action : rateGroup->actions())
        action->setChecked(action->data().toDouble() == speed);
    refresh();
}

void PlaybackControl::setLoop(bool loop) {
    if (device != nullptr)
        device->kestOne().set_playback_loop(loop);
}

void PlaybackControl::jumpToMark(int direction) {
    if (recording == nullptr || recording->markers.empty())
        return;
    const double now = position();
    const auto &marks = recording->markers;
    if (direction > 0) {
        for (const TimelineMarker &mark : marks)
            if (mark.play > now + 0.05)
                return seek(mark.play);
        return;
    }
    // Back past the one just jumped to, as a second press expects.
    for (auto mark = marks.rbegin(); mark != marks.rend(); ++mark)
        if (mark->play < now - 0.5)
            return seek(mark->play);
    seek(0);
}

void PlaybackControl::setSelection(std::optional<double> from, std::optional<double> to) {
    in = from;
    out = to;
    if (in && out && *in > *out)
        std::swap(in, out);
    bar->setSelection(in, out);
    saveSelectionAction->setEnabled(recording != nullptr);
}

bool PlaybackControl::saveSelection(const QString &target) {
    if (recording == nullptr) {
        error = tr("No recording is playing.");
        return false;
    }
    SliceCounts counts;
    std::string reason;
    const double from = in.value_or(0), to = out.value_or(recording->length);
    if (!sliceRecording(*recording, from, to, target.toStdString(), counts, reason)) {
        error = tr("Selection not saved: %1").arg(QString::fromStdString(reason));
        log_print(ERROR, "[Playback] %s\n", error.toUtf8().constData());
        window->statusBar()->showMessage(error, faultMessageMs);
        return false;
    }
    const QString saved = tr("Selection %1 to %2 s saved to %3 (%4 poses, %5 clouds, %6 images)")
                              .arg(from, 0, 'f', 1)
                              .arg(to, 0, 'f', 1)
                              .arg(target)
                              .arg(counts.poses)
                              .arg(counts.clouds)
                              .arg(counts.images);
    log_print(INFO, "[Playback] %s\n", saved.toUtf8().constData());
    window->statusBar()->showMessage(saved, faultMessageMs);
    return true;
}

void PlaybackControl::chooseSelectionFolder() {
    const QString root = KestDataHandler::instance()->recordingPlaces().value(0);
    const QString name = QStringLiteral("%1_%2-%3s")
                             .arg(QFileInfo(folder).fileName())
                             .arg(std::lround(in.value_or(0)))
                             .arg(std::lround(out.value_or(recording->length)));
    const QString target =
        QFileDialog::getSaveFileName(window, tr("Save Selection"), QDir(root).filePath(name));
    if (!target.isEmpty() && !saveSelection(target))
        QMessageBox::warning(window, tr("Save Selection"), error);
}

void PlaybackControl::backToLive() {
    if (recording == nullptr)
        return;
    if (qEnvironmentVariableIsSet(liveOnUsbVariable) || device == nullptr)
        return restartViewer({}, false);
    log_print(INFO, "[Playback] Back to the live device.\n");
    recording.reset();
    folder.clear();
    setSelection(std::nullopt, std::nullopt);
    bar->setLength(0, {});
    pausePlayback->setChecked(false);
    clearViewWhenPlaying();
    device->replug(liveStreams);
    setRate(1);
}

// The device layer cannot change buses while it runs: a new viewer starts on
// the bus asked for, and this one quits (a recording in progress is stopped
// and closed on the way out).
void PlaybackControl::restartViewer(const QStringList &arguments, bool liveOnUsb) {
    const QString question =
        liveOnUsb ? tr("Playing a recording needs the virtual KestOne. Start the viewer again to "
                       "play %1?")
                        .arg(arguments.value(0).section(QLatin1Char(':'), 1))
                  : tr("The live device is on USB. Start the viewer again on it?");
    if (QMessageBox::question(window, tr("KestViewer"), question) != QMessageBox::Yes)
        return;
    QProcess process;
    process.setProgram(QCoreApplication::applicationFilePath());
    process.setArguments(arguments);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (liveOnUsb)
        environment.insert(QLatin1String(liveOnUsbVariable), QStringLiteral("1"));
    else
        environment.remove(QLatin1String(liveOnUsbVariable));
    process.setProcessEnvironment(environment);
    if (!process.startDetached()) {
        QMessageBox::warning(window, tr("KestViewer"), tr("Cannot start the viewer again."));
        return;
    }
    QCoreApplication::quit();
}

void PlaybackControl::refresh() {
    const kest_sim::kestone::playback_state state =
        device != nullptr ? device->kestOne().playback() : kest_sim::kestone::playback_state{};
    const bool shown = state.playing && recording != nullptr;
    for (QAction *action : playingOnly)
        action->setEnabled(shown);
    label->setVisible(shown);
    bar->setVisible(shown);
    if (!shown)
        return;
    const QString status = state.paused     ? tr("Paused")
                           : state.finished ? tr("Played")
                                            : tr("Playing");
    const QString rate = speed == 1 ? QString() : QStringLiteral(" %1×").arg(speed);
    label->setText(tr("%1%2 %3").arg(status, rate, playbackTime(state.position_s, state.length_s)));
    bar->setPosition(state.position_s);
}
