// The main window: the log panel's colours, escaping and bound, the device and
// recording reports, the log file's fallback, the settings kept between runs,
// the whole viewer on the virtual KestOne, from a live cloud to a recording
// that parses, and a recording played back.
#include "app/glRender/gl_image_preview_widget.h"
#include "app/glRender/gl_point_cloud_renderer.h"
#include "app/glRender/point_cloud_widget.h"
#include "app/glRender/render_container_widget.h"
#include "app/viewer/playback_control.h"
#include "app/viewer/viewer_startup.h"
#include "app/viewer/viewer_status_bar.h"
#include "recording/record_layout.h"
#include "tests/app/main_window_test.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTest>

#include <gmock/gmock.h>

#include <cstdlib>
#include <fstream>

using namespace kest_test;
namespace fs = std::filesystem;

namespace {

// The number before unit in a status figure ("21.0 FPS", "5,000 pts"); -1 if none.
double figure(const QLabel *label, const QString &unit) {
    QRegularExpression pattern(QStringLiteral("([0-9][0-9.,]*) ") +
                               QRegularExpression::escape(unit));
    QRegularExpressionMatch match = pattern.match(label->text());
    return match.hasMatch() ? match.captured(1).remove(QLatin1Char(',')).toDouble() : -1;
}

template <typename Widget>
Widget *control(MainWindow &window, const char *name) {
    Widget *found = window.centralView()->findChild<Widget *>(QLatin1String(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

} // namespace

TEST_F(MainWindowTest, LogLinesAreColouredByTheirFirstTagAndShownAsText) {
    open();
    const struct {
        const char *line;
        const char *colour;
    } cases[] = {
        {"<INFO><a.cpp:f:1>: started", "#008000"},
        {"<DEBUG><a.cpp:f:1>: detail", "#404040"},
        {"<WARN><a.cpp:f:1>: slow", "#cc8400"},
        {"<ERROR><a.cpp:f:1>: failed", "#cc0000"},
        {"<BUG><a.cpp:f:1>: impossible", "#cc0000"},
        {"<INFO><a.cpp:f:1>: says <WARN> and <ERROR>", "#cc0000"},
        {"<INFO><a.cpp:f:1>: says <WARN>", "#cc8400"},
        {"no tag at all", "#808080"},
        {"<b>not bold</b> & <i>not italic</i>", "#808080"},
    };
    testing::internal::CaptureStdout();
    for (const auto &each : cases)
        MainWindow::logSink("%s", each.line);
    std::string printed = testing::internal::GetCapturedStdout();
    window->pollLogQueue();
    blocks = blocksOf(window->logView());
    ASSERT_GE(blocks.size(), std::size(cases));
    size_t first = blocks.size() - std::size(cases);
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].line);
        EXPECT_EQ(blocks[first + i].text.toStdString(), cases[i].line) << "shown literally";
        EXPECT_EQ(blocks[first + i].colour.toStdString(), cases[i].colour);
        EXPECT_FALSE(blocks[first + i].bold);
        EXPECT_THAT(printed, testing::HasSubstr(cases[i].line)) << "also on standard output";
    }
}

// A flood while the GUI thread is busy costs the oldest lines, and the panel
// says how many; lines drained in time are all kept, up to the panel's 5000.
TEST_F(MainWindowTest, LogFloodKeepsTheNewestLinesAndSaysHowManyWereDropped) {
    open();
    testing::internal::CaptureStdout();
    for (int i = 1; i <= 6000; ++i)
        MainWindow::logSink("line %d", i);
    window->pollLogQueue();
    blocks = blocksOf(window->logView());
    ASSERT_EQ(blocks.size(), 5000u);
    EXPECT_THAT(blocks.back().text.toStdString(),
                testing::StartsWith("(1000 log lines before these were dropped"));
    EXPECT_EQ(blocks[blocks.size() - 2].text, "line 6000");

    for (int i = 1; i <= 6000; ++i) {
        MainWindow::logSink("kept %d", i);
        if (i % 100 == 0)
            window->pollLogQueue();
    }
    testing::internal::GetCapturedStdout();
    blocks = blocksOf(window->logView());
    ASSERT_EQ(blocks.size(), 5000u);
    EXPECT_EQ(blocks.front().text, "kept 1001");
    EXPECT_EQ(blocks.back().text, "kept 6000");
}

