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

using namespace kest_test;

namespace {

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
        device->set_streams(kest_sim::stream_preset("demo"));
        usb = std::make_unique<usbfs_kestone>(device);
        connection = QObject::connect(
            KestDataHandler::instance(), &KestDataHandler::deviceStatusChanged,
            [seen = statuses](bool, const QString &message) { seen->add(message); });
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
            [&](const std::vector<QString> &all) { return !all.empty() && all.back() == message; },
            "the status \"" + message.toStdString() + "\"");
    }

    std::shared_ptr<kest_sim::kestone> device = std::make_shared<kest_sim::kestone>();
    std::unique_ptr<usbfs_kestone> usb;
    std::shared_ptr<recorder<QString>> statuses = std::make_shared<recorder<QString>>();
    QMetaObject::Connection connection;
};

} // namespace

// Found, claimed and streaming (calibration file included) over bulk URBs through
// libusb's hot-plug (its udev monitor sees umockdev's uevents); removed
// mid-transfer with every URB given back.
TEST_F(Usb, DeviceStreamsAndIsRemovedMidTransfer) {
    usb->plug();
    ASSERT_TRUE(KestDataHandler::initSdk());
    ASSERT_TRUE(wait_status("Device connected and streaming"));
    EXPECT_TRUE(KestDataHandler::instance()->calibrationFetched());
    ASSERT_TRUE(eventually([] { return KestDataHandler::instance()->bytesReceived() > 100000; },
                           "stream data arriving"));
    ASSERT_GT(usb->urbs_in_flight(), 0u);
    usb->unplug();
    ASSERT_TRUE(wait_status("Device disconnected"));
    EXPECT_TRUE(eventually([&] { return usb->urbs_in_flight() == 0; }, "every URB given back"));
    EXPECT_TRUE(
        eventually([] { return !KestDataHandler::instance()->hasDevice(); }, "the handle cleared"));
    EXPECT_FALSE(log_contains("fallback to polling mode"));
    EXPECT_FALSE(log_contains("<BUG>"));
}

// The virtual bus names errors without libusb; its names must be libusb's, which log lines carry.
TEST(UsbErrorText, NamesEveryCodeAsLibusbDoes) {
    for (int code = -120; code <= 10; ++code)
        EXPECT_STREQ(usb_error_text(code), libusb_error_name(code)) << code;
}
