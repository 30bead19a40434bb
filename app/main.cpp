// kestviewer: the viewer's entry point. The command line is read before the
// application object exists, so --help and --version work without a display.
#include "app/glRender/gl_default_format.h"
#include "app/glRender/gl_point_cloud_renderer.h"
#include "app/glRender/point_cloud_widget.h"
#include "app/kest_data_handler.h"
#include "app/mainwindow.h"
#include "app/viewer/playback_control.h"
#include "app/viewer/viewer_options.h"
#include "app/viewer/viewer_startup.h"
#include "app/viewer/viewer_status_bar.h"
#include "sdk/common/platform/platform.h"

#include <QApplication>

#include <cstdio>
#include <memory>

int main(int argc, char *argv[]) {
    platform_attach_console(); // Windows: the console this GUI program was started from
    QCoreApplication::setApplicationName(QStringLiteral("kestviewer"));
    QCoreApplication::setOrganizationName(QStringLiteral("kestviewer"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KEST_VERSION));
    // Ties the windows to the installed desktop entry (its icon, on Wayland too).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.kestviewer.KestViewer"));
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    ViewerCommandLine commandLine = parseViewerCommandLine(arguments);
    if (!commandLine.options) {
        fputs(commandLine.text.toLocal8Bit().constData(),
              commandLine.exitStatus == 0 ? stdout : stderr);
        return commandLine.exitStatus;
    }
    const ViewerOptions &options = *commandLine.options;

    setDefaultGLFormat(); // OpenGL 3.3 core for every view, before the application exists
    QApplication application(argc, argv);
    std::unique_ptr<VirtualKestOne> virtualDevice;
    if (options.virtualDevice)
        virtualDevice = std::make_unique<VirtualKestOne>(options.streams);
    quitOnSignals(application);
    // The quit path stops a recording (its files complete) and takes the
    // device layer down while the window and the process-wide objects that
    // the layer's threads feed still exist.
    QObject::connect(&application, &QCoreApplication::aboutToQuit, [&virtualDevice] {
        if (virtualDevice)
            virtualDevice->stopFaults();
        KestDataHandler::instance()->shutdown();
    });

    KestDataHandler::instance()->setRecordingRoot(options.recordDir);
    std::unique_ptr<MainWindow> window;
    if (options.record)
        recordWhenStreaming(application, [&window] {
            if (window != nullptr)
                window->centralView()->onRecordClicked();
        });
    window = std::make_unique<MainWindow>();
    new PlaybackControl(window.get(), virtualDevice.get()); // owned by the window
    KestDataHandler::instance()->setReplayLimits(options.replaySeconds,
                                                 options.replayBudgetMB << 20);
    if (options.scanMode)
        window->centralView()->setScanMode(*options.scanMode);
    window->show();
    if (options.printStats)
        QObject::connect(window->liveStatus(), &ViewerStatusBar::refreshed, [&window] {
            printf("stats: %s\n", window->liveStatus()->summary().toUtf8().constData());
            fflush(stdout);
        });
    GLPointCloudRenderer &view = *window->centralView()->renderer();
    if (options.displayMode)
        view.setDisplayMode(*options.displayMode);
    if (options.colormap)
        view.setColormap(*options.colormap);
    if (options.viewPreset)
        frameWhenShown(view, *options.viewPreset);
    if (options.quitAfterSeconds >= 0)
        screenshotAndQuit(*window, {options.screenshot, options.viewScreenshot},
                          options.quitAfterSeconds, [&view, preset = options.viewPreset] {
                              if (preset)
                                  frame(view, *preset);
                          });
    return application.exec();
}
