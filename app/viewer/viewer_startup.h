// What the viewer's entry point sets up around the main window: the virtual
// KestOne, quitting on SIGINT and SIGTERM, a recording from the start and a
// screenshot before quitting.
#pragma once

#include "sim/plugged_kestone.h"

#include <QString>

#include <functional>
#include <memory>

class GLPointCloudRenderer;
class MainWindow;
class QCoreApplication;

// The virtual KestOne on the virtual USB bus, selected as the USB backend:
// plugged in for as long as this object lives, with the faults its settings
// ask for. Create it before the device layer starts.
class VirtualKestOne {
public:
    explicit VirtualKestOne(const kest_sim::stream_settings &streams)
        : started(streams), plugged(streams) {}

    // Unplugs the device and plugs in one with these streams, as a person
    // swapping devices would: the host sees it leave and a new one attach.
    void replug(const kest_sim::stream_settings &streams) { plugged.swap(streams); }
    kest_sim::kestone &kestOne() const { return *plugged.device(); }
    // The streams it was first plugged in with.
    const kest_sim::stream_settings &startStreams() const { return started; }
    // Before the device layer goes down (see plugged_kestone::stop_faults).
    void stopFaults() { plugged.stop_faults(); }

private:
    const kest_sim::stream_settings started;
    kest_sim::plugged_kestone plugged;
};

// SIGINT and SIGTERM (Ctrl-C and closing the console on Windows) make the
// application quit through its event loop within a tenth of a second (the
// handler only sets a flag), so the normal quit path runs: a recording is
// stopped and its files closed.
void quitOnSignals(QCoreApplication &application);

// Calls clickRecord (on the GUI thread) the first time the device reports
// streaming. Call it before the device layer starts: a device already plugged
// in reports at once.
void recordWhenStreaming(QCoreApplication &application, std::function<void()> clickRecord);

// Where to save PNGs before quitting; an empty path: none of that kind.
struct Screenshots {
    QString window; // the whole window
    QString view;   // the point cloud view alone, as drawn
};

// Saves the screenshots asked for and quits after seconds; a screenshot that
// cannot be saved is reported on standard error and makes the exit status 1.
// beforeShots, if given, runs just before they are taken.
void screenshotAndQuit(MainWindow &window, const Screenshots &shots, int seconds,
                       std::function<void()> beforeShots = {});

// Frames view by preset (GLPointCloudRenderer::ViewPreset, or
// ViewerOptions::fitAll) as soon as it shows points.
void frameWhenShown(GLPointCloudRenderer &view, int preset);
void frame(GLPointCloudRenderer &view, int preset);
