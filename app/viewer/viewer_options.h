// The viewer's command line: the virtual KestOne (same names and meanings as
// kestctl's), a recording from the start, and a screenshot-and-quit for
// documentation and smoke tests.
#pragma once

#include "app/kest_data_handler.h"
#include "sim/kestone.h"

#include <QString>
#include <QStringList>

#include <optional>

struct ViewerOptions {
    bool virtualDevice = false;
    kest_sim::stream_settings streams; // the preset with every --virtual-set applied
    bool record = false;               // start a recording once the device streams
    QString recordDir;                 // the recording root; empty: recordData beside the program
    QString screenshot;                // a PNG of the whole window, taken before quitting
    QString viewScreenshot;            // a PNG of the point cloud view alone, likewise
    std::optional<ScanMode> scanMode;  // the scan mode to start in; none: the panel's SLAM
    int quitAfterSeconds = -1;         // -1: run until closed
    bool printStats = false;           // the status bar's figures on standard output, each second
    // How the view starts, beside the stored settings and never stored itself.
    std::optional<int> displayMode; // GLPointCloudRenderer::DisplayMode
    std::optional<int> colormap;    // colour_scale::Colormap
    std::optional<int> viewPreset;  // GLPointCloudRenderer::ViewPreset, or fitAll
    static constexpr int fitAll = -1;
    // The instant-replay buffer's limits: seconds (0: off) and megabytes.
    double replaySeconds = ReplayBuffer::defaultSeconds;
    uint64_t replayBudgetMB = ReplayBuffer::defaultBudgetBytes >> 20;
};

// What the command line asks for: options to run with, or an exit with a text
// for standard output (--help, --version: status 0) or standard error (bad
// usage: status 64).
struct ViewerCommandLine {
    std::optional<ViewerOptions> options;
    int exitStatus = 0;
    QString text;
};

// arguments[0] is the program.
ViewerCommandLine parseViewerCommandLine(const QStringList &arguments);
