// The control panel: which hand-off buffer each poll reads and what reaches the
// views, the controls' effect on the renderer, the record button, the status
// labels, the view settings kept between runs and the destruction lines. The
// panel is shown because clouds need the renderer's context.
#include "app/glRender/gl_image_preview_widget.h"
#include "app/glRender/point_cloud_widget.h"
#include "app/glRender/render_container_widget.h"
#include "tests/app/glRender/view_harness.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

#include <opencv2/core.hpp>

#include <chrono>
#include <functional>
#include <string>

using namespace kest_test;

namespace {

// Takes whatever an earlier test left in the process-wide hand-off buffers.
void drain_buffers() {
    std::vector<CloudPoint> cloud;
    cv::Mat image;
    PoseRecord pose;
    g_slamCloudBuffer.take(cloud);
    g_dtofCloudBuffer.take(cloud);
    g_imageBuffer.take(image);
    g_poseBuffer.take(pose);
}

// Runs the event loop (the panel's timers) until condition holds.
testing::AssertionResult shows_up(const std::function<bool()> &condition, const std::string &what) {
    const int limit = static_cast<int>(std::chrono::milliseconds(patience()).count());
    if (QTest::qWaitFor(condition, limit))
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << what << " did not happen within " << patience().count() << " s";
}

// Following the pose puts the eye at its translation; before any pose arrives
// the renderer holds the identity, which puts it at the origin. Leaving follow
// mode resets the held pose, which is harmless only while none has arrived.
bool renderer_holds_pose_at(GLPointCloudRenderer &renderer, QVector3D translation) {
    renderer.setFollowMode(true);
    const bool there = (renderer.eyePosition() - translation).length() < 1e-4f;
    if (!there)
        renderer.setFollowMode(false);
    return there;
}

// The controls of a panel, found by their object names.
struct Controls {
    explicit Controls(QWidget &panel)
        : scanMode(find<QComboBox>(panel, "scanModeCombo")),
          displayMode(find<QComboBox>(panel, "displayModeCombo")),
          renderMode(find<QComboBox>(panel, "renderModeCombo")),
          infinite(find<QCheckBox>(panel, "infiniteFramesCheck")),
          maxFrames(find<QSpinBox>(panel, "maxFramesSpin")),
          voxelSize(find<QDoubleSpinBox>(panel, "voxelSizeSpin")),
          maxPoints(find<QSpinBox>(panel, "maxPointsSpin")),
          pointSize(find<QDoubleSpinBox>(panel, "pointSizeSpin")),
          record(find<QPushButton>(panel, "recordButton")),
          pointsLabel(find<QLabel>(panel, "pointsLabel")),
          framesLabel(find<QLabel>(panel, "framesLabel")) {}

    template <typename Widget>
    static Widget *find(QWidget &panel, const char *name) {
        Widget *widget = panel.findChild<Widget *>(name);
        if (widget == nullptr)
            ADD_FAILURE() << "the panel has no control named " << name;
        return widget;
    }

    QComboBox *scanMode;
    QComboBox *displayMode;
    QComboBox *renderMode;
    QCheckBox *infinite;
    QSpinBox *maxFrames;
    QDoubleSpinBox *voxelSize;
    QSpinBox *maxPoints;
    QDoubleSpinBox *pointSize;
    QPushButton *record;
    QLabel *pointsLabel;
    QLabel *framesLabel;
};

class Panel : public ::testing::Test {
protected:
    void SetUp() override {
        drain_buffers();
        ASSERT_TRUE(show_and_wait(panel, 1200, 800));
        ASSERT_NE(panel.renderer(), nullptr);
    }
    void TearDown() override { drain_buffers(); }

    GLPointCloudRenderer &renderer() { return *panel.renderer(); }
    void add_clouds(int count, size_t points) {
        for (int k = 0; k < count; ++k)
            panel.updatePointCloud(cloud_at(points, {1, 0, 0}));
    }

