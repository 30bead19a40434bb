// The live figures at the right of the main window's status bar, refreshed once
// a second: where the device stands (with a hint when a KestOne is on the bus
// but cannot be opened), the view's frames per second, the points shown, the
// data rate, what the device layer dropped, and, while recording, the folder,
// the elapsed time, the bytes written and a warning when the disk runs low,
// and where it went when the folder the user named could not be written.
// The messages of the status bar itself still show at its left. GUI thread only.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <cstdint>

class GLPointCloudRenderer;
class KestDataHandler;
class QLabel;
class QStatusBar;
class QTimer;
struct lidar_statistics_t;

class ViewerStatusBar : public QObject {
    Q_OBJECT

public:
    // Free space below which a recording is warned about.
    static constexpr int64_t defaultLowDiskBytes = int64_t{1} << 30;

    // Adds its labels to bar as permanent widgets; renderer may be null (no
    // view figures then).
    ViewerStatusBar(QStatusBar *bar, KestDataHandler *handler, GLPointCloudRenderer *renderer,
                    QObject *parent = nullptr);

    void setLowDiskBytes(int64_t bytes) { lowDiskBytes = bytes; }

    QLabel *deviceLabel() const { return device; }
    QLabel *viewLabel() const { return view; }
    QLabel *dataLabel() const { return data; }
    QLabel *recordingLabel() const { return recorder; }
    // Shown while a recording goes elsewhere than the folder the user named.
    QLabel *recordingElsewhereLabel() const { return elsewhere; }
    // The figures on one line, as shown ("Streaming | 21.0 FPS · 5,000 pts | ...").
    QString summary() const;

signals:
    // After each refresh.
    void refreshed();

public slots:
    // Takes the figures anew; the timer calls it once a second.
    void refresh();
    // The device's state alone, at once: the handler reports a change.
    void refreshDeviceState();
    void onRecordingChanged(bool recording, const QString &message);
    // Shows "Finishing recording…" at once: the stop that follows blocks.
    void onRecordingFinishing();

private:
    void refreshDevice(const lidar_statistics_t &stats);
    void refreshView(double seconds);
    void refreshData(const lidar_statistics_t &stats, double seconds);
    void refreshRecording();
    // Warns once each time free space falls below the limit; false when low.
    bool checkDisk();

    KestDataHandler *handler;
    GLPointCloudRenderer *renderer;
    QLabel *device;
    QLabel *view;
    QLabel *data;
    QLabel *recorder;
    QLabel *elsewhere;
    QTimer *timer;

    QElapsedTimer sinceRefresh;
    uint64_t framesSwapped = 0;
    uint64_t bytesBefore = 0;

    bool recording = false;
    QString recordFolder;
    QElapsedTimer recordClock;
    int64_t lowDiskBytes = defaultLowDiskBytes;
    int64_t freeBytes = -1; // on the recording's disk at the last check; -1 unknown
    bool diskWarned = false;
};