// A recording that cannot start puts the button back, and the status bar and
// the panel say why.
TEST_F(MainWindowTest, DeviceAndRecordingReportsShowInTheStatusBarAndBoldInThePanel) {
    write_file("plain", "a file where folders would go");
    KestDataHandler::instance()->setRecordingRoot(QString::fromStdString(dir.file("plain/a")));
    ASSERT_EQ(setenv("KEST_DATA_DIR", dir.file("plain/b").c_str(), 1), 0);
    ASSERT_EQ(setenv("XDG_DATA_HOME", dir.file("plain/c").c_str(), 1), 0);
    open();
    window->onDeviceStatusChanged(false, "Failed to open <device>");
    EXPECT_EQ(window->statusBar()->currentMessage(), "Failed to open <device>");
    EXPECT_EQ(lastBlock().text, "[Device] Failed to open <device>");
    EXPECT_EQ(lastBlock().colour, "#cc0000");
    EXPECT_TRUE(lastBlock().bold);
    window->onDeviceStatusChanged(true, "Device connected and streaming");
    EXPECT_EQ(lastBlock().text, "[Device] Device connected and streaming");
    EXPECT_EQ(lastBlock().colour, "#008000");

    QPushButton *record = window->centralView()->findChild<QPushButton *>("recordButton");
    ASSERT_NE(record, nullptr);
    QTest::mouseClick(record, Qt::LeftButton);
    unsetenv("KEST_DATA_DIR");
    unsetenv("XDG_DATA_HOME");
    EXPECT_FALSE(KestDataHandler::instance()->isRecording());
    EXPECT_EQ(record->text(), "Start Recording");
    const QString why = window->statusBar()->currentMessage();
    EXPECT_TRUE(why.startsWith("Recording not started: none of ")) << why.toStdString();
    EXPECT_EQ(lastBlock().text, "[Recorder] " + why);
    EXPECT_TRUE(lastBlock().bold);
}

// Started where "logs" cannot be made (a launcher starting it in "/"), the
// viewer logs to the per-user state folder; where that fails too it runs on,
// with its panels, and says where it tried.
TEST_F(MainWindowTest, LogFileFallsBackOnTheStateFolderThenRunsWithoutOne) {
    write_file("logs", "a file where the folder would go");
    ASSERT_EQ(setenv("XDG_STATE_HOME", dir.file("state").c_str(), 1), 0);
    open();
    EXPECT_EQ(fs::path(window->logFilePath().toStdString()).parent_path(),
              dir.path() / "state/kestviewer/logs");
    EXPECT_TRUE(fs::exists(window->logFilePath().toStdString()));
    close();

    setenv("XDG_STATE_HOME", dir.file("logs/below").c_str(), 1);
    testing::internal::CaptureStdout();
    open();
    std::string printed = testing::internal::GetCapturedStdout();
    unsetenv("XDG_STATE_HOME");
    EXPECT_THAT(printed, testing::HasSubstr("Failed to create log file.\n"));
    EXPECT_TRUE(window->logFilePath().isEmpty());
    ASSERT_NE(window->logView(), nullptr) << "the window is whole without a log file";
    EXPECT_NE(window->centralView(), nullptr);
    QString problem = window->statusBar()->currentMessage();
    EXPECT_TRUE(problem.startsWith("Failed to create log file (tried ")) << problem.toStdString();
    EXPECT_TRUE(problem.contains(QString::fromStdString(dir.file("logs/below"))));
    blocks = blocksOf(window->logView());
    EXPECT_TRUE(std::any_of(blocks.begin(), blocks.end(),
                            [&](const Block &block) { return block.text == problem; }));
}

