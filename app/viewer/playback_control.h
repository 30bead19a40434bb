// The viewer's playback of recordings: File > "Open Recording…" makes the
// virtual KestOne play a recording back (as --virtual-device=play:REC does)
// and "Back to Live Device" ends it; the Playback menu pauses, steps a cloud
// at a time, changes the rate, loops, jumps between the marks of what went
// wrong, and sets a selection that "Save Selection…" writes as a recording of
// its own. The playback bar in the status bar shows how far it has come and
// seeks where it is clicked. On a device on USB, opening a recording starts
// the viewer again on the virtual KestOne: the device layer reaches one bus
// for the life of the program.
#pragma once

#include "recording/recording_timeline.h"
#include "sim/kestone.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class MainWindow;
class PlaybackTimeline;
class QAction;
class QActionGroup;
class QLabel;
class QMenu;
class QTimer;
class VirtualKestOne;

class PlaybackControl : public QObject {
    Q_OBJECT

public:
    static constexpr double rates[] = {0.25, 0.5, 1, 2, 4, 8};

    // virtualDevice: null when the viewer runs on USB; it must outlive this.
    PlaybackControl(MainWindow *window, VirtualKestOne *virtualDevice);

    QAction *openAction() const { return openRecording; }
    QAction *pauseAction() const { return pausePlayback; }
    QLabel *statusLabel() const { return label; }
    PlaybackTimeline *timeline() const { return bar; }
    QString lastError() const { return error; }
    bool playing() const { return recording != nullptr; }
    double rate() const { return speed; }
    std::optional<double> selectionIn() const { return in; }
    std::optional<double> selectionOut() const { return out; }
    // Where Open Recording starts: beside the last recording opened, else
    // in the recordings folder.
    QString dialogStart() const;

public slots:
    // Plays the recording in folder; false, with the reason in lastError and
    // failed, if it cannot. Asks and shows nothing: for the menu and for tests.
    bool play(const QString &folder);
    void setPaused(bool paused);
    // Plays on from seconds into the recording; in accumulate mode a jump back
    // clears the view first, so that the map is not drawn twice.
    void seek(double seconds);
    // One cloud forward (clouds > 0) or back.
    void step(int clouds);
    void setRate(double rate);
    void setLoop(bool loop);
    // To the next mark after the position (direction > 0) or the one before it.
    void jumpToMark(int direction);
    void setSelection(std::optional<double> from, std::optional<double> to);
    // Writes the selection (the whole recording where an end is not set) as a
    // new recording in folder; false with the reason in lastError.
    bool saveSelection(const QString &folder);
    // Ends the playback: the virtual KestOne the viewer started with comes back.
    void backToLive();

signals:
    void failed(const QString &message);

private:
    void buildFileActions();
    void buildPlaybackMenu();
    QMenu *buildRateMenu(QMenu *playback);
    void chooseRecording();
    void chooseSelectionFolder();
    void restartViewer(const QStringList &arguments, bool liveOnUsb);
    void refresh();
    void showFaults(const QString &folder);
    void clearViewWhenPlaying();
    double position() const;

    MainWindow *window;
    VirtualKestOne *device;
    kest_sim::stream_settings liveStreams;              // what Back to Live Device plugs in
    std::shared_ptr<const RecordingTimeline> recording; // null while live
    QString folder;
    double speed = 1;
    std::optional<double> in, out;
    QAction *openRecording = nullptr;
    QAction *liveAgain = nullptr;
    QAction *saveSelectionAction = nullptr;
    QAction *pausePlayback = nullptr;
    QAction *loopPlayback = nullptr;
    QActionGroup *rateGroup = nullptr;
    QList<QAction *> playingOnly; // enabled while a recording plays
    QLabel *label = nullptr;
    PlaybackTimeline *bar = nullptr;
    QTimer *poll = nullptr;
    QString error;
};

// "00:12 / 00:45" for a position and a length in seconds.
QString playbackTime(double positionSeconds, double lengthSeconds);
