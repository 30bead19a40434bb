// The viewer's command line, and the program itself: quitting while recording,
// by --quit-after and by SIGTERM, leaves a complete recording.
#include "app/viewer/viewer_options.h"
#include "tests/app/main_window_test.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <QImage>
#include <QProcess>
#include <QRegularExpression>

#include <gmock/gmock.h>

#include <csignal>
#include <memory>
#include <set>

using namespace kest_test;
namespace fs = std::filesystem;

namespace {

ViewerCommandLine parse(QStringList arguments) {
    arguments.prepend("kestviewer");
    return parseViewerCommandLine(arguments);
}

// The one entry under folder.
fs::path onlyEntry(const fs::path &folder) {
    std::vector<fs::path> entries{fs::directory_iterator(folder), {}};
    EXPECT_EQ(entries.size(), 1u) << folder;
    return entries.empty() ? folder : entries[0];
}

QProcess *startViewer(const temp_dir &dir, const QStringList &arguments) {
    auto *viewer = new QProcess;
    viewer->setWorkingDirectory(QString::fromStdString(dir.path().string()));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", QString::fromStdString(dir.file("config")));
    viewer->setProcessEnvironment(environment);
    viewer->setProcessChannelMode(QProcess::MergedChannels);
    viewer->start(KESTVIEWER_PATH, arguments);
    return viewer;
}

} // namespace

TEST(ViewerCommandLine, ReadsTheVirtualDeviceRecordingAndScreenshotOptions) {
    ViewerCommandLine bare = parse({"--virtual-device", "--virtual-set", "cloud_hz=2", "--record"});
    ASSERT_TRUE(bare.options) << bare.text.toStdString();
    EXPECT_TRUE(bare.options->virtualDevice && bare.options->record);
    EXPECT_EQ(bare.options->streams.cloud_points, kest_sim::stream_preset("demo").cloud_points);
    EXPECT_EQ(bare.options->streams.cloud_hz, 2);
    EXPECT_EQ(bare.options->quitAfterSeconds, -1);
    EXPECT_FALSE(bare.options->printStats);

    ViewerCommandLine full =
        parse({"--virtual-device=full", "--screenshot", "shot.png", "--stats"});
    ASSERT_TRUE(full.options);
    EXPECT_TRUE(full.options->printStats);
    EXPECT_EQ(full.options->streams.cloud_points, kest_sim::stream_preset("full").cloud_points);
    EXPECT_EQ(full.options->screenshot, "shot.png");
    EXPECT_EQ(full.options->quitAfterSeconds, 5) << "a screenshot alone quits after 5 s";
    EXPECT_EQ(parse({"--view-screenshot", "v.png"}).options->quitAfterSeconds, 5);

    ViewerCommandLine depth =
        parse({"--scan-mode", "DTOF", "--view-screenshot", "view.png", "--quit-after", "2"});
    ASSERT_TRUE(depth.options) << depth.text.toStdString();
    EXPECT_EQ(depth.options->scanMode, ScanMode::DTOF);
    EXPECT_EQ(depth.options->viewScreenshot, "view.png");
    EXPECT_TRUE(depth.options->screenshot.isEmpty());
    EXPECT_EQ(depth.options->quitAfterSeconds, 2);

    ViewerCommandLine none = parse({});
    ASSERT_TRUE(none.options);
    EXPECT_FALSE(none.options->scanMode) << "the panel's own SLAM";
    EXPECT_FALSE(none.options->virtualDevice || none.options->record);

    ViewerCommandLine help = parse({"--help"});
    EXPECT_FALSE(help.options);
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_TRUE(help.text.startsWith("Usage: kestviewer [options]")) << help.text.toStdString();
    for (const char *word :
         {"--virtual-device", "--virtual-set", "--record", "--record-dir", "--screenshot",
          "--view-screenshot", "--scan-mode", "--quit-after", "--stats", "image_format"})
        EXPECT_TRUE(help.text.contains(word)) << word;
}

TEST(ViewerCommandLine, BadUsageIsExitStatus64WithAReason) {
    const struct {
        QStringList arguments;
        const char *reason;
    } cases[] = {
        {{"--virtual-device=bogus"}, "unknown preset 'bogus'"},
        {{"--virtual-device=play:/nonexistent/recording"}, "cannot play /nonexistent/recording"},
        {{"--virtual-device", "--virtual-set", "speed=2"}, "speed and loop are for a recording"},
        {{"--virtual-set", "cloud_hz=2"}, "--virtual-set needs --virtual-device"},
        {{"--virtual-device", "--virtual-set", "image_format=png"},
         "bad value 'png' for image_format"},
        {{"--quit-after", "soon"}, "bad --quit-after: 'soon'"},
        {{"--scan-mode", "lidar"}, "unknown scan mode 'lidar' (slam or dtof)"},
        {{"--no-such-option"}, "no-such-option"},
        {{"stray"}, "unexpected argument 'stray'"},
    };
    for (const auto &each : cases) {
        SCOPED_TRACE(each.arguments.join(' ').toStdString());
        ViewerCommandLine line = parse(each.arguments);
        EXPECT_FALSE(line.options);
        EXPECT_EQ(line.exitStatus, 64);
        EXPECT_THAT(line.text.toStdString(), testing::HasSubstr(each.reason));
        EXPECT_THAT(line.text.toStdString(), testing::HasSubstr("(see kestviewer --help)"));
    }
}

