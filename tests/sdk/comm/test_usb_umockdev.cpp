// The real USB path: the transport over unmodified libusb, with the libusb
// backend record the program uses on a real KestOne, against a KestOne that
// umockdev emulates (sysfs, descriptors and usbfs ioctls) and the virtual
// KestOne answers. The viewer's data handler runs its whole attach sequence on
// it, so enumeration, interface claim, kernel driver handling, bulk URB
// submission and reaping, stalls and removal all go through libusb's own code.
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
        // ctest runs these with the preload; run by hand, they say what is missing.
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
        if (started) {
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

    void start() {
        ASSERT_TRUE(KestDataHandler::initSdk());
        started = true;
    }

    testing::AssertionResult wait_status(const QString &message) {
        return statuses->wait(
            [&](const std::vector<std::pair<bool, QString>> &all) {
                return !all.empty() && all.back().second == message;
            },
            "the status \"" + message.toStdString() + "\"");
    }
    static size_t log_lines_with(const std::string &fragment) {
        size_t count = 0;
        for (const std::string &line : captured_lines())
            count += line.find(fragment) != std::string::npos ? 1 : 0;
        return count;
    }
    size_t statuses_with(const QString &message) {
        size_t count = 0;
        for (const auto &[connected, text] : statuses->snapshot())
            count += text == message ? 1 : 0;
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
    bool started = false;
};

} // namespace

// Found by its ids, opened and claimed through usbfs; the attach sequence
// (calibration file included) runs to streaming over bulk URBs.
TEST_F(Usb, DeviceIsFoundClaimedAndStreams) {
    usb->plug();
    start();
    ASSERT_TRUE(wait_status(streaming));
    EXPECT_TRUE(KestDataHandler::instance()->calibrationFetched());
    EXPECT_TRUE(data_flows());
    const usbfs_stats stats = usb->stats();
    EXPECT_EQ(stats.claims, 1u);
    EXPECT_GT(stats.urbs_reaped, 10u) << "the attach sequence and the streams";
    EXPECT_EQ(stats.unknown_ioctls, 0u);
    EXPECT_TRUE(device->state().streaming);
}

// A stalled endpoint comes back to libusb as a stall; the transport clears the
// halt through usbfs and the stream goes on.
TEST_F(Usb, StalledEndpointIsClearedAndTheStreamGoesOn) {
    usb->plug();
    start();
    ASSERT_TRUE(wait_status(streaming));
    ASSERT_TRUE(data_flows());
    kest_sim::bus_halt(usb->bus_device(), kest_sim::kestone::ep_dtof);
    EXPECT_TRUE(eventually([&] { return usb->stats().clear_halts >= 1; }, "the halt cleared"));
    EXPECT_TRUE(eventually([] { return log_contains("transfer stall"); }, "the stall logged"));
    EXPECT_TRUE(data_flows());
}

// A kernel driver holding the interface is disconnected before the claim and
// connected again once the device layer lets the device go.
TEST_F(Usb, KernelDriverIsDetachedForTheClaimAndGivenBackAfter) {
    usb->plug(usbfs_driver::detachable);
    start();
    ASSERT_TRUE(wait_status(streaming));
    EXPECT_EQ(usb->stats().driver_disconnects, 1u);
    EXPECT_EQ(usb->stats().claims, 1u);
    EXPECT_FALSE(usb->driver_holds());
    KestDataHandler::instance()->shutdown();
    started = false;
    EXPECT_EQ(usb->stats().releases, 1u);
    EXPECT_EQ(usb->stats().driver_connects, 1u);
    EXPECT_TRUE(usb->driver_holds()) << "the driver has its interface back";
}

// A driver that will not let go: the open fails with a reason and counts,
// and nothing pretends the device streams.
TEST_F(Usb, KernelDriverThatWillNotLetGoIsReported) {
    usb->plug(usbfs_driver::stuck);
    start();
    lidar_statistics_t stats{};
    EXPECT_TRUE(
        eventually([&] { return lidar_get_statistics(&stats) == 0 && stats.open_failures >= 1; },
                   "the failed open counted"));
    EXPECT_TRUE(log_contains("unable to detach kernel driver"));
    EXPECT_EQ(statuses_with(streaming), 0u);
    EXPECT_TRUE(usb->driver_holds());
}

// Removed while URBs are in flight: one detach, and every URB comes back to
// libusb (reaped, the way usbfs gives them back after a disconnect).
TEST_F(Usb, RemovalMidTransferEndsInOneDetachWithEveryUrbReaped) {
    usb->plug();
    start();
    ASSERT_TRUE(wait_status(streaming));
    ASSERT_TRUE(data_flows());
    ASSERT_GT(usb->stats().urbs_in_flight, 0u);
    usb->unplug();
    ASSERT_TRUE(wait_status(disconnected));
    EXPECT_TRUE(
        eventually([&] { return usb->stats().urbs_in_flight == 0; }, "every URB given back"));
    EXPECT_EQ(statuses_with(disconnected), 1u);
    EXPECT_TRUE(
        eventually([] { return !KestDataHandler::instance()->hasDevice(); }, "the handle cleared"));
    EXPECT_EQ(log_lines_with("hotplug_callback enter."), 1u) << "one departure, through hot-plug";
    EXPECT_EQ(log_lines_with("<BUG>"), 0u);
}

// Unplugged and plugged in again (a new device number, as the kernel gives):
// attached again and streaming. Both events reach the transport through
// libusb's hot-plug (its udev monitor sees umockdev's uevents), not polling.
TEST_F(Usb, DeviceThatReappearsAttachesAgain) {
    usb->plug();
    start();
    ASSERT_TRUE(wait_status(streaming));
    usb->unplug();
    ASSERT_TRUE(wait_status(disconnected));
    usb->plug();
    ASSERT_TRUE(wait_status(streaming));
    EXPECT_TRUE(data_flows());
    EXPECT_EQ(usb->stats().claims, 2u);
    EXPECT_EQ(statuses_with(streaming), 2u);
    EXPECT_FALSE(log_contains("fallback to polling mode"));
    EXPECT_EQ(log_lines_with("hotplug_callback enter."), 2u) << "the departure and the arrival";
}
