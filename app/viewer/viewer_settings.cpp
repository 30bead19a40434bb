#include "app/viewer/viewer_settings.h"

#include "app/glRender/point_cloud_widget.h"

#include <QMainWindow>
#include <QScreen>
#include <QSettings>

namespace {

const char *const geometryKey = "window/geometry";
const char *const stateKey = "window/state";
// The window's size on a first run, where the screen has room for it: the form's
// 800 x 600 leaves the status bar's figures no room.
constexpr int firstWidth = 1280;
constexpr int firstHeight = 1000;

void firstSize(QMainWindow &window) {
    QSize size(firstWidth, firstHeight);
    if (const QScreen *screen = window.screen())
        size = size.boundedTo(screen->availableSize());
    window.resize(size);
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