    PointCloudWidget panel;
    Controls controls{panel};
};

// The panel's controls and the renderer's state agree on every view setting.
void expect_renderer_follows(const Controls &controls, const GLPointCloudRenderer &renderer) {
    EXPECT_EQ(renderer.displayModeValue(), controls.displayMode->currentData().toInt());
    EXPECT_EQ(renderer.renderModeValue(), controls.renderMode->currentData().toInt());
    EXPECT_EQ(renderer.maxFramesValue(),
              controls.infinite->isChecked() ? -1 : controls.maxFrames->value());
    EXPECT_FLOAT_EQ(renderer.voxelSizeValue(), static_cast<float>(controls.voxelSize->value()));
    EXPECT_EQ(renderer.maxPointsValue(), controls.maxPoints->value());
    EXPECT_FLOAT_EQ(renderer.pointSizeValue(), static_cast<float>(controls.pointSize->value()));
}

// The defaults the panel puts back: RGB, single frame, 10 frames, no voxel
// filter, 100000000 points, point size 1.0, and the renderer with them.
void expect_defaults(const Controls &controls, const GLPointCloudRenderer &renderer) {
    EXPECT_EQ(controls.displayMode->currentText(), "RGB");
    EXPECT_EQ(controls.renderMode->currentText(), "Single Frame");
    EXPECT_FALSE(controls.infinite->isChecked());
    EXPECT_TRUE(controls.infinite->isHidden());
    EXPECT_EQ(controls.maxFrames->value(), 10);
    EXPECT_EQ(controls.voxelSize->value(), 0.0);
    EXPECT_EQ(controls.maxPoints->value(), 100000000);
    EXPECT_EQ(controls.pointSize->value(), 1.0);
    EXPECT_EQ(renderer.displayModeValue(), GLPointCloudRenderer::RGB);
    EXPECT_EQ(renderer.renderModeValue(), GLPointCloudRenderer::SingleFrame);
    EXPECT_EQ(renderer.maxFramesValue(), 10);
    EXPECT_EQ(renderer.voxelSizeValue(), 0.0f);
    EXPECT_EQ(renderer.maxPointsValue(), 100000000);
    EXPECT_EQ(renderer.pointSizeValue(), 1.0f);
}

} // namespace

TEST(PanelStart, InitialValuesReachNoSlotAndMatchTheRenderer) {
    drain_buffers();
    PointCloudWidget panel;
    Controls controls(panel);
    QSignalSpy scan(&panel, &PointCloudWidget::sig_scanModeChanged);
    QSignalSpy record(&panel, &PointCloudWidget::sig_recordToggled);
    QSignalSpy display(&panel, &PointCloudWidget::displayModeChanged);
    QSignalSpy render(&panel, &PointCloudWidget::renderModeChanged);
    ASSERT_TRUE(show_and_wait(panel, 1200, 800));
    // A cloud through the SLAM buffer proves the event loop ran the panel's timers.
    g_slamCloudBuffer.publish(cloud_at(3, {1, 0, 0}));
    EXPECT_TRUE(shows_up([&] { return panel.renderer()->totalPoints() == 3; },
                         "a SLAM cloud reaching the renderer"));

    EXPECT_EQ(scan.count() + record.count() + display.count() + render.count(), 0);
    // Had the render mode slot run, the spin box would be disabled in single-frame mode.
    EXPECT_TRUE(controls.maxFrames->isEnabled());
    expect_defaults(controls, *panel.renderer());
    EXPECT_EQ(controls.scanMode->currentText(), "SLAM");
    EXPECT_EQ(panel.scanMode(), ScanMode::SLAM);
    EXPECT_EQ(controls.record->text(), "Start Recording");
    EXPECT_FALSE(panel.isRecording());
    drain_buffers();
}

TEST_F(Panel, DtofReadsOnlyTheDtofBufferAndAScanModeChangeEmptiesTheStore) {
    QSignalSpy scan(&panel, &PointCloudWidget::sig_scanModeChanged);
    add_clouds(1, 4);
    ASSERT_EQ(renderer().totalPoints(), 4);

    controls.scanMode->setCurrentIndex(controls.scanMode->findText("DTOF"));
    ASSERT_EQ(scan.count(), 1);
    EXPECT_EQ(static_cast<int>(scan.at(0).at(0).value<ScanMode>()), 1);
    EXPECT_EQ(panel.scanMode(), ScanMode::DTOF);
    EXPECT_EQ(renderer().totalPoints(), 0) << "the SLAM cloud is gone from the view";
    EXPECT_EQ(renderer().currentFrameData(), nullptr);

    std::string out = capture_stdout([&] {
        g_slamCloudBuffer.publish(cloud_at(7, {1, 0, 0}));
        g_dtofCloudBuffer.publish(cloud_at(5, {1, 0, 0}));
        EXPECT_TRUE(shows_up([&] { return renderer().totalPoints() == 5; },
                             "the DTOF cloud reaching the renderer"));
    });
    EXPECT_NE(out.find("PointCloudWidget::updatePointCloud with 5 points\n"), std::string::npos)
        << out;
    EXPECT_EQ(out.find("with 7 points"), std::string::npos) << out;
    std::vector<CloudPoint> untouched;
    ASSERT_TRUE(g_slamCloudBuffer.take(untouched)) << "the SLAM buffer was read in DTOF mode";
    EXPECT_EQ(untouched.size(), 7u);

    // Accumulated DTOF frames go too when SLAM comes back.
    controls.renderMode->setCurrentIndex(controls.renderMode->findText("Accumulate"));
    add_clouds(3, 2);
    ASSERT_EQ(renderer().frameCount(), 3);
    controls.scanMode->setCurrentIndex(controls.scanMode->findText("SLAM"));
    ASSERT_EQ(scan.count(), 2);
    EXPECT_EQ(static_cast<int>(scan.at(1).at(0).value<ScanMode>()), 0);
    EXPECT_EQ(renderer().frameCount(), 0);
    EXPECT_EQ(renderer().totalPoints(), 0);
    g_slamCloudBuffer.publish(cloud_at(9, {1, 0, 0}));
    EXPECT_TRUE(shows_up([&] { return renderer().totalPoints() == 9; },
                         "a SLAM cloud reaching the renderer after the switch back"));
}

