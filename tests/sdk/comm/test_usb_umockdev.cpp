// The real USB path: the viewer's data handler over unmodified libusb against a
// KestOne that umockdev emulates and the virtual KestOne answers, so
// enumeration, claim, bulk URBs, hot-plug and removal go through libusb's code.
#include "app/kest_data_handler.h"
#include "sdk/api/api.h"
#include "sdk/comm/libusb/usb_backend.h"
#include "sim/usb_bus.h"
#include "tests/support/bus_test.h"
#include "tests/support/log_capture.h"
#include "tests/support/recorder.h"
#include "tests/support/temp_dir.h"
#include "tests/support/usbfs_kestone.h"
#include "tests/support/wait.h"

#include <gmock/gmock.h>

#include <memory>
#include <utility>

using namespace kest_test;

namespace {

const QString streaming = QStringLiteral("Device connected and streaming");
const QString disconnected = QStringLiteral("Device disconnected");

class Usb : public logged_test {
protected:
    static void SetUpTestSuite() {
        static temp_dir folder(true); // the handler's files/recv goes in it
        KestDataHandler::instance();
    }

    void SetUp() override {
        logged_test::SetUp();
        ASSERT_TRUE(usbfs_kestone::available())
            << "needs umockdev's preload library: run under umockdev-wrapper";
        kest_sim::bus_reset();
        usb_backend_select(nullptr); // the program's own: libusb
        use_scaled_heartbeat();
        device = std::make_shared<kest_sim::kestone>();
        device->set_streams(kest_sim::stream_preset("demo"));
        usb = std::make_unique<usbfs_kestone>(device);
        statuses = std::make_shared<recorder<std::pair<bool, QString>>>();
        auto seen = statuses;
        connection =
            QObject::connect(KestDataHandler::instance(), &KestDataHandler::deviceStatusChanged,
                             [seen](bool connected, const QString &message) {
                                 seen->add({connected, message});
                             });
    }

    void TearDown() override {
        if (usb) {
            usb->unplug();
            EXPECT_TRUE(eventually([] { return !KestDataHandler::instance()->hasDevice(); },
                                   "the handle cleared"));
            lidar_system_deinit();
        }
        QObject::disconnect(connection);
        usb.reset();
        kest_sim::bus_reset();
        logged_test::TearDown();
    }

    testing::AssertionResult wait_status(const QString &message) {
        return statuses->wait(
            [&](const std::vector<std::pair<bool, QString>> &all) {
                return !all.empty() && all.back().second == message;
            },
            "the status \"" + message.toStdString() + "\"");
    }
    size_t statuses_with(const QString &message) {
        size_t count = 0;
        for (const auto &[connected, text] : statuses->snapshot())
            count += text == message ? 1 : 0;
        return count;
    }
    static size_t hotplug_entries() {
        size_t count = 0;
        for (const std::string &line : captured_lines())
            count += line.find("hotplug_callback enter.") != std::string::npos ? 1 : 0;
        return count;
    }
    // Stream data keeps arriving: more bytes than now, within patience.
    testing::AssertionResult data_flows() {
        const uint64_t before = KestDataHandler::instance()->bytesReceived();
        return eventually(
            [before] { return KestDataHandler::instance()->bytesReceived() > before + 100000; },
            "stream data arriving");
    }

    std::shared_ptr<kest_sim::kestone> device;
    std::unique_ptr<usbfs_kestone> usb;
    std::shared_ptr<recorder<std::pair<bool, QString>>> statuses;
    QMetaObject::Connection connection;
};

} // namespace

// Found, claimed and streaming (calibration file included) over bulk URBs; removed
// mid-transfer with every URB given back and one detach; plugged again (a new
// device number) and streaming again. Both events come through libusb's
// hot-plug (its udev monitor sees umockdev's uevents), not polling.
TEST_F(Usb, DeviceStreamsIsRemovedMidTransferAndAttachesAgain) {
    usb->plug();
    ASSERT_TRUE(KestDataHandler::initSdk());
    ASSERT_TRUE(wait_status(streaming));
    EXPECT_TRUE(KestDataHandler::instance()->calibrationFetched());
    ASSERT_TRUE(data_flows());
    EXPECT_TRUE(device->state().streaming);
    EXPECT_EQ(usb->stats().claims, 1u);
    EXPECT_GT(usb->stats().urbs_reaped, 10u) << "the attach sequence and the streams";
    ASSERT_GT(usb->stats().urbs_in_flight, 0u);

    usb->unplug();
    ASSERT_TRUE(wait_status(disconnected));
    EXPECT_TRUE(
        eventually([&] { return usb->stats().urbs_in_flight == 0; }, "every URB given back"));
    EXPECT_TRUE(
        eventually([] { return !KestDataHandler::instance()->hasDevice(); }, "the handle cleared"));
    EXPECT_EQ(hotplug_entries(), 1u) << "one departure, through hot-plug";

    usb->plug();
    ASSERT_TRUE(wait_status(streaming));
    EXPECT_TRUE(data_flows());
    EXPECT_EQ(usb->stats().claims, 2u);
    EXPECT_EQ(statuses_with(streaming), 2u);
    EXPECT_EQ(statuses_with(disconnected), 1u);
    EXPECT_EQ(hotplug_entries(), 2u) << "the departure and the arrival";
    EXPECT_FALSE(log_contains("fallback to polling mode"));
    EXPECT_FALSE(log_contains("<BUG>"));
    EXPECT_EQ(usb->stats().unknown_ioctls, 0u);
}
