// The fixture of the recording tests: the data handler recording under a
// scratch root while the virtual KestOne streams, and the checks that a
// finished recording holds, whole, every record the decoders built.
#pragma once

#include "tests/app/data_handler_test.h"
#include "tests/support/recording_files.h"

#include <gmock/gmock.h>

#include <QString>

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

namespace kest_test {

inline QString qpath(const std::filesystem::path &path) {
    return QString::fromStdString(path.string());
}

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
    static KestDataHandler *handler() { return KestDataHandler::instance(); }

    testing::AssertionResult stream(const std::string &preset) {
        return stream(kest_sim::stream_preset(preset));
    }
    testing::AssertionResult stream(const kest_sim::stream_settings &settings) {
        device->set_streams(settings);
        plug();
        return wait_status("Device connected and streaming");
    }
    // Waits, as long as a loaded machine may need, until the recording has
    // built at least the given numbers of poses, clouds and images.
    testing::AssertionResult built_at_least(std::array<uint32_t, 3> wanted) {
        std::string what = "recording " + std::to_string(wanted[0]) + " poses, " +
                           std::to_string(wanted[1]) + " clouds and " + std::to_string(wanted[2]) +
                           " images";
        return eventually(
            [&] {
                std::array<uint32_t, 3> built = handler()->recordsBuilt();
                return built[0] >= wanted[0] && built[1] >= wanted[1] && built[2] >= wanted[2];
            },
            what, std::chrono::seconds(120));
    }
    // Every record the decoders built is in its file, whole and numbered from
    // 0; returns the three files read back.
    std::array<read_file, 3> expect_whole_recording(const std::filesystem::path &folder) {
        KestDataHandler::RecordingReport report = handler()->lastRecordingReport();
        std::string stamp = folder.filename().string();
        std::array<read_file, 3> files = {read_poses((folder / "KestPose.bin").string()),
                                          read_clouds((folder / ("MT" + stamp + ".kvx")).string()),
                                          read_images((folder / "KestImage.bin").string())};
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
            EXPECT_THAT(std::vector<uint8_t>(image.bytes.begin() + 16, image.bytes.begin() + 18),
                        testing::ElementsAre(0xFF, 0xD8))
                << "an image record holds a JPEG file";
        return files;
    }
    std::filesystem::path recording_folder() const {
        return handler()->recordingFolder().toStdString();
    }

    temp_dir root;
};

} // namespace kest_test
