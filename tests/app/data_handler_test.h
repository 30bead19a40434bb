// The fixture of the data handler's tests: the real device layer on the
// virtual bus, a virtual KestOne to plug in, and the statuses the handler
// reports. The handler is one per process and resolves its calibration folder
// when it is created, so every suite shares one scratch working folder.
#pragma once

#include "app/kest_data_handler.h"
#include "sim/kestone.h"
#include "tests/support/bus_test.h"
#include "tests/support/recorder.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kest_test {

class DataHandler : public bus_test {
public:
    using status = std::pair<bool, QString>;

protected:
    // The working folder while the process lives; the handler's files/recv is in it.
    static temp_dir &folder() {
        static temp_dir dir(true);
        return dir;
    }
    static void SetUpTestSuite() {
        folder();
        KestDataHandler::instance();
    }

    void SetUp() override {
        bus_test::SetUp();
        statuses = std::make_shared<recorder<status>>();
        auto seen = statuses;
        connection =
            QObject::connect(KestDataHandler::instance(), &KestDataHandler::deviceStatusChanged,
                             [seen](bool connected, const QString &message) {
                                 seen->add({connected, message});
                             });
        device = std::make_shared<kest_sim::kestone>();
        ASSERT_TRUE(KestDataHandler::initSdk());
    }
    // A device still plugged in goes through the detach sequence first, so the
    // handler leaves every test with no device.
    void TearDown() override {
        if (plugged) {
            kest_sim::bus_unplug(device_id);
            EXPECT_TRUE(eventually([] { return !KestDataHandler::instance()->hasDevice(); },
                                   "the handle cleared"));
        }
        lidar_system_deinit(); // waits for the attach sequences still running
        QObject::disconnect(connection);
        bus_test::TearDown();
    }

    void plug() {
        device_id = kest_sim::bus_plug(kest_sim::kestone_desc(), device);
        plugged = true;
    }
    void unplug() {
        kest_sim::bus_unplug(device_id);
        plugged = false;
    }
    testing::AssertionResult wait_status(const QString &message) {
        return statuses->wait(
            [&](const std::vector<status> &all) {
                return !all.empty() && all.back().second == message;
            },
            "the status \"" + message.toStdString() + "\"");
    }
    // The ERROR and INFO lines of the attach sequence, in order, without prefixes.
    static std::vector<std::string> sequence_lines() {
        std::vector<std::string> lines;
        for (const log_record &record : captured_logs())
            if (record.function == "KestDataHandler::handleAttach")
                lines.push_back(record.text.substr(record.text.find(">: ") + 3));
        return lines;
    }

    std::shared_ptr<recorder<status>> statuses;
    QMetaObject::Connection connection;
    std::shared_ptr<kest_sim::kestone> device;
    int device_id = 0;
    bool plugged = false;
};

} // namespace kest_test
