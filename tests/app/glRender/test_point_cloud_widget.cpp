// The control panel: which hand-off buffer each poll reads, the controls' effect on the renderer,
// the record button and the view settings kept between runs. Shown: clouds need a GL context.
#include "app/glRender/point_cloud_widget.h"
#include "tests/app/glRender/view_harness.h"
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
bool shows_up(const std::function<bool()> &condition) {
    return QTest::qWaitFor(condition,
                           static_cast<int>(std::chrono::milliseconds(patience()).count()));
}

void choose(QComboBox *box, const char *text) {
    box->setCurrentIndex(box->findText(text));
}

// The controls of a panel, found by their object names.
struct Controls {
    QWidget &panel;
    template <typename Widget>
    Widget *find(const char *name) {
        Widget *widget = panel.findChild<Widget *>(name);
        if (widget == nullptr)
            ADD_FAILURE() << "the panel has no control named " << name;
        return widget;
    }
    QComboBox *scanMode = find<QComboBox>("scanModeCombo");
    QComboBox *displayMode = find<QComboBox>("displayModeCombo");
    QComboBox *renderMode = find<QComboBox>("renderModeCombo");
    QCheckBox *infinite = find<QCheckBox>("infiniteFramesCheck");
    QSpinBox *maxFrames = find<QSpinBox>("maxFramesSpin");
    QDoubleSpinBox *voxelSize = find<QDoubleSpinBox>("voxelSizeSpin");
    QSpinBox *maxPoints = find<QSpinBox>("maxPointsSpin");
    QDoubleSpinBox *pointSize = find<QDoubleSpinBox>("pointSizeSpin");
    QPushButton *record = find<QPushButton>("recordButton");
    QLabel *pointsLabel = find<QLabel>("pointsLabel");
    QLabel *framesLabel = find<QLabel>("framesLabel");
};

// The view controls' state, as text; the renderer's must agree with them.
std::vector<std::string> view_state(const Controls &c, const GLPointCloudRenderer &renderer) {
    EXPECT_EQ(renderer.displayModeValue(), c.displayMode->currentData().toInt());
    EXPECT_EQ(renderer.renderModeValue(), c.renderMode->currentData().toInt());
    EXPECT_EQ(renderer.maxFramesValue(), c.infinite->isChecked() ? -1 : c.maxFrames->value());
    EXPECT_FLOAT_EQ(renderer.voxelSizeValue(), static_cast<float>(c.voxelSize->value()));
    EXPECT_EQ(renderer.maxPointsValue(), c.maxPoints->value());
    EXPECT_FLOAT_EQ(renderer.pointSizeValue(), static_cast<float>(c.pointSize->value()));
    auto text = [](QVariant value) { return value.toString().toStdString(); };
    return {text(c.displayMode->currentText()), text(c.renderMode->currentText()),
            text(c.infinite->isChecked()),      text(c.infinite->isHidden()),
            text(c.maxFrames->value()),         text(c.voxelSize->value()),
            text(c.maxPoints->value()),         text(c.pointSize->value())};
}

const std::vector<std::string> defaults = {"RGB", "Single Frame", "false", "true", "10",
                                           "0",   "100000000",    "1"};

class Panel : public ::testing::Test {
protected:
    void SetUp() override {
        drain_buffers();
        ASSERT_TRUE(show_and_wait(panel, 1200, 800));
    }
    void TearDown() override { drain_buffers(); }

    GLPointCloudRenderer &renderer() { return *panel.renderer(); }
    void add_clouds(int count, size_t points) {
        for (int k = 0; k < count; ++k)
            panel.updatePointCloud(cloud_at(points, {1, 0, 0}));
    }

    PointCloudWidget panel;
    Controls controls{panel};
    QSignalSpy scan{&panel, &PointCloudWidget::sig_scanModeChanged};
    QSignalSpy record{&panel, &PointCloudWidget::sig_recordToggled};
    QSignalSpy display{&panel, &PointCloudWidget::displayModeChanged};
    QSignalSpy render{&panel, &PointCloudWidget::renderModeChanged};
};

} // namespace