// The program quits by itself while recording: the normal stop runs first.
TEST(ViewerProgram, QuitAfterWhileRecordingLeavesACompleteRecordingAndAScreenshot) {
    temp_dir dir;
    std::unique_ptr<QProcess> viewer(startViewer(
        dir, {"--virtual-device", "--record", "--record-dir",
              QString::fromStdString(dir.file("rec")), "--screenshot",
              QString::fromStdString(dir.file("shot.png")), "--quit-after", "4", "--stats"}));
    ASSERT_TRUE(viewer->waitForFinished(120000)) << "the viewer did not quit";
    QString out = QString::fromLocal8Bit(viewer->readAll());
    EXPECT_EQ(viewer->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(viewer->exitCode(), 0) << out.toStdString();
    qsizetype stopped = out.indexOf("[Recorder] Stopped.");
    EXPECT_GE(stopped, 0);
    EXPECT_LT(stopped, out.indexOf("~MainWindow start"))
        << "the recording stops before the window goes";
    expectWholeRecording(onlyEntry(dir.path() / "rec"));
    EXPECT_TRUE(QRegularExpression("stats: Streaming \\| [0-9.]+ FPS · [0-9,]+ pts \\| "
                                   "[0-9.]+ MB/s · drops [0-9]+/0/[0-9]+ \\| REC [0-9_]+ · 00:00:0")
                    .match(out)
                    .hasMatch())
        << "--stats prints the figures while recording";
    EXPECT_GE(QImage(QString::fromStdString(dir.file("shot.png"))).width(), 800);
}

// Started in DTOF mode, the viewer draws depth frames, and saves the view alone.
TEST(ViewerProgram, StartsInTheScanModeAskedForAndSavesTheViewAlone) {
    temp_dir dir;
    std::unique_ptr<QProcess> viewer(
        startViewer(dir, {"--virtual-device", "--scan-mode", "dtof", "--view-screenshot",
                          QString::fromStdString(dir.file("view.png")), "--quit-after", "4"}));
    ASSERT_TRUE(viewer->waitForFinished(120000)) << "the viewer did not quit";
    QString out = QString::fromLocal8Bit(viewer->readAll());
    EXPECT_EQ(viewer->exitCode(), 0) << out.toStdString();
    EXPECT_TRUE(out.contains("Scan mode changed to 1")) << out.toStdString();
    QImage view(QString::fromStdString(dir.file("view.png")));
    ASSERT_FALSE(view.isNull());
    // Grey points on the dark background: many distinct shades drawn.
    std::set<QRgb> shades;
    for (int y = 0; y < view.height(); y += 4)
        for (int x = 0; x < view.width(); x += 4)
            shades.insert(view.pixel(x, y));
    EXPECT_GT(shades.size(), 20u) << "the view shows depth points";
}

// SIGTERM (a session ending, kill) quits through the event loop, so the
// recording's files are complete too.
TEST(ViewerProgram, TerminationWhileRecordingLeavesACompleteRecording) {
    temp_dir dir;
    std::unique_ptr<QProcess> viewer(
        startViewer(dir, {"--virtual-device", "--record", "--record-dir",
                          QString::fromStdString(dir.file("rec"))}));
    QString out;
    ASSERT_TRUE(viewer->waitForStarted(30000));
    // Three clouds decoded since the recording started: records of every kind exist.
    ASSERT_TRUE(eventually(
        [&] {
            viewer->waitForReadyRead(10);
            out += QString::fromLocal8Bit(viewer->readAll());
            qsizetype started = out.indexOf("[Recorder] Started.");
            return started >= 0 && out.mid(started).count("recv pc2xyzrgba") >= 3;
        },
        "three clouds recorded by the viewer", std::chrono::seconds(120)))
        << out.toStdString();
    ASSERT_TRUE(out.contains("[Recorder] Started.")) << out.toStdString();
    ::kill(static_cast<pid_t>(viewer->processId()), SIGTERM);
    ASSERT_TRUE(viewer->waitForFinished(60000)) << "SIGTERM did not end the viewer";
    out += QString::fromLocal8Bit(viewer->readAll());
    EXPECT_EQ(viewer->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(viewer->exitCode(), 0);
    EXPECT_TRUE(out.contains("[Recorder] Stopped."));
    expectWholeRecording(onlyEntry(dir.path() / "rec"));
}
