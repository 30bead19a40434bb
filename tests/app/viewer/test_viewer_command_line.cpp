// The viewer's command line, and the program itself: quitting while recording,
// by --quit-after and by SIGTERM, leaves a complete recording.
#include "app/viewer/viewer_options.h"
#include "tests/support/recording_files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <QImage>
#include <QProcess>
#include <QRegularExpression>

#include <gmock/gmock.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>

using namespace kest_test;
namespace fs = std::filesystem;

namespace {

ViewerCommandLine parse(QStringList arguments) {
    arguments.prepend("kestviewer");
    return parseViewerCommandLine(arguments);
}

// The one recording under root, checked whole: five files, records numbered
// from 0 and none cut off.
void expectOneWholeRecording(const fs::path &root) {
    std::vector<fs::path> folders;
    for (const auto &entry : fs::directory_iterator(root))
        folders.push_back(entry.path());
    ASSERT_EQ(folders.size(), 1u);
    const fs::path &folder = folders[0];
    std::string stamp = folder.filename().string();
    for (const char *name : {"image/info.txt", "image/cam_in_ex.txt"})
        EXPECT_TRUE(fs::exists(folder / name)) << name;
    read_file files[] = {read_poses((folder / "KestPose.bin").string()),
                         read_clouds((folder / ("MT" + stamp + ".kvx")).string()),
                         read_images((folder / "KestImage.bin").string())};
    for (const read_file &file : files) {
        EXPECT_EQ(file.fault, "");
        EXPECT_EQ(numbering_fault(file), "");
        EXPECT_FALSE(file.records.empty());
    }
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
    EXPECT_TRUE(bare.options->virtualDevice);
    EXPECT_EQ(bare.options->streams.cloud_points, kest_sim::stream_preset("demo").cloud_points);
    EXPECT_EQ(bare.options->streams.cloud_hz, 2);
    EXPECT_TRUE(bare.options->record);
    EXPECT_EQ(bare.options->quitAfterSeconds, -1);
    EXPECT_FALSE(bare.options->printStats);

    ViewerCommandLine full =
        parse({"--virtual-device=full", "--screenshot", "shot.png", "--stats"});
    ASSERT_TRUE(full.options);
    EXPECT_TRUE(full.options->printStats);
    EXPECT_EQ(full.options->streams.cloud_points, kest_sim::stream_preset("full").cloud_points);
    EXPECT_EQ(full.options->screenshot, "shot.png");
    EXPECT_EQ(full.options->quitAfterSeconds, 5) << "a screenshot alone quits after 5 s";

    ViewerCommandLine depth =
        parse({"--scan-mode", "DTOF", "--view-screenshot", "view.png", "--quit-after", "2"});
    ASSERT_TRUE(depth.options) << depth.text.toStdString();
    EXPECT_EQ(depth.options->scanMode, ScanMode::DTOF);
    EXPECT_EQ(depth.options->viewScreenshot, "view.png");
    EXPECT_TRUE(depth.options->screenshot.isEmpty());
    EXPECT_EQ(depth.options->quitAfterSeconds, 2);
    EXPECT_EQ(parse({"--view-screenshot", "v.png"}).options->quitAfterSeconds, 5);

    ViewerCommandLine none = parse({});
    EXPECT_FALSE(none.options->scanMode) << "the panel's own SLAM";
    ASSERT_TRUE(none.options);
    EXPECT_FALSE(none.options->virtualDevice);
    EXPECT_FALSE(none.options->record);

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
    expectOneWholeRecording(dir.path() / "rec");
    EXPECT_TRUE(QRegularExpression("stats: Streaming \\| [0-9.]+ FPS · [0-9,]+ pts \\| "
                                   "[0-9.]+ MB/s · drops [0-9]+/0/[0-9]+ \\| REC [0-9_]+ · 00:00:0")
                    .match(out)
                    .hasMatch())
        << "--stats prints the figures while recording";
    QImage shot(QString::fromStdString(dir.file("shot.png")));
    EXPECT_FALSE(shot.isNull());
    EXPECT_GE(shot.width(), 800);
}

// The viewer plays a recording back as the device it came from: recorded
// again, its clouds are the original's (to the device's 0.1 mm), at their times.
TEST(ViewerProgram, PlaysARecordingBackAsItWasRecorded) {
    temp_dir dir;
    auto run = [&](const QStringList &arguments) {
        std::unique_ptr<QProcess> viewer(startViewer(dir, arguments));
        ASSERT_TRUE(viewer->waitForFinished(120000)) << "the viewer did not quit";
        EXPECT_EQ(viewer->exitCode(), 0) << viewer->readAll().toStdString();
    };
    run({"--virtual-device", "--virtual-set", "image_width=160", "--virtual-set",
         "image_height=120", "--record", "--record-dir", QString::fromStdString(dir.file("a")),
         "--quit-after", "3"});
    ASSERT_EQ(std::distance(fs::directory_iterator(dir.path() / "a"), {}), 1);
    const fs::path original = fs::directory_iterator(dir.path() / "a")->path();
    run({"--virtual-device=play:" + QString::fromStdString(original.string()), "--virtual-set",
         "speed=2", "--record", "--record-dir", QString::fromStdString(dir.file("b")),
         "--quit-after", "4"});
    ASSERT_EQ(std::distance(fs::directory_iterator(dir.path() / "b"), {}), 1);
    const fs::path again = fs::directory_iterator(dir.path() / "b")->path();

    auto clouds = [](const fs::path &folder) {
        return read_clouds((folder / ("MT" + folder.filename().string() + ".kvx")).string());
    };
    const read_file first = clouds(original), second = clouds(again);
    ASSERT_GT(second.records.size(), 0u);
    // From the first cloud recorded again to the original's last, none missing
    // (the recorder starts once the device streams: the first may be missed).
    auto start =
        std::find_if(first.records.begin(), first.records.end(),
                     [&](const read_record &r) { return r.seconds == second.records[0].seconds; });
    ASSERT_NE(start, first.records.end());
    ASSERT_EQ(size_t(first.records.end() - start), second.records.size());
    for (const read_record &cloud : second.records) {
        const read_record &source = *start++;
        ASSERT_EQ(source.seconds, cloud.seconds);
        ASSERT_EQ(source.count, cloud.count);
        for (size_t at = 16; at < cloud.bytes.size(); at += 15) {
            float was[3], is[3];
            memcpy(was, source.bytes.data() + at, sizeof was);
            memcpy(is, cloud.bytes.data() + at, sizeof is);
            for (int axis = 0; axis < 3; ++axis)
                ASSERT_NEAR(is[axis], was[axis], 1.0e-4 + 1e-6);
        }
    }
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
    expectOneWholeRecording(dir.path() / "rec");
}
