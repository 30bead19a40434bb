// What the recorder tells the windows: a recording started, failed to start,
// is finishing or stopped. Kept apart from the data handler so that the
// handler's own meta-object holds just its status signal and its two slots, in
// the order its peers know them by.
#pragma once

#include <QObject>
#include <QString>

class RecordingNotifier : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

signals:
    // Whether a recording is in progress, after every start or stop and after
    // a start that failed, with a line for the user (the folder, or why not).
    void recordingChanged(bool recording, QString message);
    // A recording is about to stop: what was handed to the recorder is being
    // written out, which may take a moment. Emitted on the GUI thread before the
    // stop blocks, so a direct connection can still repaint.
    void recordingFinishing();
};
