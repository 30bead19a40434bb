// The viewer's playback of recordings: File > "Open Recording…" makes the
// virtual KestOne play a recording back (as --virtual-device=play:REC does),
// "Pause Playback" stops and resumes its clock, and the status bar shows how
// far it has come. On a device on USB, opening a recording starts the viewer
// again on the virtual KestOne: the device layer reaches one bus for the
// life of the program.
#pragma once

#include <QObject>
#include <QString>

class MainWindow;
class QAction;
class QLabel;
class QProgressBar;
class QTimer;
class VirtualKestOne;

class PlaybackControl : public QObject {
    Q_OBJECT

public:
    // virtualDevice: null when the viewer runs on USB; it must outlive this.
    PlaybackControl(MainWindow *window, VirtualKestOne *virtualDevice);

    QAction *openAction() const { return openRecording; }
    QAction *pauseAction() const { return pausePlayback; }
    QLabel *statusLabel() const { return label; }
    QString lastError() const { return error; }

public slots:
    // Plays the recording in folder; false, with the reason in lastError and
    // failed, if it cannot. Asks and shows nothing: for the menu and for tests.
    bool play(const QString &folder);
    void setPaused(bool paused);

signals:
    void failed(const QString &message);

private:
    void chooseRecording();
    void restartOnVirtualDevice(const QString &folder);
    void refresh();

    MainWindow *window;
    VirtualKestOne *device;
    QAction *openRecording = nullptr;
    QAction *pausePlayback = nullptr;
    QLabel *label = nullptr;
    QProgressBar *progress = nullptr;
    QTimer *poll = nullptr;
    QString error;
};

// "00:12 / 00:45" for a position and a length in seconds.
QString playbackTime(double positionSeconds, double lengthSeconds);