TEST_F(Panel, AccumulateOffersInfiniteFramesAndSingleFrameEmptiesTheStore) {
    QSignalSpy render(&panel, &PointCloudWidget::renderModeChanged);
    controls.renderMode->setCurrentIndex(controls.renderMode->findText("Accumulate"));
    ASSERT_EQ(render.count(), 1);
    EXPECT_EQ(render.at(0).at(0).value<GLPointCloudRenderer::RenderMode>(),
              GLPointCloudRenderer::Accumulate);
    EXPECT_EQ(renderer().renderModeValue(), GLPointCloudRenderer::Accumulate);
    EXPECT_TRUE(controls.infinite->isVisible());
    EXPECT_EQ(controls.infinite->text(), "Infinite Frames");
    EXPECT_TRUE(controls.maxFrames->isEnabled());

    controls.maxFrames->setValue(7);
    add_clouds(9, 1);
    EXPECT_EQ(renderer().frameCount(), 7) << "the spin box's limit holds";

    controls.infinite->setChecked(true);
    EXPECT_FALSE(controls.maxFrames->isEnabled());
    EXPECT_EQ(renderer().maxFramesValue(), -1);
    add_clouds(5, 1);
    EXPECT_EQ(renderer().frameCount(), 12) << "no limit while Infinite Frames is checked";

    controls.infinite->setChecked(false);
    EXPECT_TRUE(controls.maxFrames->isEnabled());
    EXPECT_EQ(renderer().maxFramesValue(), 7);
    EXPECT_EQ(renderer().frameCount(), 7) << "the spin box's limit is back";

    controls.renderMode->setCurrentIndex(controls.renderMode->findText("Single Frame"));
    ASSERT_EQ(render.count(), 2);
    EXPECT_EQ(render.at(1).at(0).value<GLPointCloudRenderer::RenderMode>(),
              GLPointCloudRenderer::SingleFrame);
    EXPECT_TRUE(controls.infinite->isHidden());
    EXPECT_FALSE(controls.infinite->isVisible());
    EXPECT_FALSE(controls.maxFrames->isEnabled());
    EXPECT_EQ(renderer().frameCount(), 0);
}

TEST_F(Panel, DisplayModeAndPerformanceControlsReachTheRenderer) {
    QSignalSpy display(&panel, &PointCloudWidget::displayModeChanged);
    controls.displayMode->setCurrentIndex(controls.displayMode->findText("Label"));
    ASSERT_EQ(display.count(), 1);
    EXPECT_EQ(display.at(0).at(0).value<GLPointCloudRenderer::DisplayMode>(),
              GLPointCloudRenderer::Label);
    controls.voxelSize->setValue(0.25);
    controls.pointSize->setValue(4.5);
    controls.maxPoints->setValue(250000);
    expect_renderer_follows(controls, renderer());
    EXPECT_EQ(renderer().displayModeValue(), GLPointCloudRenderer::Label);

    // The budget's floor is the renderer's: nothing below 1000 can be chosen.
    EXPECT_EQ(controls.maxPoints->minimum(), 1000);
    controls.maxPoints->setValue(10);
    EXPECT_EQ(controls.maxPoints->value(), 1000);
    EXPECT_EQ(renderer().maxPointsValue(), 1000);
    controls.maxPoints->stepDown();
    EXPECT_EQ(controls.maxPoints->value(), 1000);
}