TEST_F(Panel, InitialValuesReachNoSlotAndMatchTheRenderer) {
    // A cloud through the SLAM buffer proves the event loop ran the panel's timers.
    g_slamCloudBuffer.publish(cloud_at(3, {1, 0, 0}));
    EXPECT_TRUE(shows_up([&] { return renderer().totalPoints() == 3; })) << "a SLAM cloud";
    EXPECT_EQ(scan.count() + record.count() + display.count() + render.count(), 0);
    EXPECT_TRUE(controls.maxFrames->isEnabled()) << "the render mode slot ran";
    EXPECT_EQ(view_state(controls, renderer()), defaults);
    EXPECT_EQ(panel.scanMode(), ScanMode::SLAM);
    EXPECT_FALSE(panel.isRecording());
}

TEST_F(Panel, DtofReadsOnlyTheDtofBufferAndAScanModeChangeEmptiesTheStore) {
    choose(controls.renderMode, "Accumulate");
    add_clouds(3, 4);
    choose(controls.scanMode, "DTOF");
    ASSERT_EQ(scan.count(), 1);
    EXPECT_TRUE(scan.at(0).at(0).value<ScanMode>() == ScanMode::DTOF);
    EXPECT_EQ(panel.scanMode(), ScanMode::DTOF);
    EXPECT_EQ(renderer().frameCount(), 0) << "the SLAM clouds are gone from the view";
    EXPECT_EQ(renderer().totalPoints(), 0);

    g_slamCloudBuffer.publish(cloud_at(7, {1, 0, 0}));
    g_dtofCloudBuffer.publish(cloud_at(5, {1, 0, 0}));
    EXPECT_TRUE(shows_up([&] { return renderer().totalPoints() == 5; })) << "the DTOF cloud";
    std::vector<CloudPoint> untouched;
    ASSERT_TRUE(g_slamCloudBuffer.take(untouched)) << "the SLAM buffer was read in DTOF mode";
    EXPECT_EQ(untouched.size(), 7u);
}

TEST_F(Panel, AccumulateOffersInfiniteFramesAndSingleFrameHidesThem) {
    choose(controls.renderMode, "Accumulate");
    EXPECT_TRUE(controls.infinite->isVisible());
    controls.maxFrames->setValue(7);
    add_clouds(9, 1);
    EXPECT_EQ(renderer().frameCount(), 7) << "the spin box's limit holds";
    controls.infinite->setChecked(true);
    EXPECT_FALSE(controls.maxFrames->isEnabled());
    add_clouds(5, 1);
    EXPECT_EQ(renderer().frameCount(), 12) << "no limit while Infinite Frames is checked";
    EXPECT_TRUE(shows_up([&] {
        return controls.pointsLabel->text() == "Points: 12" &&
               controls.framesLabel->text() == "Frames: 12";
    })) << "\"Points: 12\" and \"Frames: 12\"";
    controls.infinite->setChecked(false);
    EXPECT_EQ(renderer().frameCount(), 7) << "the spin box's limit is back";
    view_state(controls, renderer());

    choose(controls.renderMode, "Single Frame");
    EXPECT_EQ(render.count(), 2);
    EXPECT_TRUE(controls.infinite->isHidden());
    EXPECT_FALSE(controls.maxFrames->isEnabled());
}

TEST_F(Panel, RecordButtonFlipsOnClickAndFollowsTheRecorder) {
    auto click = [&](bool starts) {
        controls.record->click();
        ASSERT_FALSE(record.isEmpty());
        EXPECT_EQ(record.takeLast().at(0).toBool(), starts);
        EXPECT_EQ(controls.record->text(), starts ? "Stop Recording" : "Start Recording");
    };
    click(true);
    click(false);
    click(true);
    // A recording that fails to start: the recorder's report puts the button back.
    panel.onRecordingChanged(false);
    EXPECT_TRUE(record.isEmpty()) << "a report from the recorder is not sent back to it";
    EXPECT_EQ(controls.record->text(), "Start Recording");
    EXPECT_FALSE(panel.isRecording());
    click(true);
}

