// The status bar's live figures around the main window: a KestOne that cannot
// be opened, what the device layer dropped, and a recording's label from its
// start to its finish, with a low disk and a full one.
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
    size_t panelLinesWith(const QString &fragment) {
        window->pollLogQueue();
        size_t count = 0;
        for (const Block &block : blocksOf(window->logView()))
            count += block.text.contains(fragment);
        return count;
    }

    std::shared_ptr<kest_sim::kestone> device = std::make_shared<kest_sim::kestone>();
    ViewerStatusBar *figures = nullptr;
};

} // namespace

// Nothing reaches the attach sequence from a device that cannot be opened; the
// status bar still tells the user it is there and what to do, and the log says it once.
TEST_F(StatusBarTest, ADeviceThatCannotBeOpenedIsShownWithAHint) {
    kest_sim::device_desc desc = kest_sim::kestone_desc();
    desc.open_error = LIBUSB_ERROR_ACCESS;
    plugAndOpen(desc);
    EXPECT_TRUE(deviceShows("Cannot open device (no permission)"));
    EXPECT_THAT(figures->deviceLabel()->toolTip().toStdString(),
                HasSubstr("install the udev rule 70-kestone.rules"));
    figures->refresh();
    EXPECT_EQ(panelLinesWith("may not open it"), 1u) << "the hint is logged once";
}

TEST_F(StatusBarTest, FramesTheDeviceLayerDroppedAreCounted) {
    const int id = plugAndOpen(kest_sim::kestone_desc());
    ASSERT_TRUE(deviceShows("Streaming"));
    // The third figure counts clouds given up (no odometry matched them).
    const QRegularExpression figuresShown("drops ([0-9]+)/([0-9]+)/([0-9]+)$");
    QRegularExpressionMatch drops = figuresShown.match(figures->dataLabel()->text());
    ASSERT_TRUE(drops.hasMatch()) << figures->dataLabel()->text().toStdString();
    EXPECT_EQ(drops.captured(2), "0") << "no frame rejected yet";
    if (drops.captured(3) == "0") {
        EXPECT_TRUE(figures->dataLabel()->styleSheet().isEmpty()) << "no drops, no colour";
    }
    kest_sim::bus_inject(id, kest_sim::kestone::ep_dtof, kest_sim::fault::corrupt, 1, 0);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return figuresShown.match(figures->dataLabel()->text()).captured(2) != "0"; },
        patienceMs));
    // One corrupted frame; when it opened a message of several frames (a depth
    // frame), the rest of that message is rejected with it.
    drops = figuresShown.match(figures->dataLabel()->text());
    EXPECT_EQ(drops.captured(1), "0");
    EXPECT_GE(drops.captured(2).toInt(), 1);
    EXPECT_LE(drops.captured(2).toInt(), 8) << "more than one message's frames";
    EXPECT_THAT(figures->dataLabel()->styleSheet().toStdString(), HasSubstr("#CC8400"));
}

TEST_F(StatusBarTest, RecordingLabelWarnsOfALowDiskShowsTheFinishAndCountsRecordsNotWritten) {
    KestDataHandler *handler = KestDataHandler::instance();
    handler->setRecordingRoot(QString::fromStdString(dir.file("recordings")));
    plugAndOpen(kest_sim::kestone_desc());
    figures->setLowDiskBytes(std::numeric_limits<int64_t>::max());
    handler->onRecordToggled(true);
    ASSERT_TRUE(handler->isRecording());
    const QString text = figures->recordingLabel()->text();
    EXPECT_TRUE(text.startsWith("REC " + QDir(handler->recordingFolder()).dirName()))
        << text.toStdString();
    EXPECT_THAT(text.toStdString(), HasSubstr(" free"));
    EXPECT_THAT(text.toStdString(), HasSubstr("low disk: "));
    figures->refresh();
    EXPECT_EQ(panelLinesWith("[Recorder] Only "), 1u) << "warned once while it stays low";

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
                testing::Not(HasSubstr("low disk")));
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
