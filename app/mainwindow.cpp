// The main window's start-up, log panel and device status (see the header).
#include "app/mainwindow.h"

#include "app/glRender/gl_point_cloud_renderer.h"
#include "app/glRender/point_cloud_widget.h"
#include "app/kest_data_handler.h"
#include "app/log_queue.h"
#include "app/program_places.h"
#include "app/viewer/viewer_settings.h"
#include "app/viewer/viewer_status_bar.h"
#include "sdk/logger/console.h"
#include "sdk/logger/logger.h"

#include <QComboBox>
#include <QDir>
#include <QDockWidget>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr int logLevel = 3; // everything up to DEBUG
constexpr int logPollMs = 100;
constexpr int logPanelMinimumHeight = 150;
constexpr int logFontPoints = 9;
constexpr size_t sinkCapacity = 4096;

uint32_t simulationFrame = 0;
float simulationPhase = 0.0f;

QFont logFont() {
    QFont font(QStringLiteral("Consolas"), logFontPoints);
    if (!QFontDatabase::families().contains(QStringLiteral("Consolas"))) {
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPointSize(logFontPoints);
    }
    return font;
}

} // namespace

int MainWindow::logSink(const char *format, ...) {
    char text[sinkCapacity];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    console_print("%s", text);
    LogQueue::instance().push(QString::fromUtf8(text));
    return 0;
}

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent) {
    srand(static_cast<unsigned>(time(nullptr)));
    openLogFile();
    log_config(logLevel, logSink);
    log_print(INFO, "Program started.");
    if (!logFile.isEmpty())
        log_print(INFO, "Log file: %s\n", QFile::encodeName(logFile).constData());
    setupForm();
    setWindowTitle(QStringLiteral("KestViewer"));
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/images/images/icon/kx_icon_svg.svg")));
    // Attaching to a parent console is a Windows facility; here the standard
    // streams stay as they are.

    pointCloudWidget = new PointCloudWidget(this);
    setCentralWidget(pointCloudWidget);
    console_print("OpenGL PointCloudRenderer initialized.\n");

    dataHandler = KestDataHandler::instance();
    // The viewer keeps the last seconds unless told otherwise (--replay-seconds).
    dataHandler->setReplayLimits(ReplayBuffer::defaultSeconds, ReplayBuffer::defaultBudgetBytes);
    // Listening before the device layer starts: a device already plugged in
    // may report its first status at once.
    connect(dataHandler, &KestDataHandler::deviceStatusChanged, this,
            &MainWindow::onDeviceStatusChanged);
    connect(dataHandler->recordingNotifier(), &RecordingNotifier::recordingChanged, this,
            &MainWindow::onRecordingChanged);
    connect(dataHandler->recordingNotifier(), &RecordingNotifier::recordingChanged,
            pointCloudWidget, [this](bool recording, const QString &) {
                pointCloudWidget->onRecordingChanged(recording);
            });
    KestDataHandler::initSdk();
    connect(pointCloudWidget, &PointCloudWidget::sig_scanModeChanged, dataHandler,
            &KestDataHandler::onScanModeChanged);
    connect(pointCloudWidget, &PointCloudWidget::sig_recordToggled, dataHandler,
            &KestDataHandler::onRecordToggled);

    buildLogPanel();
    buildMenus();
    restoreViewerSettings(*this, *pointCloudWidget);
    showWhatTheViewReads();
    statusFigures =
        new ViewerStatusBar(statusBar(), dataHandler, pointCloudWidget->renderer(), this);
    connect(dataHandler->recordingNotifier(), &RecordingNotifier::recordingChanged, statusFigures,
            &ViewerStatusBar::onRecordingChanged);
    connect(dataHandler->recordingNotifier(), &RecordingNotifier::recordingFinishing, statusFigures,
            &ViewerStatusBar::onRecordingFinishing);
    if (!logFileProblem.isEmpty()) {
        appendLogHtml(QStringLiteral("<b><span style='color:#CC0000;'>%1</span></b>")
                          .arg(logFileProblem.toHtmlEscaped()),
                      LogPanelFilter::Errors);
        statusBar()->showMessage(logFileProblem);
    }
    logTimer = new QTimer(this);
    connect(logTimer, &QTimer::timeout, this, &MainWindow::pollLogQueue);
    logTimer->start(logPollMs);
    show();
    console_print("OpenGL point cloud renderer setup complete.\n");
    log_print(INFO, "OpenGL point cloud renderer setup complete.");
}

MainWindow::~MainWindow() {
    console_print("~MainWindow start\n");
    log_print(INFO, "~MainWindow start");
    if (logTimer != nullptr)
        logTimer->stop();
    if (simulationTimer != nullptr)
        simulationTimer->stop();
    saveViewerSettings(*this, *pointCloudWidget);
    delete pointCloudWidget;
    pointCloudWidget = nullptr;
    console_print("~MainWindow end\n");
    log_print(INFO, "~MainWindow end");
}

// The log file goes to "logs" in the working directory, or, where that cannot
// be written, to the per-user state folder (an installed viewer goes there
// at once); without either the viewer runs on and says so instead of leaving
// an empty window.
void MainWindow::openLogFile() {
    QStringList tried;
    if (!programPlaces().installed) {
        if (log_file_init() == 0) {
            logFile = QDir::current().absoluteFilePath(QFile::decodeName(log_file_path()));
            return;
        }
        tried << QDir::current().absoluteFilePath(QStringLiteral("logs"));
    }
    const QString folder = userLogFolder();
    QDir().mkpath(folder);
    if (log_file_init_in(QFile::encodeName(folder).constData()) == 0) {
        logFile = QFile::decodeName(log_file_path());
        return;
    }
    tried << folder;
    console_print("Failed to create log file.\n");
    logFileProblem =
        QStringLiteral("Failed to create log file (tried %1); the log is shown here only.")
            .arg(tried.join(QStringLiteral(" and ")));
}

