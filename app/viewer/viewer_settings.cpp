#include "app/viewer/viewer_settings.h"

#include "app/glRender/point_cloud_widget.h"

#include <QDeadlineTimer>
#include <QMainWindow>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <QSettings>
#include <algorithm>

namespace {

const char *const geometryKey = "window/geometry";
const char *const stateKey = "window/state";
// The window's size on a first run, where the screen has room for it: the form's
// 800 x 600 leaves the status bar's figures no room.
constexpr int firstWidth = 1280;
constexpr int firstHeight = 1000;
// A window manager's title bar and borders are known only once the window is
// shown: until then room is left for a usual frame, and the window is fitted
// again when its own is known (or after a while without one: no window manager).
constexpr QMargins usualFrame(8, 40, 8, 8);
constexpr int frameCheckMs = 50;
constexpr int frameWaitMs = 5000;

// The window with its frame inside the screen's free area (panels excluded),
// at the top and centred across.
void fitToScreen(QMainWindow &window, const QMargins &frame) {
    const QScreen *screen = window.screen();
    if (screen == nullptr)
        return;
    const QRect room = screen->availableGeometry();
    const QSize size = QSize(firstWidth, firstHeight).boundedTo(room.marginsRemoved(frame).size());
    window.resize(size);
    const int across = (room.width() - size.width() - frame.left() - frame.right()) / 2;
    window.move(room.left() + std::max(across, 0), room.top()); // the frame's corner
}

void firstSize(QMainWindow &window) {
    fitToScreen(window, usualFrame);
    auto *check = new QTimer(&window);
    QDeadlineTimer patience(frameWaitMs);
    QObject::connect(check, &QTimer::timeout, &window, [&window, check, patience] {
        const QWindow *handle = window.windowHandle();
        const QMargins frame = handle != nullptr ? handle->frameMargins() : QMargins();
        if (frame.isNull() && !patience.hasExpired())
            return;
        check->deleteLater();
        fitToScreen(window, frame);
    });
    check->start(frameCheckMs);
}

} // namespace

void restoreViewerSettings(QMainWindow &window, PointCloudWidget &view) {
    const QSettings settings;
    if (!window.restoreGeometry(settings.value(geometryKey).toByteArray()))
        firstSize(window);
    window.restoreState(settings.value(stateKey).toByteArray());
    view.restoreViewSettings(settings);
}

void saveViewerSettings(const QMainWindow &window, const PointCloudWidget &view) {
    QSettings settings;
    settings.setValue(geometryKey, window.saveGeometry());
    settings.setValue(stateKey, window.saveState());
    view.saveViewSettings(settings);
}

void resetViewerSettings(QMainWindow &window, PointCloudWidget &view) {
    view.resetViewSettings();
    window.showNormal();
    firstSize(window);
}
