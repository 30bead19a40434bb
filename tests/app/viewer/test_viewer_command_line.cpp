// The viewer's command line, and the program itself: quitting while recording, by --quit-after and
// by SIGTERM, leaves a complete recording.
#include "app/glRender/gl_point_cloud_renderer.h"
#include "app/viewer/viewer_options.h"
#include "tests/app/main_window_test.h"

#include <QImage>
#include <QProcess>
#include <QRegularExpression>

#include <gmock/gmock.h>

#include <csignal>

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

class ViewerProgram : public testing::Test {
protected:
    void start(const QStringList &arguments) {
        viewer.setWorkingDirectory(QString::fromStdString(dir.path().string()));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", path("config"));
        viewer.setProcessEnvironment(environment);
        viewer.setProcessChannelMode(QProcess::MergedChannels);
        viewer.start(KESTVIEWER_PATH, arguments);
    }
    // Whether the viewer ended within limit; what it printed is in out.
    bool ends(int limitMs = 120000) {
        const bool ended = viewer.waitForFinished(limitMs);
        out += QString::fromLocal8Bit(viewer.readAll());
        return ended;
    }
    QString path(const char *name) const { return QString::fromStdString(dir.file(name)); }
    temp_dir dir;
    QProcess viewer;
    QString out;
};

} // namespace

// What the programs below do not exercise; the virtual device's settings are the device's own.
TEST(ViewerCommandLine, AScreenshotAloneQuitsAfterFiveSecondsAndHelpIsNoError) {
    ViewerCommandLine bare = parse({"--virtual-device", "--record"});
    ASSERT_TRUE(bare.options) << bare.text.toStdString();
    EXPECT_EQ(bare.options->quitAfterSeconds, -1);
    EXPECT_FALSE(bare.options->scanMode) << "the panel's own SLAM";
    EXPECT_TRUE(parse({"--scan-mode", "DTOF"}).options->scanMode == ScanMode::DTOF);
    EXPECT_EQ(parse({"--view-screenshot", "v.png"}).options->quitAfterSeconds, 5);
    const ViewerOptions view =
        *parse({"--display-mode", "Height", "--colormap", "grey", "--view", "top"}).options;
    EXPECT_EQ(view.displayMode, GLPointCloudRenderer::Height);
    EXPECT_EQ(view.colormap, colour_scale::Grey);
    EXPECT_EQ(view.viewPreset, GLPointCloudRenderer::Top);
    EXPECT_EQ(parse({"--view", "fit"}).options->viewPreset, ViewerOptions::fitAll);
    ViewerCommandLine help = parse({"--help"});
    EXPECT_FALSE(help.options);
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_TRUE(help.text.startsWith("Usage: kestviewer [options]")) << help.text.toStdString();
}

TEST(ViewerCommandLine, BadUsageIsExitStatus64WithAReason) {
    const struct {
        QStringList arguments;
        const char *reason;
    } cases[] = {
        {{"--virtual-device=bogus"}, "unknown preset 'bogus'"},
        {{"--virtual-set", "cloud_hz=2"}, "--virtual-set needs --virtual-device"},
        {{"--quit-after", "soon"}, "bad --quit-after: 'soon'"},
        {{"--no-such-option"}, "no-such-option"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"--colormap", "jet"}, "unknown --colormap 'jet' (turbo, viridis, grey)"},
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
TEST_F(ViewerProgram, QuitAfterWhileRecordingLeavesACompleteRecordingAndScreenshots) {
    start({"--virtual-device", "--record", "--record-dir", path("rec"), "--screenshot",
           path("shot.png"), "--view-screenshot", path("view.png"), "--quit-after", "4",
           "--stats"});
    ASSERT_TRUE(ends()) << "the viewer did not quit";
    EXPECT_EQ(viewer.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(viewer.exitCode(), 0) << out.toStdString();
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
    const QImage shot(path("shot.png")), view(path("view.png"));
    EXPECT_GE(shot.width(), 800);
    EXPECT_TRUE(!view.isNull() && view.width() < shot.width()) << "the view alone";
}

// SIGTERM (a session ending, kill) quits through the event loop, so the recording's files are
// complete too.
TEST_F(ViewerProgram, TerminationWhileRecordingLeavesACompleteRecording) {
    start({"--virtual-device", "--record", "--record-dir", path("rec")});
    ASSERT_TRUE(viewer.waitForStarted(30000));
    // Three clouds decoded since the recording started: records of every kind exist.
    ASSERT_TRUE(eventually(
        [&] {
            viewer.waitForReadyRead(10);
            out += QString::fromLocal8Bit(viewer.readAll());
            qsizetype started = out.indexOf("[Recorder] Started.");
            return started >= 0 && out.mid(started).count("recv pc2xyzrgba") >= 3;
        },
        "three clouds recorded by the viewer", std::chrono::seconds(120)))
        << out.toStdString();
    ::kill(static_cast<pid_t>(viewer.processId()), SIGTERM);
    ASSERT_TRUE(ends(60000)) << "SIGTERM did not end the viewer";
    EXPECT_EQ(viewer.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(viewer.exitCode(), 0);
    EXPECT_TRUE(out.contains("[Recorder] Stopped."));
    expectWholeRecording(onlyEntry(dir.path() / "rec"));
}