void MainWindow::setupForm() {
    if (objectName().isEmpty())
        setObjectName(QStringLiteral("MainWindow"));
    resize(800, 600);
    formCentralWidget = new QWidget(this);
    formCentralWidget->setObjectName(QStringLiteral("centralwidget"));
    setCentralWidget(formCentralWidget);
    formMenuBar = new QMenuBar(this);
    formMenuBar->setObjectName(QStringLiteral("menubar"));
    formMenuBar->setGeometry(QRect(0, 0, 800, 21));
    setMenuBar(formMenuBar);
    setWindowTitle(QCoreApplication::translate("MainWindow", "MainWindow"));
    QMetaObject::connectSlotsByName(this);
}

void MainWindow::buildLogPanel() {
    logDock = new QDockWidget(tr("Log Output"), this);
    logDock->setObjectName(QStringLiteral("logDock")); // named, so its place is remembered
    auto *content = new QWidget(logDock);
    logPanel = new QPlainTextEdit(content);
    logPanel->setReadOnly(true);
    logPanel->document()->setMaximumBlockCount(static_cast<int>(LogQueue::CAPACITY));
    logPanel->setFont(logFont());
    auto *choice = new QComboBox(content);
    choice->setObjectName(QStringLiteral("logShownCombo"));
    logFilter = new LogPanelFilter(logPanel, choice, this);
    auto *row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(new QLabel(tr("Show:"), content));
    row->addWidget(choice);
    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addLayout(row);
    column->addWidget(logPanel);
    logDock->setWidget(content);
    addDockWidget(Qt::BottomDockWidgetArea, logDock);
    logDock->setMinimumHeight(logPanelMinimumHeight);
    // As small as allowed until the user (or the stored layout) says otherwise:
    // the view and its controls need the height more.
    resizeDocks({logDock}, {logPanelMinimumHeight}, Qt::Vertical);
}

// The point under the cursor at the left of the status bar; each measurement
// there for a while and in the log for good.
void MainWindow::showWhatTheViewReads() {
    auto *readout = new QLabel(statusBar());
    readout->setObjectName(QStringLiteral("pointReadout"));
    statusBar()->addWidget(readout);
    GLPointCloudRenderer *view = pointCloudWidget->renderer();
    connect(view, &GLPointCloudRenderer::pointHovered, readout, &QLabel::setText);
    connect(view, &GLPointCloudRenderer::measurementMade, this, [this](const QString &text) {
        statusBar()->showMessage(tr("Measured %1").arg(text), statusMessageMs * 2);
        log_print(INFO, "[View] Measured %s\n", text.toUtf8().constData());
    });
}

void MainWindow::appendLogHtml(const QString &html, LogPanelFilter::Level level) {
    if (logFilter != nullptr)
        logFilter->append(html, level);
}

void MainWindow::pollLogQueue() {
    LogQueue::Drained drained = LogQueue::instance().drain();
    for (const QString &line : drained.lines) {
        const LogPanelFilter::Style style = LogPanelFilter::styleOf(line);
        appendLogHtml(QStringLiteral("<span style='color:%1;'>%2</span>")
                          .arg(QLatin1String(style.colour), line.toHtmlEscaped()),
                      style.level);
    }
    // After the lines, so that the panel's own limit never drops the notice.
    if (drained.dropped > 0)
        appendLogHtml(QStringLiteral("<span style='color:#CC8400;'>(%1 log lines before these "
                                     "were dropped: they came faster than the panel could show "
                                     "them)</span>")
                          .arg(drained.dropped),
                      LogPanelFilter::Warnings);
}

// The report's line goes after the log lines queued before it, so the panel
// keeps the order in which things happened.
void MainWindow::onDeviceStatusChanged(bool connected, const QString &message) {
    statusBar()->showMessage(message, statusMessageMs);
    pollLogQueue();
    appendLogHtml(QStringLiteral("<b><span style='color:%1;'>[Device] %2</span></b>")
                      .arg(connected ? QStringLiteral("#008000") : QStringLiteral("#CC0000"),
                           message.toHtmlEscaped()),
                  connected ? LogPanelFilter::Info : LogPanelFilter::Errors);
}

// The recorder logs its own line (the log file keeps it): the panel has it from there.
void MainWindow::onRecordingChanged(bool, const QString &message) {
    statusBar()->showMessage(message, statusMessageMs);
}

void MainWindow::generateSimulationData() {
    size_t n = static_cast<size_t>(rand() % 5000 + 10000);
    std::vector<CloudPoint> points;
    points.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        float t = static_cast<float>(i);
        float angle = t * 0.1f + simulationPhase;
        float radius = t * 0.01f;
        float cosA = std::cos(angle);
        float sinA = std::sin(angle);
        CloudPoint point;
        point.x = cosA * radius;
        point.y = t * 0.001f;
        point.z = sinA * radius;
        point.r = static_cast<uint8_t>(static_cast<int>((sinA + 1.0f) * 127.5f));
        point.g = static_cast<uint8_t>(static_cast<int>((cosA + 1.0f) * 127.5f));
        point.b = static_cast<uint8_t>(static_cast<int32_t>(((t * 0.001f) * 10.0f) * 255.0f));
        point.intensity = static_cast<uint8_t>(static_cast<int32_t>((radius / 50.0f) * 255.0f));
        point.label = simulationFrame;
        points.push_back(point);
    }
    pointCloudWidget->updatePointCloud(points);
    ++simulationFrame;
    simulationPhase += 0.1f;
}
