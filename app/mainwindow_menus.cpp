// The main window's menus: File (recording and quitting; the playback control
// puts its own actions at the top), View (the log panel, the view settings) and
// Help (every key and mouse binding, and where things go).
#include "app/glRender/gl_point_cloud_renderer.h"
#include "app/glRender/point_cloud_widget.h"
#include "app/glRender/render_container_widget.h"
#include "app/kest_data_handler.h"
#include "app/mainwindow.h"
#include "app/viewer/view_export.h"
#include "app/viewer/viewer_settings.h"
#include "sdk/logger/logger.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QDockWidget>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSettings>
#include <QStatusBar>
#include <QToolBar>

namespace {

// What the 3D view does with the mouse and keys of its own; the menus' shortcuts
// are listed from the menus themselves.
const char *const viewBindings[][2] = {
    {"Left drag", "orbits the camera around the point it looks at"},
    {"Right drag", "pans"},
    {"Wheel", "zooms"},
    {"1, 2, 3", "colours the points by their colour, intensity or label"},
    {"4, 5", "colours the points by height or by range from the device"},
    {"F", "follows the device's pose (press again to stop)"},
    {"Shift+F", "chases the device: the camera behind and above it, z up"},
    {"R", "resets the camera"},
    {"Home", "fits the camera to the points shown"},
    {"7, 8, 9", "views from the top, the front or the side"},
    {"O", "switches between perspective and orthographic"},
    {"G, Shift+G", "shows or hides the ground grid, the range rings"},
    {"Resting the mouse", "shows the point under it in the status bar"},
    {"M, then two clicks", "measures between two points; Esc clears the measurements"},
    {"Click the camera inset", "swaps the camera picture and the 3D view"},
    {"Wheel over a panel value", "changes it once it has focus (click it first)"},
};

QString row(const QString &keys, const QString &does) {
    return QStringLiteral("<tr><td><b>%1</b></td><td>%2</td></tr>")
        .arg(keys.toHtmlEscaped(), does.toHtmlEscaped());
}

class ClickToHideLabel : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void mousePressEvent(QMouseEvent *) override { hide(); }
};

// A window that shows text and leaves the rest of the program running.
void showNote(QWidget *parent, const char *name, const QString &title, const QString &html) {
    auto *note = new QMessageBox(QMessageBox::NoIcon, title, html, QMessageBox::Close, parent);
    note->setObjectName(QLatin1String(name));
    note->setTextFormat(Qt::RichText);
    note->setAttribute(Qt::WA_DeleteOnClose);
    note->setModal(false);
    note->show();
}

} // namespace

