// Opening a recording and leaving it as a new user does: the dialog's folder, a view that shows the
// recording alone, its faults said and marked, a key to the next mark, a selection saved as a
// recording, and the live device back.
#include "app/glRender/gl_point_cloud_renderer.h"
#include "app/glRender/point_cloud_widget.h"
#include "app/viewer/playback_control.h"
#include "app/viewer/playback_timeline.h"
#include "app/viewer/viewer_startup.h"
#include "recording/record_layout.h"
#include "recording/recording_summary.h"
#include "tests/app/main_window_test.h"

#include <QAction>
#include <QStatusBar>
#include <QTest>

#include <gmock/gmock.h>

using namespace kest_test;
namespace fs = std::filesystem;

namespace {

// Two segments of 4 s (the device clock restarted between them), clouds at 5 Hz of 200 points,
// two clouds lost in the first; the pose file cut to 7 bytes.
fs::path damagedRecording(const fs::path &root) {
    const fs::path folder = root / "20260101_120000";
    fs::create_directories(folder);
    std::string clouds;
    uint32_t number = 0;
    for (int segment = 0; segment < 2; ++segment)
        for (int i = 0; i < 20; ++i, ++number) {
            if (number == 10 || number == 11)
                continue;
            std::vector<CloudPoint> points;
            for (int k = 0; k < 200; ++k)
                points.push_back({float(k % 20) * 0.1f, float(k / 20) * 0.1f, 1.0f + 0.1f * i, 200,
                                  100, 50, 0, 0});
            const std::vector<uint8_t> record =
                StreamDecoding::buildCloudRecord(number, 1.0 + 0.2 * i, points);
            clouds.append(record.begin(), record.end());
        }
    write_file((folder / "MT20260101_120000.kvx").string(), clouds);
    write_file((folder / "KestPose.bin").string(), std::string(7, '\1'));
    return folder;
}

double playedAt(VirtualKestOne &device) {
    return device.kestOne().playback().position_s;
}

} // namespace

TEST_F(MainWindowTest, ARecordingOpensAloneWithItsFaultsMarkedAndTheLiveDeviceComesBack) {
    VirtualKestOne device(kest_sim::stream_preset("demo"));
    KestDataHandler::instance()->setRecordingRoot(QString::fromStdString(dir.file("recordings")));
    open();
    auto *control = new PlaybackControl(window.get(), &device);
    EXPECT_EQ(control->dialogStart(), QString::fromStdString(dir.file("recordings")));
    GLPointCloudRenderer *view = window->centralView()->renderer();
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->totalPoints() > 0; }, patienceMs));

    const fs::path recording = damagedRecording(dir.path() / "elsewhere");
    ASSERT_TRUE(control->play(QString::fromStdString(recording.string())));
    EXPECT_EQ(view->totalPoints(), 0u) << "the live map is gone";
    EXPECT_EQ(control->dialogStart(), QString::fromStdString((dir.path() / "elsewhere").string()));
    EXPECT_THAT(window->statusBar()->currentMessage().toStdString(),
                testing::HasSubstr("This recording has faults: poses: the last record, at byte 0, "
                                   "is cut off (the 0 before it are whole); clouds: 1 sequence gap "
                                   "(2 records missing); clouds: 1 time going backwards"));
    std::vector<std::string> marks;
    for (const PlaybackTimeline::Mark &mark : control->timeline()->marks())
        marks.push_back(mark.text.toStdString());
    EXPECT_THAT(marks, testing::ElementsAre("clouds: 2 records missing (numbers 10 to 11)",
                                            "the device clock restarted: segment 2 of 2"));
    const double gapAt = control->timeline()->marks()[0].seconds;
    EXPECT_NEAR(gapAt, 2.4, 1e-6);
    EXPECT_TRUE(
        control->timeline()->markTextAt(control->timeline()->xOf(gapAt)).contains("missing"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->totalPoints() > 0 && playedAt(device) > 0.5; },
                                patienceMs))
        << "the recording plays: " << playedAt(device);

    // In accumulate mode a jump back clears the map first, so that it is not drawn twice.
    view->setRenderMode(GLPointCloudRenderer::Accumulate);
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->totalPoints() > 0; }, patienceMs));
    control->seek(0);
    EXPECT_EQ(view->totalPoints(), 0u);

    // Paused near the start, N jumps to the next mark.
    window->findChild<QAction *>("pauseAction")->setChecked(true);
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    ASSERT_LT(playedAt(device), gapAt);
    QTest::keyClick(window.get(), Qt::Key_N);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return std::abs(playedAt(device) - gapAt) < 0.01; }, patienceMs))
        << playedAt(device);

    // A selection within the first segment, saved as a recording that inspects sound.
    control->setSelection(1.0, 0.2);
    EXPECT_EQ(control->selectionIn(), 0.2) << "the ends in order";
    const fs::path selection = dir.path() / "selection";
    ASSERT_TRUE(control->saveSelection(QString::fromStdString(selection.string())))
        << control->lastError().toStdString();
    const RecordingSummary summary = summariseRecording(selection.string());
    EXPECT_EQ(summary.clouds.records, 5u);
    EXPECT_TRUE(summary.clouds.faults().empty());
    EXPECT_FALSE(control->saveSelection(QString::fromStdString(selection.string())))
        << "never over a folder with a recording in it";

    // Back to the live device: the playback ends, its keys go quiet, the live points come back.
    window->findChild<QAction *>("backToLiveAction")->trigger();
    EXPECT_FALSE(control->playing());
    EXPECT_FALSE(device.kestOne().playback().playing);
    EXPECT_FALSE(window->findChild<QAction *>("stepForwardAction")->isEnabled());
    EXPECT_TRUE(QTest::qWaitFor([&] { return view->totalPoints() > 0; }, patienceMs));
}
