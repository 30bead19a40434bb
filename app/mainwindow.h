// The program's top-level window and the owner of start-up: logging to a file
// and to the "Log Output" panel, the central point cloud view with its control
// panel, and the data handler that brings the KestOne to streaming. The panel's
// scan-mode and record controls drive the handler; its device and recording
// reports show in the status bar and the log panel.
#pragma once

#include "app/viewer/log_panel_filter.h"
#include "recording/cloud_point.h"

#include <QMainWindow>
#include <QString>

class KestDataHandler;
class PointCloudWidget;
class QDockWidget;
class QLabel;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QTimer;
class ViewerStatusBar;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The logger's sink: prints the line on standard output and queues it for
    // the panel. Any thread.
    static int logSink(const char *format, ...) __attribute__((format(printf, 1, 2)));

    PointCloudWidget *centralView() const { return pointCloudWidget; }
    QPlainTextEdit *logView() const { return logPanel; }
    // The log file in use; empty when none could be created.
    QString logFilePath() const { return logFile; }
    ViewerStatusBar *liveStatus() const { return statusFigures; }
    // File, which others add their actions to.
    QMenu *fileMenu() const { return fileMenuOfWindow; }

public slots:
    void generateSimulationData();
    void onDeviceStatusChanged(bool connected, const QString &message);
    void pollLogQueue();
    void onRecordingChanged(bool recording, const QString &message);

private:
    static constexpr int statusMessageMs = 5000; // how long a status message shows

    void openLogFile();
    void setupForm();
    void buildLogPanel();
    void buildMenus();
    void buildCameraMenu(QMenu *view);
    void buildReplayActions();
    void saveReplay();
    void buildViewToolBar();
    void showWhatTheViewReads();
    void saveSnapshot();
    void saveShownCloudAs();
    void reportSaved(const char *what, const QString &path, const QString &error);
    void showKeysAndMouse();
    void showAbout();
    void appendLogHtml(const QString &html, LogPanelFilter::Level level);

    QWidget *formCentralWidget = nullptr; // the form's placeholder, replaced by the view
    QMenuBar *formMenuBar = nullptr;
    QMenu *fileMenuOfWindow = nullptr;
    QLabel *keysOverlay = nullptr; // Help > Keys and Mouse, over the view
    PointCloudWidget *pointCloudWidget = nullptr;
    QTimer *simulationTimer = nullptr;
    KestDataHandler *dataHandler = nullptr;
    QDockWidget *logDock = nullptr;
    QPlainTextEdit *logPanel = nullptr;
    LogPanelFilter *logFilter = nullptr;
    QTimer *logTimer = nullptr;
    ViewerStatusBar *statusFigures = nullptr;
    QString logFile;
    QString logFileProblem; // why there is no log file, for the panel and status bar
};