// The window's size and the view controls survive a real quit and start, the
// scan mode does not; one action puts the view controls back.
TEST_F(MainWindowTest, WindowSizeAndViewControlsSurviveARestartScanModeDoesNot) {
    open();
    const QSize size = window->minimumSizeHint().expandedTo(QSize(900, 640)) + QSize(31, 17);
    window->resize(size);
    control<QDoubleSpinBox>(*window, "pointSizeSpin")->setValue(3.5);
    QComboBox *renderMode = control<QComboBox>(*window, "renderModeCombo");
    renderMode->setCurrentIndex(renderMode->findText("Accumulate"));
    QComboBox *scanMode = control<QComboBox>(*window, "scanModeCombo");
    scanMode->setCurrentIndex(scanMode->findText("DTOF"));
    close();

    open();
    GLPointCloudRenderer *renderer = window->centralView()->renderer();
    EXPECT_EQ(window->size(), size);
    EXPECT_DOUBLE_EQ(control<QDoubleSpinBox>(*window, "pointSizeSpin")->value(), 3.5);
    EXPECT_EQ(control<QComboBox>(*window, "renderModeCombo")->currentText(), "Accumulate");
    EXPECT_EQ(renderer->renderModeValue(), GLPointCloudRenderer::Accumulate)
        << "the renderer follows the restored control";
    EXPECT_EQ(control<QComboBox>(*window, "scanModeCombo")->currentText(), "SLAM");
    EXPECT_EQ(window->centralView()->scanMode(), ScanMode::SLAM);

    QAction *reset = window->findChild<QAction *>("resetViewSettings");
    ASSERT_NE(reset, nullptr);
    EXPECT_EQ(reset->text(), "Reset View Settings");
    reset->trigger();
    EXPECT_DOUBLE_EQ(control<QDoubleSpinBox>(*window, "pointSizeSpin")->value(), 1.0);
    EXPECT_EQ(renderer->renderModeValue(), GLPointCloudRenderer::SingleFrame);
}

TEST_F(MainWindowTest, ViewerShowsTheVirtualKestOneAndRecordsIt) {
    VirtualKestOne device(kest_sim::stream_preset("demo"));
    KestDataHandler::instance()->setRecordingRoot(QString::fromStdString(dir.file("recordings")));
    open();
    window->resize(1200, 800);
    PointCloudWidget *panel = window->centralView();
    RenderContainerWidget *container = panel->renderContainer();
    GLPointCloudRenderer *renderer = container->renderer();
    ASSERT_TRUE(QTest::qWaitFor([&] { return renderer->totalPoints() > 0; }, patienceMs))
        << "no cloud reached the view";
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return container->preview()->textureGeneration() > 0; }, patienceMs))
        << "no picture reached the inset";
    // The status bar's figures, as its once-a-second refresh leaves them.
    ViewerStatusBar *figures = window->liveStatus();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return figures->deviceLabel()->text() == "Streaming" &&
                   figure(figures->viewLabel(), "FPS") > 0 &&
                   figure(figures->viewLabel(), "pts") > 0 &&
                   figure(figures->dataLabel(), "MB/s") > 0;
        },
        patienceMs))
        << figures->deviceLabel()->text().toStdString() << " | "
        << figures->viewLabel()->text().toStdString() << " | "
        << figures->dataLabel()->text().toStdString();
    // No frame is rejected; a loaded machine may fall behind (first) or give clouds up (third).
    EXPECT_TRUE(figures->dataLabel()->text().contains(QRegularExpression("drops [0-9]+/0/[0-9]+$")))
        << figures->dataLabel()->text().toStdString();
    EXPECT_TRUE(figures->recordingLabel()->isHidden());

    QPushButton *record = panel->findChild<QPushButton *>("recordButton");
    ASSERT_NE(record, nullptr);
    QTest::mouseClick(record, Qt::LeftButton);
    ASSERT_TRUE(KestDataHandler::instance()->isRecording());
    EXPECT_EQ(record->text(), "Stop Recording");
    ASSERT_TRUE(QTest::qWaitFor(
        [] {
            std::array<uint32_t, 3> built = KestDataHandler::instance()->recordsBuilt();
            // A whole kB, so that the label shows a figure above 0.
            return built[0] >= 2 && built[1] >= 2 && built[2] >= 2 &&
                   KestDataHandler::instance()->recordingBytesWritten() >= 1000;
        },
        patienceMs));
    figures->refresh();
    const QString stamp = QDir(KestDataHandler::instance()->recordingFolder()).dirName();
    EXPECT_FALSE(figures->recordingLabel()->isHidden());
    EXPECT_TRUE(figures->recordingLabel()->text().startsWith("REC " + stamp + " · 00:00:"));
    const QLabel *label = figures->recordingLabel();
    EXPECT_GT(std::max(figure(label, "kB"), figure(label, "MB")), 0) << "bytes written are shown";
    QTest::mouseClick(record, Qt::LeftButton);
    EXPECT_TRUE(figures->recordingLabel()->isHidden());
    EXPECT_FALSE(KestDataHandler::instance()->isRecording());
    EXPECT_EQ(record->text(), "Start Recording");

    fs::path folder = KestDataHandler::instance()->recordingFolder().toStdString();
    EXPECT_EQ(folder.parent_path(), dir.path() / "recordings");
    expectWholeRecording(folder, 2);
}

