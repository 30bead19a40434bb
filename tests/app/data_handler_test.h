// The data handler's fixtures: the device layer on the virtual bus, a virtual KestOne, the
// statuses; the handler is one per process, so every suite shares one scratch working folder.
#pragma once

#include "app/kest_data_handler.h"
#include "sim/kestone.h"
#include "tests/support/bus_test.h"
#include "tests/support/recorder.h"
#include "tests/support/recording_files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <gmock/gmock.h>

#include <array>
#include <filesystem>
#include <memory>

namespace kest_test {

class DataHandler : public bus_test {
public:
    using status = std::pair<bool, QString>;

protected:
    static temp_dir &folder() {
        static temp_dir dir(true);
        return dir;
    }
    static void SetUpTestSuite() {
        folder();
        KestDataHandler::instance();
    }
    static KestDataHandler *handler() { return KestDataHandler::instance(); }
    void SetUp() override {
        bus_test::SetUp();
        statuses = std::make_shared<recorder<status>>();
        auto seen = statuses;
        connection = QObject::connect(handler(), &KestDataHandler::deviceStatusChanged,
                                      [seen](bool connected, const QString &message) {
                                          seen->add({connected, message});
                                      });
        device = std::make_shared<kest_sim::kestone>();
        ASSERT_TRUE(KestDataHandler::initSdk());
    }
    // A device still plugged in is detached first: every test leaves the handler with no device.
    void TearDown() override {
        if (plugged) {
            kest_sim::bus_unplug(device_id);
            EXPECT_TRUE(eventually([] { return !handler()->hasDevice(); }, "the handle cleared"));
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
    std::shared_ptr<recorder<status>> statuses;
    QMetaObject::Connection connection;
    std::shared_ptr<kest_sim::kestone> device;
    int device_id = 0;
    bool plugged = false;
};

class Recording : public DataHandler {
protected:
    void SetUp() override {
        DataHandler::SetUp();
        handler()->setRecordingRoot(QString::fromStdString(root.path().string()));
    }
    void TearDown() override {
        handler()->onRecordToggled(false);
        DataHandler::TearDown();
    }
    testing::AssertionResult stream(const kest_sim::stream_settings &settings) {
        device->set_streams(settings);
        plug();
        return wait_status("Device connected and streaming");
    }
    static void record(bool on) {
        capture_stdout([on] { handler()->onRecordToggled(on); });
    }
    // Waits until the recording has built at least these numbers of poses, clouds and images.
    testing::AssertionResult built_at_least(std::array<uint32_t, 3> wanted) {
        return eventually(
            [&] {
                std::array<uint32_t, 3> built = handler()->recordsBuilt();
                return built[0] >= wanted[0] && built[1] >= wanted[1] && built[2] >= wanted[2];
            },
            "the records wanted", std::chrono::seconds(120));
    }
    // Every record the decoders built is in its file, whole and numbered from 0; returns the files.
    std::array<read_file, 3> expect_whole_recording(const std::filesystem::path &folder) {
        KestDataHandler::RecordingReport report = handler()->lastRecordingReport();
        std::array<read_file, 3> files = read_recording(folder);
        for (size_t i = 0; i < 3; ++i) {
            SCOPED_TRACE(report.files[i].path.toStdString());
            EXPECT_EQ(files[i].fault, "");
            EXPECT_EQ(numbering_fault(files[i]), "");
            EXPECT_EQ(files[i].records.size(), report.built[i]) << "built and on disk";
            EXPECT_EQ(report.files[i].recordsWritten, report.built[i]);
            EXPECT_EQ(report.files[i].recordsDropped, 0u);
            EXPECT_FALSE(report.files[i].failed);
        }
        return files;
    }
    std::filesystem::path recording_folder() const {
        return handler()->recordingFolder().toStdString();
    }
    temp_dir root;
};

} // namespace kest_test
