// The status bar's live figures (see the header).
#include "app/viewer/viewer_status_bar.h"

#include "app/glRender/gl_point_cloud_renderer.h"
#include "app/kest_data_handler.h"
#include "app/open_failure_text.h"
#include "sdk/api/api.h"
#include "sdk/logger/logger.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QStatusBar>
#include <QStorageInfo>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

constexpr int refreshMs = 1000;

QString sizeText(double bytes) {
    if (bytes >= 1e9)
        return QStringLiteral("%1 GB").arg(bytes / 1e9, 0, 'f', 2);
    if (bytes >= 1e6)
        return QStringLiteral("%1 MB").arg(bytes / 1e6, 0, 'f', 1);
    return QStringLiteral("%1 kB").arg(bytes / 1e3, 0, 'f', 0);
}

QString clockText(qint64 ms) {
    const qint64 seconds = ms / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

void show(QLabel *label, const QString &text, const char *colour, const QString &tip = {}) {
    label->setText(text);
    label->setStyleSheet(colour != nullptr ? QStringLiteral("color:%1;").arg(colour) : QString());
    label->setToolTip(tip);
}

QLabel *addLabel(QStatusBar *bar, const char *name) {
    auto *label = new QLabel(bar);
    label->setObjectName(QLatin1String(name));
    bar->addPermanentWidget(label);
    return label;
}

} // namespace

ViewerStatusBar::ViewerStatusBar(QStatusBar *bar, KestDataHandler *handler,
                                 GLPointCloudRenderer *renderer, QObject *parent)
    : QObject(parent), handler(handler), renderer(renderer), device(addLabel(bar, "deviceState")),
      view(addLabel(bar, "viewFigures")), data(addLabel(bar, "dataFigures")),
      recorder(addLabel(bar, "recordingFigures")), elsewhere(addLabel(bar, "recordingElsewhere")),
      timer(new QTimer(this)) {
    recorder->hide();
    elsewhere->hide();
    connect(handler, &KestDataHandler::deviceStatusChanged, this,
            &ViewerStatusBar::refreshDeviceState);
    if (renderer != nullptr)
        connect(renderer, &QOpenGLWidget::frameSwapped, this, [this] { ++framesSwapped; });
    bytesBefore = handler->bytesReceived();
    sinceRefresh.start();
    connect(timer, &QTimer::timeout, this, &ViewerStatusBar::refresh);
    timer->start(refreshMs);
    refresh();
}

void ViewerStatusBar::refresh() {
    const double seconds = std::max(sinceRefresh.restart(), qint64{1}) / 1000.0;
    lidar_statistics_t stats{};
    lidar_get_statistics(&stats);
    refreshDevice(stats);
    refreshView(seconds);
    refreshData(stats, seconds);
    refreshRecording();
    emit refreshed();
}

QString ViewerStatusBar::summary() const {
    QStringList parts;
    for (const QLabel *label : {device, view, data, recorder})
        if (!label->isHidden())
            parts << label->text();
    return parts.join(QStringLiteral(" | "));
}

void ViewerStatusBar::refreshDeviceState() {
    lidar_statistics_t stats{};
    lidar_get_statistics(&stats);
    refreshDevice(stats);
}

void ViewerStatusBar::refreshDevice(const lidar_statistics_t &stats) {
    switch (handler->deviceState()) {
    case KestDataHandler::DeviceState::Streaming:
        show(device, tr("Streaming"), "#008000");
        return;
    case KestDataHandler::DeviceState::Attaching:
        show(device, tr("Attaching…"), "#CC8400");
        return;
    case KestDataHandler::DeviceState::Failed:
        show(device, tr("Device failed"), "#CC0000",
             tr("The device did not reach streaming; the log says which step failed."));
        return;
    case KestDataHandler::DeviceState::NoDevice:
        break;
    }
    if (stats.open_failures == 0) {
        show(device, tr("No device"), nullptr, tr("Plug a KestOne in."));
        return;
    }
    const auto [reason, hint] = openFailureText(stats.last_open_error);
    if (device->toolTip() != hint)
        log_print(WARN, "%s\n", hint.toUtf8().constData());
    show(device, tr("Cannot open device (%1)").arg(reason), "#CC0000", hint);
}