void MainWindow::buildMenus() {
    fileMenuOfWindow = formMenuBar->addMenu(tr("&File"));
    fileMenuOfWindow->setObjectName(QStringLiteral("fileMenu"));
    QAction *record = fileMenuOfWindow->addAction(tr("Start Recording"));
    record->setObjectName(QStringLiteral("recordAction"));
    record->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    // The same click as the panel's button, so both say the same.
    connect(record, &QAction::triggered, pointCloudWidget, &PointCloudWidget::onRecordClicked);
    connect(dataHandler->recordingNotifier(), &RecordingNotifier::recordingChanged, record,
            [record](bool recording) {
                record->setText(recording ? tr("Stop Recording") : tr("Start Recording"));
            });
    buildReplayActions();
    fileMenuOfWindow->addSeparator();
    QAction *snapshot = fileMenuOfWindow->addAction(tr("Save Snapshot"));
    snapshot->setObjectName(QStringLiteral("snapshotAction"));
    snapshot->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    connect(snapshot, &QAction::triggered, this, &MainWindow::saveSnapshot);
    QAction *cloud = fileMenuOfWindow->addAction(tr("Save Shown Cloud…"));
    cloud->setObjectName(QStringLiteral("saveCloudAction"));
    cloud->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    connect(cloud, &QAction::triggered, this, &MainWindow::saveShownCloudAs);
    fileMenuOfWindow->addSeparator();
    QAction *quit = fileMenuOfWindow->addAction(tr("Quit"));
    quit->setObjectName(QStringLiteral("quitAction"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &QWidget::close); // as the close button does

    QMenu *view = formMenuBar->addMenu(tr("&View"));
    QAction *log = logDock->toggleViewAction();
    log->setObjectName(QStringLiteral("logOutputAction"));
    view->addAction(log);
    QAction *reset = view->addAction(tr("Reset View Settings"));
    reset->setObjectName(QStringLiteral("resetViewSettings"));
    connect(reset, &QAction::triggered, this,
            [this] { resetViewerSettings(*this, *pointCloudWidget); });
    view->addSeparator();
    buildCameraMenu(view);

    buildViewToolBar();

    QMenu *help = formMenuBar->addMenu(tr("&Help"));
    QAction *keys = help->addAction(tr("Keys and Mouse"));
    keys->setObjectName(QStringLiteral("keysAction"));
    keys->setShortcuts({QKeySequence(Qt::Key_F1), QKeySequence(Qt::Key_Question)});
    connect(keys, &QAction::triggered, this, &MainWindow::showKeysAndMouse);
    QAction *about = help->addAction(tr("About KestViewer"));
    about->setObjectName(QStringLiteral("aboutAction"));
    connect(about, &QAction::triggered, this, &MainWindow::showAbout);
}

// Saving the instant-replay buffer: named after its seconds, off while a
// recording is in progress (it holds them already) or the buffer is off.
void MainWindow::buildReplayActions() {
    QAction *save = fileMenuOfWindow->addAction(QString());
    save->setObjectName(QStringLiteral("saveReplayAction"));
    save->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R));
    connect(save, &QAction::triggered, this, &MainWindow::saveReplay);
    QAction *goOn = fileMenuOfWindow->addAction(tr("Go On Recording After Saving"));
    goOn->setObjectName(QStringLiteral("goOnRecordingAction"));
    goOn->setCheckable(true);
    goOn->setChecked(QSettings().value(QStringLiteral("replay/goOnRecording"), false).toBool());
    connect(goOn, &QAction::toggled, this,
            [](bool on) { QSettings().setValue(QStringLiteral("replay/goOnRecording"), on); });
    const auto follow = [this, save] {
        const double seconds = dataHandler->replayBuffer().seconds();
        save->setText(seconds > 0 ? tr("Save Last %1 Seconds").arg(seconds)
                                  : tr("Save Last Seconds (the replay buffer is off)"));
        save->setEnabled(seconds > 0 && !dataHandler->isRecording());
    };
    connect(fileMenuOfWindow, &QMenu::aboutToShow, save, follow);
    connect(dataHandler->recordingNotifier(), &RecordingNotifier::recordingChanged, save, follow);
    follow();
}

void MainWindow::saveReplay() {
    const bool goOn = findChild<QAction *>(QStringLiteral("goOnRecordingAction"))->isChecked();
    if (dataHandler->saveReplay(goOn))
        return;
    const QString line = tr("Last seconds not saved: %1").arg(dataHandler->lastStartFailure());
    log_print(WARN, "[Recorder] %s\n", line.toUtf8().constData());
    statusBar()->showMessage(line, statusMessageMs * 2);
}

