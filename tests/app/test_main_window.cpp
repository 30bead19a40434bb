// The main window: the log panel's colours, escaping and bound, running without a log file, the
// settings kept between runs, and the whole viewer on the virtual KestOne from a live cloud to a
// recording that parses.
#include "app/glRender/gl_image_preview_widget.h"
#include "app/glRender/gl_point_cloud_renderer.h"
#include "app/glRender/point_cloud_widget.h"
#include "app/glRender/render_container_widget.h"
#include "app/viewer/viewer_startup.h"
#include "app/viewer/viewer_status_bar.h"
#include "tests/app/main_window_test.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTest>

#include <gmock/gmock.h>

#include <cstdlib>

using namespace kest_test;

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

TEST_F(MainWindowTest, LogLinesAreColouredByTheirTagsShownAsTextAndBounded) {
    open();
    const struct {
        const char *line;
        const char *colour;
    } cases[] = {
        {"<INFO><a.cpp:f:1>: started", "#008000"},
        {"<DEBUG><a.cpp:f:1>: detail", "#404040"},
        {"<ERROR><a.cpp:f:1>: failed", "#cc0000"},
        {"<INFO><a.cpp:f:1>: says <WARN> and <ERROR>", "#cc0000"},
        {"<INFO><a.cpp:f:1>: says <WARN>", "#cc8400"},
        {"<b>not bold</b> & <i>no tag</i>", "#808080"},
    };
    for (const auto &each : cases)
        LogQueue::instance().push(each.line);
    window->pollLogQueue();
    blocks = blocksOf(window->logView());
    ASSERT_GE(blocks.size(), std::size(cases));
    size_t first = blocks.size() - std::size(cases);
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].line);
        EXPECT_EQ(blocks[first + i].text.toStdString(), cases[i].line) << "shown literally";
        EXPECT_EQ(blocks[first + i].colour.toStdString(), cases[i].colour);
        EXPECT_FALSE(blocks[first + i].bold);
    }
    window->onDeviceStatusChanged(false, "Failed to open <device>");
    EXPECT_EQ(window->statusBar()->currentMessage(), "Failed to open <device>");
    EXPECT_EQ(lastBlock().text, "[Device] Failed to open <device>");
    EXPECT_EQ(lastBlock().colour, "#cc0000");
    EXPECT_TRUE(lastBlock().bold);

    // A flood while the GUI thread is busy costs the oldest lines, and the panel says how many.
    for (int i = 1; i <= 6000; ++i)
        LogQueue::instance().push(QString("line %1").arg(i));
    window->pollLogQueue();
    blocks = blocksOf(window->logView());
    ASSERT_EQ(blocks.size(), 5000u);
    EXPECT_THAT(blocks.back().text.toStdString(),
                testing::StartsWith("(1000 log lines before these were dropped"));
    EXPECT_EQ(blocks[blocks.size() - 2].text, "line 6000");
    EXPECT_EQ(blocks.front().text, "line 1002") << "the panel keeps 5000 blocks, the notice too";
}

// Where neither "logs" nor the per-user state folder can be made, the viewer runs on, with its
// panels, and says where it tried.
TEST_F(MainWindowTest, WithoutALogFileTheWindowRunsOnAndSaysWhereItTried) {
    write_file("logs", "a file where the folder would go");
    ASSERT_EQ(setenv("XDG_STATE_HOME", dir.file("logs/below").c_str(), 1), 0);
    open();
    unsetenv("XDG_STATE_HOME");
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

// The window's size and the view controls survive a real quit and start, the scan mode does not.
TEST_F(MainWindowTest, WindowSizeAndViewControlsSurviveARestartScanModeDoesNot) {
    open();
    const QSize size = window->minimumSizeHint().expandedTo(QSize(900, 640)) + QSize(31, 17);
    window->resize(size);
    control<QDoubleSpinBox>(*window, "pointSizeSpin")->setValue(3.5);
    QComboBox *scanMode = control<QComboBox>(*window, "scanModeCombo");
    scanMode->setCurrentIndex(scanMode->findText("DTOF"));
    close();

    open();
    EXPECT_EQ(window->size(), size);
    EXPECT_FLOAT_EQ(window->centralView()->renderer()->pointSizeValue(), 3.5f);
    EXPECT_EQ(window->centralView()->scanMode(), ScanMode::SLAM);
}

TEST_F(MainWindowTest, ViewerShowsTheVirtualKestOneAndRecordsIt) {
    VirtualKestOne device(kest_sim::stream_preset("demo"));
    KestDataHandler::instance()->setRecordingRoot(QString::fromStdString(dir.file("recordings")));
    open();
    window->resize(1200, 800);
    RenderContainerWidget *container = window->centralView()->renderContainer();
    // The status bar's figures, as its once-a-second refresh leaves them.
    ViewerStatusBar *figures = window->liveStatus();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return container->renderer()->totalPoints() > 0 &&
                   container->preview()->textureGeneration() > 0 &&
                   figures->deviceLabel()->text() == "Streaming" &&
                   figure(figures->viewLabel(), "FPS") > 0 &&
                   figure(figures->viewLabel(), "pts") > 0 &&
                   figure(figures->dataLabel(), "MB/s") > 0;
        },
        patienceMs))
        << "a cloud and a picture shown, and " << figures->deviceLabel()->text().toStdString()
        << " | " << figures->viewLabel()->text().toStdString() << " | "
        << figures->dataLabel()->text().toStdString();

    QPushButton *record = control<QPushButton>(*window, "recordButton");
    QTest::mouseClick(record, Qt::LeftButton);
    ASSERT_TRUE(KestDataHandler::instance()->isRecording());
    ASSERT_TRUE(QTest::qWaitFor(
        [] {
            std::array<uint32_t, 3> built = KestDataHandler::instance()->recordsBuilt();
            // A whole kB, so that the label shows a figure above 0.
            return built[0] >= 2 && built[1] >= 2 && built[2] >= 2 &&
                   KestDataHandler::instance()->recordingBytesWritten() >= 1000;
        },
        patienceMs));
    figures->refresh();
    const QLabel *label = figures->recordingLabel();
    EXPECT_GT(std::max(figure(label, "kB"), figure(label, "MB")), 0) << "bytes written are shown";
    QTest::mouseClick(record, Qt::LeftButton);
    EXPECT_FALSE(KestDataHandler::instance()->isRecording());

    expectWholeRecording(KestDataHandler::instance()->recordingFolder().toStdString(), 2);
}
