// What the viewer remembers between runs (QSettings, per user): the window's
// geometry and dock layout, and the view controls of the central widget. Scan
// mode and recording are never stored: every run starts in SLAM, not recording.
#pragma once

class PointCloudWidget;
class QMainWindow;

// At start-up, before clouds arrive; a missing or damaged store changes nothing.
void restoreViewerSettings(QMainWindow &window, PointCloudWidget &view);
// At quit, while the window still exists.
void saveViewerSettings(const QMainWindow &window, const PointCloudWidget &view);
// The view controls back to their defaults and the window to its first-run size.
void resetViewerSettings(QMainWindow &window, PointCloudWidget &view);
