// What the "Log Output" panel shows: every line, or only those at or above the
// level the user picks (Errors, Warnings, Info, Everything). The choice changes
// the panel alone; the log file and standard output keep every line the logger
// lets through. It is remembered between runs. GUI thread only.
#pragma once

#include <QObject>
#include <QString>

#include <deque>

class QComboBox;
class QPlainTextEdit;

class LogPanelFilter : public QObject {
    Q_OBJECT

public:
    // The least choice that shows a line, most severe first.
    enum Level { Errors, Warnings, Info, Everything };

    // How a log line is shown: its colour and its level, both from the first of
    // "<ERROR>" or "<BUG>", "<WARN>", "<INFO>", "<DEBUG>" found anywhere in it.
    // A line with none is grey and shows from Info on.
    struct Style {
        const char *colour;
        Level level;
    };
    static Style styleOf(const QString &line);

    // Takes over panel's contents; the choice starts as it was last left.
    LogPanelFilter(QPlainTextEdit *panel, QComboBox *choice, QObject *parent = nullptr);

    // Shows html when the choice shows lines of level; kept either way, so that
    // a wider choice later shows it too.
    void append(const QString &html, Level level);
    Level shown() const { return current; }
    void setShown(Level level);

private:
    struct Kept {
        QString html;
        Level level;
    };
    QPlainTextEdit *panel;
    QComboBox *choice;
    std::deque<Kept> kept; // the newest lines, as many as the panel can hold
    Level current = Everything;
};
