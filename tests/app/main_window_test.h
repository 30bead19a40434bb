// The main window under test: a window in a scratch working folder (its "logs"
// go there) with no settings stored and no device; the device layer is taken
// down again afterwards.
#pragma once

#include "app/kest_data_handler.h"
#include "app/log_queue.h"
#include "app/mainwindow.h"
#include "sdk/logger/logger.h"
#include "sim/usb_bus.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <QFont>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QTextBlock>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace kest_test {

// Generous: a loaded machine under Xvfb.
const int patienceMs = 30000 * kest_test::time_scale();

struct Block {
    QString text;
    QString colour;
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

// The push button under parent showing text; null if none does.
inline QPushButton *buttonWithText(QWidget *parent, const QString &text) {
    for (QPushButton *button : parent->findChildren<QPushButton *>())
        if (button->text() == text)
            return button;
    return nullptr;
}

class MainWindowTest : public testing::Test {
protected:
    void SetUp() override {
        kest_sim::bus_reset();
        LogQueue::instance().drain();
        QSettings().clear();
    }
    void TearDown() override {
        window.reset();
        KestDataHandler::instance()->shutdown();
        kest_sim::bus_reset();
        log_config(KEST_LOG_VALUE_WARN, MainWindow::logSink);
        QSettings().clear();
    }
    void open() {
        window = std::make_unique<MainWindow>();
        window->pollLogQueue();
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
