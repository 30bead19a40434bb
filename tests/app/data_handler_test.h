// The fixtures of the data handler's tests: the real device layer on the virtual bus, a virtual
// KestOne to plug in, and the statuses the handler reports; for recordings, a scratch root and the
// check that a finished one holds, whole, every record the decoders built. The handler is one per
// process and resolves its calibration folder when it is created, so every suite shares one scratch
// working folder.
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
#include <string>
#include <utility>
#include <vector>

namespace kest_test {

inline QString qpath(const std::filesystem::path &path) {
    return QString::fromStdString(path.string());
}

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
    // A device still plugged in goes through the detach sequence first, so the handler leaves every
    // test with no device.
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

class Recording : public DataHandler {
protected:
    void SetUp() override {
        DataHandler::SetUp();
        handler()->setRecordingRoot(qpath(root.path()));
    }
    void TearDown() override {
        handler()->onRecordToggled(false);
        handler()->onScanModeChanged(ScanMode::SLAM);
        DataHandler::TearDown();
    }

    testing::AssertionResult stream(const std::string &preset) {
        return stream(kest_sim::stream_preset(preset));
    }
    testing::AssertionResult stream(const kest_sim::stream_settings &settings) {
        device->set_streams(settings);
        plug();
        return wait_status("Device connected and streaming");
    }
    // Starts or stops recording, its output held back.
    static void record(bool on) {
        capture_stdout([on] { handler()->onRecordToggled(on); });
    }
    // Waits, as long as a loaded machine may need, until the recording has built at least the given
    // numbers of poses, clouds and images.
    testing::AssertionResult built_at_least(std::array<uint32_t, 3> wanted) {
        return eventually(
            [&] {
                std::array<uint32_t, 3> built = handler()->recordsBuilt();
                return built[0] >= wanted[0] && built[1] >= wanted[1] && built[2] >= wanted[2];
            },
            "recording " + std::to_string(wanted[0]) + " poses, " + std::to_string(wanted[1]) +
                " clouds and " + std::to_string(wanted[2]) + " images",
            std::chrono::seconds(120));
    }
    // Every record the decoders built is in its file, whole and numbered from 0; returns the three
    // files read back.
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
        for (const read_record &image : files[2].records)
            EXPECT_EQ(image.bytes[16] << 8 | image.bytes[17], 0xFFD8) << "a JPEG file";
        return files;
    }
    std::filesystem::path recording_folder() const {
        return handler()->recordingFolder().toStdString();
    }

    temp_dir root;
};

} // namespace kest_test