// File > Open Recording: the virtual KestOne plays the recording, the status
// bar follows it, and a pause stops its clock until it is resumed.
TEST_F(MainWindowTest, OpenRecordingPlaysItAndPauseStopsItsClock) {
    // Ten seconds of a recording: poses at 10 Hz, clouds of 100 points at 5 Hz.
    const fs::path recording = dir.path() / "rec";
    fs::create_directories(recording);
    {
        std::ofstream poses(recording / "KestPose.bin", std::ios::binary);
        std::ofstream clouds(recording / "MTrec.kvx", std::ios::binary);
        const std::vector<CloudPoint> points(100, CloudPoint{1.5f, -2.0f, 0.25f, 9, 8, 7, 0, 0});
        const float still[7] = {0, 0, 0, 0, 0, 0, 1};
        for (uint32_t i = 0; i < 100; ++i) {
            auto pose = StreamDecoding::buildPoseRecord(i, 1700000000 + i * 0.1, still);
            poses.write(reinterpret_cast<const char *>(pose.data()), std::streamsize(pose.size()));
            if (i % 2 != 0)
                continue;
            auto cloud = StreamDecoding::buildCloudRecord(i / 2, 1700000000 + i * 0.1, points);
            clouds.write(reinterpret_cast<const char *>(cloud.data()),
                         std::streamsize(cloud.size()));
        }
    }
    VirtualKestOne device(kest_sim::stream_preset("tidy"));
    open();
    auto *control = new PlaybackControl(window.get(), &device);
    EXPECT_FALSE(control->pauseAction()->isEnabled()) << "nothing to pause before a recording";
    EXPECT_FALSE(control->play(QString::fromStdString(dir.file("nothing"))));
    EXPECT_THAT(control->lastError().toStdString(),
                testing::HasSubstr("Cannot play this recording"));

    ASSERT_TRUE(control->play(QString::fromStdString(recording.string())));
    GLPointCloudRenderer *renderer = window->centralView()->renderer();
    ASSERT_TRUE(QTest::qWaitFor([&] { return renderer->totalPoints() > 0; }, patienceMs))
        << "no recorded cloud reached the view";
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return device.kestOne().playback().position_s > 0.5; }, patienceMs));
    EXPECT_TRUE(control->pauseAction()->isEnabled());
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return control->statusLabel()->text().startsWith("Playing 00:0"); }, patienceMs))
        << control->statusLabel()->text().toStdString();
    EXPECT_TRUE(control->statusLabel()->text().endsWith("/ 00:10"));

    control->pauseAction()->setChecked(true);
    QTest::qWait(200); // a pass of the device's streamer already under way ends
    const double pausedAt = device.kestOne().playback().position_s;
    QTest::qWait(800); // the playback's clock must not move meanwhile
    EXPECT_EQ(device.kestOne().playback().position_s, pausedAt);
    EXPECT_TRUE(control->statusLabel()->text().startsWith("Paused"));
    control->pauseAction()->setChecked(false);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return device.kestOne().playback().position_s > pausedAt + 0.2; }, patienceMs));
}
