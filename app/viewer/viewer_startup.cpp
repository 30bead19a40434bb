// The viewer's start-up helpers (see the header).
#include "app/viewer/viewer_startup.h"

#include "app/glRender/point_cloud_widget.h"
#include "app/kest_data_handler.h"
#include "app/mainwindow.h"
#include "app/viewer/view_export.h"
#include "app/viewer/viewer_options.h"

#include <QCoreApplication>
#include <QFile>
#include <QPixmap>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};
constexpr int framePollMs = 100;

void onSignal(int) {
    const char byte = 1;
    // Nothing else is safe here; the event loop reads the byte and quits.
    [[maybe_unused]] ssize_t written = write(signalPipe[1], &byte, 1);
}

} // namespace

void quitOnSignals(QCoreApplication &application) {
    if (signalPipe[0] < 0 && pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &application);
    QObject::connect(notifier, &QSocketNotifier::activated, &application, [&application] {
        char bytes[16];
        while (read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        application.quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void recordWhenStreaming(QCoreApplication &application, std::function<void()> clickRecord) {
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = QObject::connect(
        KestDataHandler::instance(), &KestDataHandler::deviceStatusChanged, &application,
        [connection, clickRecord, &application](bool connected, const QString &) {
            if (!connected)
                return;
            QObject::disconnect(*connection);
            // Queued: the window reports the streaming device first.
            QMetaObject::invokeMethod(
                &application,
                [clickRecord] {
                    if (!KestDataHandler::instance()->isRecording())
                        clickRecord();
                },
                Qt::QueuedConnection);
        });
}

void frame(GLPointCloudRenderer &view, int preset) {
    if (preset == ViewerOptions::fitAll)
        view.frameAll();
    else
        view.viewFrom(preset);
}

void frameWhenShown(GLPointCloudRenderer &view, int preset) {
    auto *poll = new QTimer(&view);
    QObject::connect(poll, &QTimer::timeout, &view, [&view, poll, preset] {
        if (view.totalPoints() == 0)
            return;
        poll->deleteLater();
        frame(view, preset);
    });
    poll->start(framePollMs);
}

void screenshotAndQuit(MainWindow &window, const Screenshots &shots, int seconds,
                       std::function<void()> beforeShots) {
    QTimer::singleShot(seconds * 1000, &window, [&window, shots, beforeShots] {
        if (beforeShots)
            beforeShots();
        auto failed = [](const QString &path) {
            fprintf(stderr, "kestviewer: cannot save the screenshot %s\n",
                    QFile::encodeName(path).constData());
            QCoreApplication::exit(1);
        };
        if (!shots.window.isEmpty() && !grabAsShown(window).save(shots.window, "PNG"))
            return failed(shots.window);
        GLPointCloudRenderer *view = window.centralView()->renderer();
        if (!shots.view.isEmpty() &&
            (view == nullptr || !view->grabFramebuffer().save(shots.view, "PNG")))
            return failed(shots.view);
        QCoreApplication::quit();
    });
}
