// What the viewer remembers between runs: the window's size and the view
// controls, through a real quit and start; never the scan mode or a recording.
#include "app/glRender/point_cloud_widget.h"
#include "tests/app/main_window_test.h"

#include <QAction>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QTest>

using namespace kest_test;

namespace {

template <typename Widget>
Widget *control(MainWindow &window, const char *name) {
    Widget *found = window.centralView()->findChild<Widget *>(QLatin1String(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

} // namespace

TEST_F(MainWindowTest, WindowSizeAndViewControlsSurviveARestartScanModeDoesNot) {
    open();
    const QSize size = window->minimumSizeHint().expandedTo(QSize(900, 640)) + QSize(31, 17);
    window->resize(size);
    control<QDoubleSpinBox>(*window, "pointSizeSpin")->setValue(3.5);
    QComboBox *renderMode = control<QComboBox>(*window, "renderModeCombo");
    renderMode->setCurrentIndex(renderMode->findText("Accumulate"));
    QComboBox *scanMode = control<QComboBox>(*window, "scanModeCombo");
    scanMode->setCurrentIndex(scanMode->findText("DTOF"));
    window.reset();
    KestDataHandler::instance()->shutdown();

    open();
    EXPECT_EQ(window->size(), size);
    EXPECT_DOUBLE_EQ(control<QDoubleSpinBox>(*window, "pointSizeSpin")->value(), 3.5);
    EXPECT_EQ(control<QComboBox>(*window, "renderModeCombo")->currentText(), "Accumulate");
    GLPointCloudRenderer *renderer = window->centralView()->renderer();
    EXPECT_EQ(renderer->renderModeValue(), GLPointCloudRenderer::Accumulate)
        << "the renderer follows the restored control";
    EXPECT_EQ(control<QComboBox>(*window, "scanModeCombo")->currentText(), "SLAM");
    EXPECT_EQ(window->centralView()->scanMode(), ScanMode::SLAM);
}

TEST_F(MainWindowTest, OneClickPutsTheViewControlsBack) {
    open();
    control<QDoubleSpinBox>(*window, "pointSizeSpin")->setValue(4.0);
    QComboBox *renderMode = control<QComboBox>(*window, "renderModeCombo");
    renderMode->setCurrentIndex(renderMode->findText("Accumulate"));
    QAction *reset = window->findChild<QAction *>("resetViewSettings");
    ASSERT_NE(reset, nullptr);
    EXPECT_EQ(reset->text(), "Reset View Settings");
    reset->trigger();
    EXPECT_DOUBLE_EQ(control<QDoubleSpinBox>(*window, "pointSizeSpin")->value(), 1.0);
    EXPECT_EQ(renderMode->currentText(), "Single Frame");
    EXPECT_EQ(window->centralView()->renderer()->renderModeValue(),
              GLPointCloudRenderer::SingleFrame);
}
