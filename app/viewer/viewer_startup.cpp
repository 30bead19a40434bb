// The viewer's start-up helpers (see the header).
#include "app/viewer/viewer_startup.h"

#include "app/glRender/point_cloud_widget.h"
#include "app/kest_data_handler.h"
#include "app/mainwindow.h"
#include "app/viewer/view_export.h"
#include "app/viewer/viewer_options.h"
#include "sdk/common/platform/platform.h"

#include <QCoreApplication>
#include <QFile>
#include <QPixmap>
#include <QTimer>

#include <atomic>
#include <cstdio>

namespace {

std::atomic<bool> quitRequested{false};
constexpr int framePollMs = 100;
constexpr int quitPollMs = 100;

} // namespace

void quitOnSignals(QCoreApplication &application) {
    // The request may come in a signal handler or on a thread of the system's:
    // it only sets the flag, which the event loop looks at ten times a second.
    platform_on_quit_request([] { quitRequested = true; });
    auto *poll = new QTimer(&application);
    QObject::connect(poll, &QTimer::timeout, &application, [&application] {
        if (quitRequested.exchange(false))
            application.quit();
    });
    poll->start(quitPollMs);
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