// The 3D view's own keys act while it has focus; its menu entries name them
// after a tab, as Qt shows a shortcut, without taking the key from other widgets.
void MainWindow::buildCameraMenu(QMenu *view) {
    GLPointCloudRenderer *renderer = pointCloudWidget->renderer();
    const auto add = [&](QMenu *menu, const QString &text, const char *key, const char *name,
                         auto slot) {
        QAction *action = menu->addAction(text + QLatin1Char('\t') + QLatin1String(key));
        action->setObjectName(QLatin1String(name));
        action->setIconText(text); // on the tool bar, without the key
        action->setToolTip(QStringLiteral("%1 (%2)").arg(text, QLatin1String(key)));
        connect(action, &QAction::triggered, renderer, slot);
        return action;
    };
    QMenu *colours = view->addMenu(tr("Colour Points By"));
    const struct {
        const char *text, *key;
        int mode;
    } modes[] = {{"Colour", "1", GLPointCloudRenderer::RGB},
                 {"Intensity", "2", GLPointCloudRenderer::Intensity},
                 {"Label", "3", GLPointCloudRenderer::Label},
                 {"Height", "4", GLPointCloudRenderer::Height},
                 {"Range", "5", GLPointCloudRenderer::Range}};
    for (const auto &mode : modes)
        add(colours, tr(mode.text), mode.key, "colourAction",
            [renderer, value = mode.mode] { renderer->setDisplayMode(value); });
    add(view, tr("Fit All"), "Home", "fitAllAction", [renderer] { renderer->frameAll(); });
    add(view, tr("Top View"), "7", "topViewAction",
        [renderer] { renderer->viewFrom(GLPointCloudRenderer::Top); });
    add(view, tr("Front View"), "8", "frontViewAction",
        [renderer] { renderer->viewFrom(GLPointCloudRenderer::Front); });
    add(view, tr("Side View"), "9", "sideViewAction",
        [renderer] { renderer->viewFrom(GLPointCloudRenderer::Side); });
    add(view, tr("Reset Camera"), "R", "resetCameraAction", [renderer] {
        renderer->resetCamera();
        renderer->update();
    });
    const struct {
        const char *text, *key, *name;
        void (GLPointCloudRenderer::*set)(bool);
        bool (GLPointCloudRenderer::*get)() const;
    } toggles[] = {
        {"Orthographic", "O", "orthographicAction", &GLPointCloudRenderer::setOrthographic,
         &GLPointCloudRenderer::orthographicValue},
        {"Ground Grid", "G", "gridAction", &GLPointCloudRenderer::setGridShown,
         &GLPointCloudRenderer::gridShownValue},
        {"Range Rings", "Shift+G", "ringsAction", &GLPointCloudRenderer::setRingsShown,
         &GLPointCloudRenderer::ringsShownValue},
        {"Follow Device", "F", "followAction", &GLPointCloudRenderer::setFollowMode,
         &GLPointCloudRenderer::followModeValue},
        {"Chase View", "Shift+F", "chaseAction", &GLPointCloudRenderer::setChaseMode,
         &GLPointCloudRenderer::chaseModeValue},
        {"Measure", "M", "measureAction", &GLPointCloudRenderer::setMeasuring,
         &GLPointCloudRenderer::measuringValue},
    };
    view->addSeparator();
    for (const auto &toggle : toggles) {
        QAction *action = add(view, tr(toggle.text), toggle.key, toggle.name,
                              [renderer, set = toggle.set](bool on) { (renderer->*set)(on); });
        action->setCheckable(true);
        const auto follow = [renderer, action, get = toggle.get] {
            action->setChecked((renderer->*get)());
        };
        connect(renderer, &GLPointCloudRenderer::viewOptionsChanged, action, follow);
        connect(view, &QMenu::aboutToShow, action, follow);
    }
    add(view, tr("Clear Measurements"), "Esc", "clearMeasurementsAction",
        [renderer] { renderer->clearMeasurements(); });
}

// Where it went, in the status bar and the log; or why not.
void MainWindow::reportSaved(const char *what, const QString &path, const QString &error) {
    const QString line = error.isEmpty() ? tr("%1 saved to %2").arg(tr(what), path)
                                         : tr("%1 not saved: %2").arg(tr(what), error);
    statusBar()->showMessage(line, statusMessageMs * 2);
    if (error.isEmpty())
        log_print(INFO, "[View] %s\n", line.toUtf8().constData());
    else
        log_print(ERROR, "[View] %s\n", line.toUtf8().constData());
}