// Leaving follow mode resets the held pose, harmless only while none has arrived.
TEST_F(Panel, PollHandsPosesToTheRenderer) {
    PoseRecord pose;
    const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, translation[3] = {1, 2, 3};
    std::copy(identity, identity + 9, pose.rotation);
    std::copy(translation, translation + 3, pose.translation);
    g_poseBuffer.publish(pose);
    EXPECT_TRUE(shows_up([&] {
        renderer().setFollowMode(true); // puts the eye at the pose's translation
        const bool there = (renderer().eyePosition() - QVector3D(1, 2, 3)).length() < 1e-4f;
        if (!there)
            renderer().setFollowMode(false);
        return there;
    })) << "the pose reaching the renderer";
}

TEST_F(Panel, ViewSettingsReachTheRendererAndSurviveARestartButScanModeAndRecordingDoNot) {
    temp_dir dir;
    const QString file = QString::fromStdString(dir.file("viewer.ini"));
    choose(controls.displayMode, "Intensity");
    choose(controls.renderMode, "Accumulate");
    controls.maxFrames->setValue(25);
    controls.infinite->setChecked(true);
    controls.voxelSize->setValue(0.05);
    controls.maxPoints->setValue(10); // the renderer's floor: nothing below 1000
    controls.maxPoints->stepDown();
    EXPECT_EQ(view_state(controls, renderer())[6], "1000");
    controls.maxPoints->setValue(5000);
    controls.pointSize->setValue(3.5);
    const std::vector<std::string> chosen = {"Intensity", "Accumulate", "true", "false",
                                             "25",        "0.05",       "5000", "3.5"};
    EXPECT_EQ(view_state(controls, renderer()), chosen);
    choose(controls.scanMode, "DTOF");
    controls.record->click();
    {
        QSettings settings(file, QSettings::IniFormat);
        panel.saveViewSettings(settings);
        for (const QString &key : settings.allKeys())
            EXPECT_TRUE(key.startsWith("view/") && !key.contains("scan", Qt::CaseInsensitive) &&
                        !key.contains("record", Qt::CaseInsensitive))
                << key.toStdString();
    }
    PointCloudWidget fresh;
    Controls restored{fresh};
    QSignalSpy scanned(&fresh, &PointCloudWidget::sig_scanModeChanged);
    QSignalSpy recorded(&fresh, &PointCloudWidget::sig_recordToggled);
    fresh.restoreViewSettings(QSettings(file, QSettings::IniFormat));
    EXPECT_EQ(view_state(restored, *fresh.renderer()), chosen);
    EXPECT_FALSE(restored.maxFrames->isEnabled());
    fresh.resetViewSettings();
    EXPECT_EQ(view_state(restored, *fresh.renderer()), defaults);
    EXPECT_EQ(scanned.count() + recorded.count(), 0);
}

TEST_F(Panel, UnreadableOrOutOfRangeStoredValuesKeepTheDefaults) {
    temp_dir dir;
    const QString file = QString::fromStdString(dir.file("viewer.ini"));
    write_file(dir.file("viewer.ini"), "[view]\ndisplayMode=7\nrenderMode=Accumulate\n"
                                       "infiniteFrames=maybe\nmaxFrames=0\nvoxelSize=-0.5\n"
                                       "maxPoints=lots\npointSize=2.5\n");
    panel.restoreViewSettings(QSettings(file, QSettings::IniFormat));
    EXPECT_EQ(controls.pointSize->value(), 2.5) << "the one good value is taken";
    controls.pointSize->setValue(1.0);
    EXPECT_EQ(view_state(controls, renderer()), defaults);

    write_file(dir.file("viewer.ini"),
               "[view]\nvoxelSize=nan\nmaxPoints=999\nmaxFrames=1001\npointSize=20.5\n");
    panel.restoreViewSettings(QSettings(file, QSettings::IniFormat));
    EXPECT_EQ(view_state(controls, renderer()), defaults);
}
