// The status bar's live figures around the main window: a KestOne that cannot be opened, and a
// recording's label from its start to its finish, with a low disk and a full one.
#include "app/viewer/viewer_status_bar.h"
#include "sim/kestone.h"
#include "tests/app/main_window_test.h"
#include "tests/support/full_disk.h"

#include <QLabel>
#include <QRegularExpression>
#include <QTest>

#include <gmock/gmock.h>

#include <libusb.h>

#include <limits>

using namespace kest_test;
using testing::HasSubstr;

namespace {

class StatusBarTest : public MainWindowTest {
protected:
    // A virtual KestOne on the bus, chosen as the USB backend, then the window.
    int plugAndOpen(const kest_sim::device_desc &desc) {
        usb_backend_select(kest_sim::bus_backend());
        device->set_streams(kest_sim::stream_preset("demo"));
        const int id = kest_sim::bus_plug(desc, device);
        open();
        figures = window->liveStatus();
        return id;
    }
    testing::AssertionResult deviceShows(const QString &text) {
        if (QTest::qWaitFor([&] { return figures->deviceLabel()->text() == text; }, patienceMs))
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << figures->deviceLabel()->text().toStdString();
    }

    std::shared_ptr<kest_sim::kestone> device = std::make_shared<kest_sim::kestone>();
    ViewerStatusBar *figures = nullptr;
};

} // namespace

// A device that cannot be opened: the status bar tells the user it is there and what to do.
TEST_F(StatusBarTest, ADeviceThatCannotBeOpenedIsShownWithAHint) {
    kest_sim::device_desc desc = kest_sim::kestone_desc();
    desc.open_error = LIBUSB_ERROR_ACCESS;
    plugAndOpen(desc);
    EXPECT_TRUE(deviceShows("Cannot open device (no permission)"));
    EXPECT_THAT(figures->deviceLabel()->toolTip().toStdString(),
                HasSubstr("install the udev rule 70-kestone.rules"));
}

// A frame the device layer rejects is the second drop figure, and drops turn the figures amber.
TEST_F(StatusBarTest, FramesTheDeviceLayerDroppedAreCounted) {
    const int id = plugAndOpen(kest_sim::kestone_desc());
    ASSERT_TRUE(deviceShows("Streaming"));
    const QRegularExpression shown("drops ([0-9]+)/([0-9]+)/([0-9]+)$");
    const auto rejected = [&] {
        return shown.match(figures->dataLabel()->text()).captured(2).toInt();
    };
    EXPECT_EQ(rejected(), 0) << figures->dataLabel()->text().toStdString();
    kest_sim::bus_inject(id, kest_sim::kestone::ep_dtof, kest_sim::fault::corrupt, 1, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return rejected() != 0; }, patienceMs));
    EXPECT_LE(rejected(), 8) << "one corrupted frame rejects at most the rest of its message";
    EXPECT_THAT(figures->dataLabel()->styleSheet().toStdString(), HasSubstr("#CC8400"));
    for (const QString &line : figures->dataLabel()->toolTip().split('\n'))
        EXPECT_LE(line.size(), 80) << "the tooltip fits a screen: " << line.toStdString();
}

// The state shows when the handler reports it, not at the next once-a-second refresh.
TEST_F(StatusBarTest, TheDeviceStateFollowsTheHandlersReportAtOnce) {
    usb_backend_select(kest_sim::bus_backend());
    open();
    figures = window->liveStatus();
    QStringList shownWhenReported;
    QObject::connect(KestDataHandler::instance(), &KestDataHandler::deviceStatusChanged,
                     window.get(), [&] { shownWhenReported << figures->deviceLabel()->text(); });
    device->set_streams(kest_sim::stream_preset("demo"));
    kest_sim::bus_plug(kest_sim::kestone_desc(), device);
    ASSERT_TRUE(deviceShows("Streaming"));
    ASSERT_FALSE(shownWhenReported.isEmpty());
    EXPECT_EQ(shownWhenReported.last().toStdString(), "Streaming");
}

// A folder the user named that cannot be written: the status bar says, while the recording lasts,
// where it went instead.
TEST_F(StatusBarTest, ARecordingThatCouldNotGoWhereNamedSaysWhereItWent) {
    KestDataHandler *handler = KestDataHandler::instance();
    handler->setRecordingRoot("/proc/nope");
    ASSERT_EQ(setenv("KEST_DATA_DIR", dir.file("fallback").c_str(), 1), 0);
    open();
    figures = window->liveStatus();
    handler->onRecordToggled(true);
    unsetenv("KEST_DATA_DIR");
    ASSERT_TRUE(handler->isRecording());
    EXPECT_TRUE(
        handler->recordingFolder().startsWith(QString::fromStdString(dir.file("fallback"))));
    EXPECT_FALSE(figures->recordingElsewhereLabel()->isHidden());
    EXPECT_EQ(figures->recordingElsewhereLabel()->text(),
              "/proc/nope cannot be written: recording to " + handler->recordingFolder());
    handler->onRecordToggled(false);
    EXPECT_TRUE(figures->recordingElsewhereLabel()->isHidden());
}

TEST_F(StatusBarTest, RecordingLabelWarnsOfALowDiskShowsTheFinishAndCountsRecordsNotWritten) {
    KestDataHandler *handler = KestDataHandler::instance();
    handler->setRecordingRoot(QString::fromStdString(dir.file("recordings")));
    plugAndOpen(kest_sim::kestone_desc());
    figures->setLowDiskBytes(std::numeric_limits<int64_t>::max());
    handler->onRecordToggled(true);
    ASSERT_TRUE(handler->isRecording());
    const QString text = figures->recordingLabel()->text();
    EXPECT_TRUE(text.startsWith("REC " + QDir(handler->recordingFolder()).dirName() + " · 00:00:"))
        << text.toStdString();
    EXPECT_THAT(text.toStdString(), HasSubstr("low disk: "));

    QString shownWhileFinishing;
    QObject::connect(handler->recordingNotifier(), &RecordingNotifier::recordingFinishing,
                     window.get(),
                     [&] { shownWhileFinishing = figures->recordingLabel()->text(); });
    handler->onRecordToggled(false);
    EXPECT_EQ(shownWhileFinishing, "Finishing recording…");
    EXPECT_TRUE(figures->recordingLabel()->isHidden());

    // Records the recorder could not write show on the label at once.
    figures->setLowDiskBytes(0);
    ASSERT_TRUE(deviceShows("Streaming"));
    handler->onRecordToggled(true);
    EXPECT_THAT(figures->recordingLabel()->text().toStdString(),
                testing::Not(HasSubstr("not written")));
    full_disk full(64 * 1024);
    ASSERT_TRUE(full.active());
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return figures->recordingLabel()->text().contains(
                QRegularExpression(" · [0-9]+ records not written$"));
        },
        patienceMs))
        << figures->recordingLabel()->text().toStdString();
    handler->onRecordToggled(false);
}