void MainWindow::saveSnapshot() {
    QString error;
    const QString path = saveViewSnapshot(*pointCloudWidget->renderer(), snapshotFolder(), &error);
    reportSaved("Snapshot", path, error);
}

void MainWindow::saveShownCloudAs() {
    QString path = QFileDialog::getSaveFileName(
        this, tr("Save Shown Cloud"), QDir(snapshotFolder()).filePath(QStringLiteral("cloud.ply")),
        tr("Point clouds (*.ply *.pcd *.las)"));
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".ply");
    QDir().mkpath(QFileInfo(path).absolutePath());
    QString error;
    saveShownCloud(*pointCloudWidget->renderer(), path, &error);
    reportSaved("Shown cloud", path, error);
}

// Over the 3D view, until F1 or "?" again or a click on it.
// The view's most used actions one click away, down the left of the window,
// where a laptop's screen has width to spare and no height.
void MainWindow::buildViewToolBar() {
    auto *bar = new QToolBar(tr("View"), this);
    bar->setObjectName(QStringLiteral("viewToolBar")); // named, so its place is remembered
    bar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    for (const char *name : {"fitAllAction", "topViewAction", "frontViewAction", "sideViewAction",
                             "measureAction", "snapshotAction"})
        bar->addAction(findChild<QAction *>(QLatin1String(name)));
    addToolBar(Qt::LeftToolBarArea, bar);
}

void MainWindow::showKeysAndMouse() {
    if (keysOverlay != nullptr && keysOverlay->isVisible()) {
        keysOverlay->hide();
        return;
    }
    QString rows;
    for (const auto &binding : viewBindings)
        rows += row(tr(binding[0]), tr(binding[1]));
    for (const QAction *menu : menuBar()->actions())
        for (const QAction *action :
             menu->menu() != nullptr ? menu->menu()->actions() : QList<QAction *>())
            if (!action->shortcut().isEmpty())
                rows +=
                    row(action->shortcut().toString(QKeySequence::NativeText),
                        QStringLiteral("%1 → %2").arg(menu->text(), action->text()).remove('&'));
    if (keysOverlay == nullptr) {
        keysOverlay = new ClickToHideLabel(pointCloudWidget);
        keysOverlay->setObjectName(QStringLiteral("keysOverlay"));
        keysOverlay->setTextFormat(Qt::RichText);
        keysOverlay->setStyleSheet(QStringLiteral(
            "QLabel { background: rgba(20, 20, 20, 220); color: white; padding: 12px; }"));
    }
    keysOverlay->setText(tr("<b>Keys and mouse</b> (F1 or ? hides this)"
                            "<table cellspacing='3'>%1</table>")
                             .arg(rows));
    keysOverlay->adjustSize();
    const QRect over = pointCloudWidget->renderContainer()->geometry();
    keysOverlay->move(over.center() - keysOverlay->rect().center());
    keysOverlay->show();
    keysOverlay->raise();
}

void MainWindow::showAbout() {
    const QStringList roots = dataHandler->recordingPlaces();
    QString text = tr("<p><b>KestViewer %1</b></p><p>A viewer and recorder for the KestOne.</p>")
                       .arg(QCoreApplication::applicationVersion().toHtmlEscaped());
    text += tr("<p>Log file: %1</p>")
                .arg(logFile.isEmpty() ? tr("none (%1)").arg(logFileProblem.toHtmlEscaped())
                                       : QDir::toNativeSeparators(logFile).toHtmlEscaped());
    if (!roots.isEmpty())
        text +=
            tr("<p>Recordings go under %1").arg(roots.first().toHtmlEscaped()) +
            (roots.size() > 1 ? tr(", or where it cannot be written, the first of %1 that can be")
                                    .arg(roots.mid(1).join(QStringLiteral(", ")).toHtmlEscaped())
                              : QString()) +
            QStringLiteral(".</p>");
    text += tr("<p>Settings: %1</p>").arg(QSettings().fileName().toHtmlEscaped());
    showNote(this, "aboutDialog", tr("About KestViewer"), text);
}
