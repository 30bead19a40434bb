#include "app/viewer/playback_control.h"

#include "app/mainwindow.h"
#include "app/viewer/viewer_startup.h"
#include "sdk/logger/logger.h"

#include <QAction>
#include <QCoreApplication>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QStatusBar>
#include <QTimer>

#include <cmath>

namespace {

constexpr int refreshMs = 250;
constexpr int progressSteps = 1000;

QString minutesAndSeconds(double seconds) {
    const long long whole = std::llround(std::max(0.0, seconds));
    return QStringLiteral("%1:%2")
        .arg(whole / 60, 2, 10, QLatin1Char('0'))
        .arg(whole % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

QString playbackTime(double positionSeconds, double lengthSeconds) {
    return minutesAndSeconds(positionSeconds) + QStringLiteral(" / ") +
           minutesAndSeconds(lengthSeconds);
}

PlaybackControl::PlaybackControl(MainWindow *mainWindow, VirtualKestOne *virtualDevice)
    : QObject(mainWindow), window(mainWindow), device(virtualDevice) {
    QMenu *file = window->fileMenu();
    QAction *first = file->actions().value(0);
    openRecording = new QAction(tr("Open Recording…"), file);
    openRecording->setShortcut(QKeySequence::Open);
    connect(openRecording, &QAction::triggered, this, &PlaybackControl::chooseRecording);
    pausePlayback = new QAction(tr("Pause Playback"), file);
    pausePlayback->setCheckable(true);
    file->insertActions(first, {openRecording, pausePlayback});
    file->insertSeparator(first);
    pausePlayback->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    connect(pausePlayback, &QAction::toggled, this, &PlaybackControl::setPaused);

    label = new QLabel(window);
    progress = new QProgressBar(window);
    progress->setRange(0, progressSteps);
    progress->setTextVisible(false);
    progress->setMaximumWidth(160);
    window->statusBar()->addPermanentWidget(label);
    window->statusBar()->addPermanentWidget(progress);
    poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, &PlaybackControl::refresh);
    poll->start(refreshMs);
    refresh();
}

void PlaybackControl::chooseRecording() {
    const QString folder = QFileDialog::getExistingDirectory(window, tr("Open Recording"),
                                                             QString(), QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return;
    if (device == nullptr)
        return restartOnVirtualDevice(folder);
    if (!play(folder))
        QMessageBox::warning(window, tr("Open Recording"), error);
}

bool PlaybackControl::play(const QString &folder) {
    kest_sim::stream_settings streams;
    std::string reason;
    if (device == nullptr ||
        !kest_sim::virtual_device_settings("play:" + folder.toStdString(), {}, streams, reason)) {
        const QString why = device == nullptr ? tr("the viewer runs on a device on USB")
                                              : QString::fromStdString(reason);
        log_print(WARN, "[Playback] Cannot play %s: %s.\n", folder.toLocal8Bit().constData(),
                  why.toLocal8Bit().constData());
        error = device == nullptr ? tr("Cannot play this recording: %1.").arg(why) : why + ".";
        emit failed(error);
        return false;
    }
    log_print(INFO, "[Playback] Playing %s.\n", folder.toLocal8Bit().constData());
    pausePlayback->setChecked(false);
    device->replug(streams);
    refresh();
    return true;
}

void PlaybackControl::setPaused(bool paused) {
    if (device != nullptr)
        device->kestOne().pause_playback(paused);
    refresh();
}

// The device layer cannot change buses while it runs: a new viewer plays the
// recording on the virtual KestOne, and this one quits (a recording in
// progress is stopped and closed on the way out).
void PlaybackControl::restartOnVirtualDevice(const QString &folder) {
    const auto answer = QMessageBox::question(
        window, tr("Open Recording"),
        tr("Playing a recording needs the virtual KestOne. Start the viewer again to play %1?")
            .arg(folder));
    if (answer != QMessageBox::Yes)
        return;
    if (!QProcess::startDetached(QCoreApplication::applicationFilePath(),
                                 {QStringLiteral("--virtual-device=play:") + folder})) {
        QMessageBox::warning(window, tr("Open Recording"), tr("Cannot start the viewer again."));
        return;
    }
    QCoreApplication::quit();
}

void PlaybackControl::refresh() {
    const kest_sim::kestone::playback_state state =
        device != nullptr ? device->kestOne().playback() : kest_sim::kestone::playback_state{};
    pausePlayback->setEnabled(state.playing);
    label->setVisible(state.playing);
    progress->setVisible(state.playing);
    if (!state.playing)
        return;
    const QString status = state.paused     ? tr("Paused")
                           : state.finished ? tr("Played")
                                            : tr("Playing");
    label->setText(tr("%1 %2").arg(status, playbackTime(state.position_s, state.length_s)));
    progress->setValue(state.length_s > 0
                           ? int(std::lround(progressSteps * state.position_s / state.length_s))
                           : progressSteps);
}