TEST_F(Panel, RecordButtonFlipsOnClickAndFollowsTheRecorder) {
    QSignalSpy toggled(&panel, &PointCloudWidget::sig_recordToggled);
    controls.record->click();
    ASSERT_EQ(toggled.count(), 1);
    EXPECT_TRUE(toggled.at(0).at(0).toBool());
    EXPECT_EQ(controls.record->text(), "Stop Recording");
    controls.record->click();
    ASSERT_EQ(toggled.count(), 2);
    EXPECT_FALSE(toggled.at(1).at(0).toBool());
    EXPECT_EQ(controls.record->text(), "Start Recording");

    // A recording that fails to start: the recorder's report puts the button back.
    controls.record->click();
    ASSERT_EQ(toggled.count(), 3);
    EXPECT_TRUE(toggled.at(2).at(0).toBool());
    panel.onRecordingChanged(false);
    EXPECT_EQ(toggled.count(), 3) << "a report from the recorder is not sent back to it";
    EXPECT_EQ(controls.record->text(), "Start Recording");
    EXPECT_FALSE(panel.isRecording());
    controls.record->click();
    ASSERT_EQ(toggled.count(), 4);
    EXPECT_TRUE(toggled.at(3).at(0).toBool()) << "the next click starts again";

    panel.onRecordingChanged(true);
    EXPECT_EQ(controls.record->text(), "Stop Recording");
    EXPECT_EQ(toggled.count(), 4);
}

TEST_F(Panel, PollsHandPicturesAndPosesToTheViews) {
    GLImagePreviewWidget &preview = *panel.renderContainer()->preview();
    const cv::Mat picture(48, 64, CV_8UC3, cv::Scalar(255, 0, 0)); // blue, in BGR order
    std::string out = capture_stdout([&] {
        g_imageBuffer.publish(picture);
        EXPECT_TRUE(shows_up([&] { return preview.storedImage().cols == 64; },
                             "the picture reaching the preview"));
    });
    EXPECT_EQ(preview.storedImage().rows, 48);
    EXPECT_NE(out.find("PointCloudWidget::updateImage with 64 x 48 image\n"), std::string::npos)
        << out;

    PoseRecord pose;
    const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    std::copy(identity, identity + 9, pose.rotation);
    pose.translation[0] = 1;
    pose.translation[1] = 2;
    pose.translation[2] = 3;
    g_poseBuffer.publish(pose);
    EXPECT_TRUE(shows_up(
        [&] {
            return renderer_holds_pose_at(renderer(), {1, 2, 3});
        },
        "the pose reaching the renderer"));
}

TEST_F(Panel, StatusLabelsCountWhatTheRendererHolds) {
    std::string out = capture_stdout([&] { panel.updatePointCloud(cloud_at(6, {1, 0, 0})); });
    EXPECT_EQ(out, "PointCloudWidget::updatePointCloud with 6 points\n");
    EXPECT_TRUE(
        shows_up([&] { return controls.pointsLabel->text() == "Points: 6"; }, "\"Points: 6\""));
    EXPECT_EQ(controls.framesLabel->text(), "Frames: 0") << "single frame keeps no store";

    controls.renderMode->setCurrentIndex(controls.renderMode->findText("Accumulate"));
    add_clouds(3, 5);
    EXPECT_TRUE(shows_up(
        [&] {
            return controls.pointsLabel->text() == "Points: 15" &&
                   controls.framesLabel->text() == "Frames: 3";
        },
        "\"Points: 15\" and \"Frames: 3\""));
}

