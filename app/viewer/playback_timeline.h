// The playback bar's timeline: the recording's length as a groove, how far the
// playback has come, the marks of what went wrong in the recording (hovering
// one says what it is) and the selection between an in and an out point.
// Clicking or dragging asks for a seek (once, on release, so that a drag does
// not make the device jump at every pixel). GUI thread only.
#pragma once

#include <QString>
#include <QWidget>

#include <optional>
#include <vector>

class PlaybackTimeline : public QWidget {
    Q_OBJECT

public:
    struct Mark {
        double seconds = 0;
        bool restart = false; // the device clock restarted here (a fault otherwise)
        QString text;
    };

    explicit PlaybackTimeline(QWidget *parent = nullptr);

    void setLength(double seconds, std::vector<Mark> marks);
    void setPosition(double seconds);
    // The selection's ends; either may be missing.
    void setSelection(std::optional<double> in, std::optional<double> out);

    double length() const { return lengthSeconds; }
    double position() const { return positionSeconds; }
    const std::vector<Mark> &marks() const { return markList; }
    // What hovering at x (in the widget) shows: the marks within a few pixels, or empty.
    QString markTextAt(int x) const;
    // The time at x, and the x of a time.
    double secondsAt(int x) const;
    int xOf(double seconds) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void seekRequested(double seconds);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    bool event(QEvent *event) override;

private:
    QRect groove() const;

    double lengthSeconds = 0;
    double positionSeconds = 0;
    std::optional<double> dragSeconds; // while the mouse button is down
    std::optional<double> selectionIn, selectionOut;
    std::vector<Mark> markList;
};
