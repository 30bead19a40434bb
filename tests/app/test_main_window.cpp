// The main window: the log panel's colours, escaping and bound, the device and
// recording reports, the log file's fallback, and the whole viewer on the
// virtual KestOne, from a live cloud to a recording that parses.
#include "app/glRender/gl_image_preview_widget.h"
#include "app/glRender/gl_point_cloud_renderer.h"
#include "app/glRender/point_cloud_widget.h"
#include "app/glRender/render_container_widget.h"
#include "app/kest_data_handler.h"
#include "app/log_queue.h"
#include "app/mainwindow.h"
#include "app/viewer/playback_control.h"
#include "app/viewer/viewer_startup.h"
#include "app/viewer/viewer_status_bar.h"
#include "recording/record_layout.h"
#include "sdk/logger/logger.h"
#include "sim/usb_bus.h"
#include "tests/app/main_window_test.h"
#include "tests/support/recording_files.h"
#include "tests/support/temp_dir.h"

#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTest>
#include <QTextBlock>

#include <gmock/gmock.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace kest_test;
namespace fs = std::filesystem;

namespace {

// The number before unit in a status figure ("21.0 FPS", "5,000 pts"); -1 if none.
double figure(const QLabel *label, const QString &unit) {
    QRegularExpression pattern(QStringLiteral("([0-9][0-9.,]*) ") +
                               QRegularExpression::escape(unit));
    QRegularExpressionMatch match = pattern.match(label->text());
    if (!match.hasMatch())
        return -1;
    return match.captured(1).remove(QLatin1Char(',')).toDouble();
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
    testing::internal::GetCapturedStdout();
    window->pollLogQueue();
    blocks = blocksOf(window->logView());
    ASSERT_EQ(blocks.size(), 5000u);
    EXPECT_THAT(blocks.back().text.toStdString(),
                testing::StartsWith("(1000 log lines before these were dropped"));
    EXPECT_EQ(blocks[blocks.size() - 2].text, "line 6000");

    testing::internal::CaptureStdout();
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

TEST_F(MainWindowTest, DeviceAndRecordingReportsShowInTheStatusBarAndBoldInThePanel) {
    open();
    window->onDeviceStatusChanged(false, "Failed to open <device>");
    EXPECT_EQ(window->statusBar()->currentMessage(), "Failed to open <device>");
    EXPECT_EQ(lastBlock().text, "[Device] Failed to open <device>");
    EXPECT_EQ(lastBlock().colour, "#cc0000");
    EXPECT_TRUE(lastBlock().bold);

    window->onDeviceStatusChanged(true, "Device connected and streaming");
    EXPECT_EQ(lastBlock().text, "[Device] Device connected and streaming");
    EXPECT_EQ(lastBlock().colour, "#008000");

    window->onRecordingChanged(false, "Recording not started: none of /x can be written");
    EXPECT_EQ(window->statusBar()->currentMessage(),
              "Recording not started: none of /x can be written");
    EXPECT_EQ(lastBlock().text, "[Recorder] Recording not started: none of /x can be written");
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
    window.reset();
    KestDataHandler::instance()->shutdown();

    setenv("XDG_STATE_HOME", dir.file("logs/below").c_str(), 1);
    testing::internal::CaptureStdout();
    open();
    std::string printed = testing::internal::GetCapturedStdout();
    unsetenv("XDG_STATE_HOME");
    EXPECT_THAT(printed, testing::HasSubstr("Failed to create log file.\n"));
    EXPECT_TRUE(window->logFilePath().isEmpty());
    ASSERT_NE(window->logView(), nullptr) << "the window is whole without a log file";
    EXPECT_NE(window->centralView(), nullptr);
    EXPECT_EQ(window->windowTitle(), "KestViewer");
    QString problem = window->statusBar()->currentMessage();
    EXPECT_TRUE(problem.startsWith("Failed to create log file (tried ")) << problem.toStdString();
    EXPECT_TRUE(problem.contains(QString::fromStdString(dir.file("logs/below"))))
        << problem.toStdString();
    bool inPanel = false;
    for (const Block &block : blocksOf(window->logView()))
        inPanel = inPanel || block.text == problem;
    EXPECT_TRUE(inPanel);
}

// The whole viewer on the virtual KestOne: a live cloud drawn, "Points:" above
// 0, a picture in the inset, and two clicks on the record button make a
// recording whose files parse.
TEST_F(MainWindowTest, ViewerShowsTheVirtualKestOneAndRecordsIt) {
    VirtualKestOne device(kest_sim::stream_preset("demo"));
    KestDataHandler::instance()->setRecordingRoot(QString::fromStdString(dir.file("recordings")));
    open();
    window->resize(1200, 800);
    PointCloudWidget *panel = window->centralView();
    RenderContainerWidget *container = panel->findChild<RenderContainerWidget *>();
    ASSERT_NE(container, nullptr);
    GLPointCloudRenderer *renderer = container->renderer();
    ASSERT_TRUE(QTest::qWaitFor([&] { return renderer->totalPoints() > 0; }, patienceMs))
        << "no cloud reached the view";
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return container->preview()->textureGeneration() > 0; }, patienceMs))
        << "no picture reached the inset";
    QLabel *points = nullptr;
    for (QLabel *label : panel->findChildren<QLabel *>())
        if (label->text().startsWith("Points: "))
            points = label;
    ASSERT_NE(points, nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return points->text() != "Points: 0"; }, patienceMs));

    QImage drawn = renderer->grabFramebuffer();
    QRgb clear = drawn.pixel(drawn.width() - 2, drawn.height() - 2);
    int different = 0;
    for (int y = 0; y < drawn.height(); y += 4)
        for (int x = 0; x < drawn.width(); x += 4)
            different += drawn.pixel(x, y) != clear;
    EXPECT_GT(different, 20) << "the cloud is drawn";

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
    // No frame is rejected. The first figure counts records the viewer fell
    // behind on (a loaded machine may), the third clouds given up (a loaded
    // machine may miss an odometry's window).
    EXPECT_TRUE(figures->dataLabel()->text().contains(QRegularExpression("drops [0-9]+/0/[0-9]+$")))
        << figures->dataLabel()->text().toStdString();
    EXPECT_TRUE(figures->recordingLabel()->isHidden());

    QPushButton *record = buttonWithText(panel, "Start Recording");
    ASSERT_NE(record, nullptr);
    QTest::mouseClick(record, Qt::LeftButton);
    ASSERT_TRUE(KestDataHandler::instance()->isRecording());
    EXPECT_EQ(record->text(), "Stop Recording");
    ASSERT_TRUE(QTest::qWaitFor(
        [] {
            std::array<uint32_t, 3> built = KestDataHandler::instance()->recordsBuilt();
            // A whole kB, so that the label (in kB) shows a figure above 0.
            return built[0] >= 2 && built[1] >= 2 && built[2] >= 2 &&
                   KestDataHandler::instance()->recordingBytesWritten() >= 1000;
        },
        patienceMs));
    figures->refresh();
    const QString stamp = QDir(KestDataHandler::instance()->recordingFolder()).dirName();
    EXPECT_FALSE(figures->recordingLabel()->isHidden());
    EXPECT_TRUE(figures->recordingLabel()->text().startsWith("REC " + stamp + " · 00:00:"))
        << figures->recordingLabel()->text().toStdString();
    EXPECT_GT(
        std::max(figure(figures->recordingLabel(), "kB"), figure(figures->recordingLabel(), "MB")),
        0)
        << "bytes written are shown";
    QTest::mouseClick(record, Qt::LeftButton);
    EXPECT_TRUE(figures->recordingLabel()->isHidden());
    EXPECT_FALSE(KestDataHandler::instance()->isRecording());
    EXPECT_EQ(record->text(), "Start Recording");

    fs::path folder = KestDataHandler::instance()->recordingFolder().toStdString();
    EXPECT_EQ(folder.parent_path(), dir.path() / "recordings");
    for (const char *name : {"image/info.txt", "image/cam_in_ex.txt"})
        EXPECT_TRUE(fs::exists(folder / name)) << name;
    read_file poses = read_poses((folder / "KestPose.bin").string());
    read_file clouds = read_clouds((folder / ("MT" + stamp.toStdString() + ".kvx")).string());
    read_file images = read_images((folder / "KestImage.bin").string());
    for (const read_file *file : {&poses, &clouds, &images}) {
        EXPECT_EQ(file->fault, "");
        EXPECT_EQ(numbering_fault(*file), "");
        EXPECT_GE(file->records.size(), 2u);
    }
}

// A recording that cannot start puts the button back, and the status bar says why.
TEST_F(MainWindowTest, RecordButtonFollowsARecordingThatDidNotStart) {
    write_file("plain", "a file where folders would go");
    KestDataHandler::instance()->setRecordingRoot(QString::fromStdString(dir.file("plain/a")));
    ASSERT_EQ(setenv("KEST_DATA_DIR", dir.file("plain/b").c_str(), 1), 0);
    ASSERT_EQ(setenv("XDG_DATA_HOME", dir.file("plain/c").c_str(), 1), 0);
    open();
    QPushButton *record = buttonWithText(window->centralView(), "Start Recording");
    ASSERT_NE(record, nullptr);
    QTest::mouseClick(record, Qt::LeftButton);
    unsetenv("KEST_DATA_DIR");
    unsetenv("XDG_DATA_HOME");
    EXPECT_FALSE(KestDataHandler::instance()->isRecording());
    EXPECT_EQ(record->text(), "Start Recording");
    EXPECT_TRUE(window->statusBar()->currentMessage().startsWith("Recording not started:"));
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
    EXPECT_EQ(control->openAction()->text(), "Open Recording…");
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