TEST_F(Panel, ViewSettingsSurviveARestartButScanModeAndRecordingDoNot) {
    temp_dir dir;
    const QString file = QString::fromStdString(dir.file("viewer.ini"));
    controls.displayMode->setCurrentIndex(controls.displayMode->findText("Intensity"));
    controls.renderMode->setCurrentIndex(controls.renderMode->findText("Accumulate"));
    controls.maxFrames->setValue(25);
    controls.infinite->setChecked(true);
    controls.voxelSize->setValue(0.05);
    controls.maxPoints->setValue(5000);
    controls.pointSize->setValue(3.5);
    controls.scanMode->setCurrentIndex(controls.scanMode->findText("DTOF"));
    controls.record->click();
    {
        QSettings settings(file, QSettings::IniFormat);
        panel.saveViewSettings(settings);
        for (const QString &key : settings.allKeys()) {
            EXPECT_TRUE(key.startsWith("view/")) << key.toStdString();
            EXPECT_FALSE(key.contains("scan", Qt::CaseInsensitive)) << key.toStdString();
            EXPECT_FALSE(key.contains("record", Qt::CaseInsensitive)) << key.toStdString();
        }
    }

    PointCloudWidget fresh;
    Controls restored(fresh);
    QSignalSpy scan(&fresh, &PointCloudWidget::sig_scanModeChanged);
    QSignalSpy record(&fresh, &PointCloudWidget::sig_recordToggled);
    fresh.restoreViewSettings(QSettings(file, QSettings::IniFormat));
    EXPECT_EQ(restored.displayMode->currentText(), "Intensity");
    EXPECT_EQ(restored.renderMode->currentText(), "Accumulate");
    EXPECT_TRUE(restored.infinite->isChecked());
    EXPECT_FALSE(restored.infinite->isHidden());
    EXPECT_EQ(restored.maxFrames->value(), 25);
    EXPECT_FALSE(restored.maxFrames->isEnabled());
    EXPECT_DOUBLE_EQ(restored.voxelSize->value(), 0.05);
    EXPECT_EQ(restored.maxPoints->value(), 5000);
    EXPECT_DOUBLE_EQ(restored.pointSize->value(), 3.5);
    GLPointCloudRenderer &view = *fresh.renderer();
    EXPECT_EQ(view.displayModeValue(), GLPointCloudRenderer::Intensity);
    EXPECT_EQ(view.renderModeValue(), GLPointCloudRenderer::Accumulate);
    EXPECT_EQ(view.maxFramesValue(), -1);
    EXPECT_FLOAT_EQ(view.voxelSizeValue(), 0.05f);
    EXPECT_EQ(view.maxPointsValue(), 5000);
    EXPECT_FLOAT_EQ(view.pointSizeValue(), 3.5f);
    EXPECT_EQ(scan.count() + record.count(), 0);
    EXPECT_EQ(fresh.scanMode(), ScanMode::SLAM);
    EXPECT_EQ(restored.record->text(), "Start Recording");

    fresh.resetViewSettings();
    expect_defaults(restored, view);
    EXPECT_FALSE(restored.maxFrames->isEnabled()) << "single frame has no frame limit to set";
    EXPECT_EQ(scan.count() + record.count(), 0);
}

TEST_F(Panel, UnreadableOrOutOfRangeStoredValuesKeepTheDefaults) {
    temp_dir dir;
    const QString file = QString::fromStdString(dir.file("viewer.ini"));
    write_file(dir.file("viewer.ini"), "[view]\n"
                                       "displayMode=7\n"
                                       "renderMode=Accumulate\n"
                                       "infiniteFrames=maybe\n"
                                       "maxFrames=0\n"
                                       "voxelSize=-0.5\n"
                                       "maxPoints=lots\n"
                                       "pointSize=2.5\n");
    panel.restoreViewSettings(QSettings(file, QSettings::IniFormat));
    EXPECT_EQ(controls.pointSize->value(), 2.5) << "the one good value is taken";
    EXPECT_EQ(renderer().pointSizeValue(), 2.5f);
    controls.pointSize->setValue(1.0);
    expect_defaults(controls, renderer());

    write_file(dir.file("viewer.ini"), "[view]\n"
                                       "voxelSize=nan\n"
                                       "maxPoints=999\n"
                                       "maxFrames=1001\n"
                                       "pointSize=20.5\n");
    panel.restoreViewSettings(QSettings(file, QSettings::IniFormat));
    expect_defaults(controls, renderer());
}

TEST(PanelEnd, DestructionWritesItsTwoLinesToStandardOutputAndTheLog) {
    reset_logger();
    capture_logs(KEST_LOG_VALUE_DEBUG);
    auto *panel = new PointCloudWidget;
    std::string out = capture_stdout([&] { delete panel; });
    EXPECT_NE(out.find("~PointCloudWidget start\n~PointCloudWidget end\n"), std::string::npos)
        << out;
    EXPECT_EQ(captured_line_with("~PointCloudWidget start"),
              "<INFO><point_cloud_widget.cpp:PointCloudWidget::~PointCloudWidget:N>: "
              "~PointCloudWidget start");
    EXPECT_EQ(captured_line_with("~PointCloudWidget end"),
              "<INFO><point_cloud_widget.cpp:PointCloudWidget::~PointCloudWidget:N>: "
              "~PointCloudWidget end");
    reset_logger();
}