void ViewerStatusBar::refreshView(double seconds) {
    if (renderer == nullptr) {
        view->hide();
        return;
    }
    const double fps = static_cast<double>(framesSwapped) / seconds;
    framesSwapped = 0;
    QString text =
        tr("%1 FPS · %2 pts").arg(fps, 0, 'f', 1).arg(QLocale().toString(renderer->totalPoints()));
    if (const float share = renderer->drawnShare(); share < 1.0f) // the frame budget at work
        text += tr(" · %1 % drawn")
                    .arg(static_cast<double>(share) * 100.0, 0, 'f', share < 0.1f ? 1 : 0);
    show(view, text, nullptr);
}

void ViewerStatusBar::refreshData(const lidar_statistics_t &stats, double seconds) {
    const uint64_t bytes = handler->bytesReceived();
    const double rate = static_cast<double>(bytes - bytesBefore) / seconds / 1e6;
    bytesBefore = bytes;
    const bool dropped =
        stats.callback_dropped > 0 || stats.device_dropped > 0 || stats.cloud_dropped > 0;
    show(data,
         tr("%1 MB/s · drops %2/%3/%4")
             .arg(rate, 0, 'f', 1)
             .arg(stats.callback_dropped)
             .arg(stats.device_dropped)
             .arg(stats.cloud_dropped),
         dropped ? "#CC8400" : nullptr,
         tr("Stream data received, and what was dropped:\n"
            "%1 records the host fell behind on (callback queue)\n"
            "%2 frames or messages from the device dropped as malformed\n"
            "%3 SLAM clouds that found no odometry to match them in time")
             .arg(stats.callback_dropped)
             .arg(stats.device_dropped)
             .arg(stats.cloud_dropped));
}

void ViewerStatusBar::refreshRecording() {
    if (!recording)
        return;
    const bool low = !checkDisk();
    QString text = tr("REC %1 · %2 · %3")
                       .arg(QDir(recordFolder).dirName(), clockText(recordClock.elapsed()),
                            sizeText(static_cast<double>(handler->recordingBytesWritten())));
    if (low)
        text += tr(" · low disk: %1 free").arg(sizeText(static_cast<double>(freeBytes)));
    // A record the recorder could not keep is a loss in the recording: said at once.
    if (const uint64_t lost = handler->recordingRecordsDropped(); lost > 0)
        text += tr(" · %1 records not written").arg(lost);
    show(recorder, text, "#CC0000", recordFolder);
}

bool ViewerStatusBar::checkDisk() {
    QStorageInfo storage(recordFolder);
    freeBytes = storage.isValid() ? storage.bytesAvailable() : -1;
    const bool low = freeBytes >= 0 && freeBytes < lowDiskBytes;
    if (low && !diskWarned)
        log_print(WARN,
                  "[Recorder] Only %s free on the disk of %s: the recording stops when it "
                  "is full.\n",
                  sizeText(static_cast<double>(freeBytes)).toUtf8().constData(),
                  QFile::encodeName(recordFolder).constData());
    diskWarned = low;
    return !low;
}

void ViewerStatusBar::onRecordingChanged(bool active, const QString &) {
    recording = active;
    const QString refused = handler->refusedRecordingRoot();
    elsewhere->setVisible(active && !refused.isEmpty());
    if (!active) {
        recorder->hide();
        return;
    }
    if (!refused.isEmpty())
        show(elsewhere,
             tr("%1 cannot be written: recording to %2").arg(refused, handler->recordingFolder()),
             "#CC0000");
    recordFolder = handler->recordingFolder();
    recordClock.start();
    diskWarned = false;
    recorder->show();
    refreshRecording();
}

void ViewerStatusBar::onRecordingFinishing() {
    recording = false;
    show(recorder, tr("Finishing recording…"), "#404040", recordFolder);
    recorder->show();
    recorder->repaint();
}
