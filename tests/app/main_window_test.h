// The main window under test, in a scratch working folder (its "logs" go there) with no settings
// stored and no device; the device layer is taken down again afterwards.
#pragma once

#include "app/kest_data_handler.h"
#include "app/log_queue.h"
#include "app/mainwindow.h"
#include "sdk/logger/logger.h"
#include "sim/usb_bus.h"
#include "tests/support/recording_files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <QFont>
#include <QPlainTextEdit>
#include <QSettings>
#include <QTextBlock>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <vector>

namespace kest_test {

const int patienceMs = 30000 * kest_test::time_scale();

struct Block {
    QString text, colour;
    bool bold;
};

inline std::vector<Block> blocksOf(QPlainTextEdit *panel) {
    std::vector<Block> out;
    for (QTextBlock block = panel->document()->begin(); block.isValid(); block = block.next()) {
        QTextCharFormat format = block.begin().fragment().charFormat();
        out.push_back(
            {block.text(), format.foreground().color().name(), format.fontWeight() >= QFont::Bold});
    }
    return out;
}

// A recording's folder checked whole: its five files, records numbered from 0, none cut off and at
// least minimum of each kind.
inline void expectWholeRecording(const std::filesystem::path &folder, size_t minimum = 1) {
    for (const char *name : {"image/info.txt", "image/cam_in_ex.txt"})
        EXPECT_TRUE(std::filesystem::exists(folder / name)) << name;
    const std::string stamp = folder.filename().string();
    for (const read_file &file : {read_poses((folder / "KestPose.bin").string()),
                                  read_clouds((folder / ("MT" + stamp + ".kvx")).string()),
                                  read_images((folder / "KestImage.bin").string())}) {
        EXPECT_EQ(file.fault, "");
        EXPECT_EQ(numbering_fault(file), "");
        EXPECT_GE(file.records.size(), minimum);
    }
}

class MainWindowTest : public testing::Test {
protected:
    void SetUp() override {
        kest_sim::bus_reset();
        LogQueue::instance().drain();
        QSettings().clear();
    }
    void TearDown() override {
        close();
        KestDataHandler::instance()->onScanModeChanged(ScanMode::SLAM); // outlives the window
        kest_sim::bus_reset();
        log_config(KEST_LOG_VALUE_WARN, MainWindow::logSink);
        QSettings().clear();
    }
    void open() {
        window = std::make_unique<MainWindow>();
        window->pollLogQueue();
    }
    void close() {
        window.reset();
        KestDataHandler::instance()->shutdown();
    }
    const Block &lastBlock() {
        blocks = blocksOf(window->logView());
        return blocks.back();
    }

    temp_dir dir{true};
    std::unique_ptr<MainWindow> window;
    std::vector<Block> blocks;
};

} // namespace kest_test
