// docshot FILE: makes the README's picture of the viewer. The main window on
// the virtual KestOne ("demo"), the points coloured by height with their colour
// bar, the ground grid, the view fitted to the room and one measurement across
// it, saved as a PNG. It needs a display: xvfb-run -a docshot docs/kestviewer.png
#include "app/glRender/gl_default_format.h"
#include "app/glRender/gl_point_cloud_renderer.h"
#include "app/glRender/point_cloud_widget.h"
#include "app/kest_data_handler.h"
#include "app/mainwindow.h"
#include "app/viewer/view_export.h"
#include "app/viewer/viewer_startup.h"

#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <optional>

namespace {

constexpr int streamingMs = 30000, settleMs = 4000;

// The first pixel from `from` stepping by `step` with a point under it.
std::optional<QPoint> firstPoint(const GLPointCloudRenderer &view, QPoint from, QPoint step) {
    for (QPoint at = from; view.rect().contains(at); at += step)
        if (view.pointAt(at))
            return at;
    return std::nullopt;
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc != 2) {
        fputs("usage: docshot FILE.png (under a display, e.g. xvfb-run -a)\n", stderr);
        return 64;
    }
    QTemporaryDir settings; // the picture never depends on, nor changes, anyone's settings
    qputenv("XDG_CONFIG_HOME", settings.path().toLocal8Bit());
    QCoreApplication::setApplicationName(QStringLiteral("kestviewer"));
    setDefaultGLFormat();
    QApplication application(argc, argv);
    VirtualKestOne device(kest_sim::stream_preset("demo"));
    MainWindow window;
    window.resize(1280, 800);
    window.show();
    GLPointCloudRenderer &view = *window.centralView()->renderer();
    if (!QTest::qWaitFor([&] { return view.totalPoints() > 0; }, streamingMs)) {
        fputs("docshot: the virtual KestOne showed no points\n", stderr);
        return 1;
    }
    QTest::qWait(settleMs);
    auto *mode = window.findChild<QComboBox *>(QStringLiteral("displayModeCombo"));
    mode->setCurrentIndex(mode->findData(GLPointCloudRenderer::Height)); // as a user would
    view.setGridShown(true);
    view.frameAll();
    view.grabFramebuffer(); // the matrices a pick uses
    const int row = view.height() * 3 / 5;
    const auto left = firstPoint(view, {view.width() / 5, row}, {4, 0});
    const auto right = firstPoint(view, {view.width() * 3 / 5, row}, {-4, 0});
    if (!left || !right) {
        fputs("docshot: found no points to measure between\n", stderr);
        return 1;
    }
    view.setMeasuring(true);
    QTest::mouseClick(&view, Qt::LeftButton, {}, *left);
    QTest::mouseClick(&view, Qt::LeftButton, {}, *right);
    view.setMeasuring(false);
    QTest::qWait(500);
    const bool saved = grabAsShown(window).save(QString::fromLocal8Bit(argv[1]), "PNG");
    KestDataHandler::instance()->shutdown();
    if (!saved)
        fprintf(stderr, "docshot: cannot write %s\n", argv[1]);
    return saved ? 0 : 1;
}
