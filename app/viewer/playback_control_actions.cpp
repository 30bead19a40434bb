// The playback control's menu entries: its part of File, and the Playback menu
// with its keys (live while a recording plays; the 3D view's own O key is on
// View > Orthographic then).
#include "app/mainwindow.h"
#include "app/viewer/playback_control.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QMenuBar>

namespace {

QAction *addAction(QMenu *menu, const QString &text, const char *name,
                   const QList<QKeySequence> &keys = {}) {
    QAction *action = menu->addAction(text);
    action->setObjectName(QLatin1String(name));
    action->setShortcuts(keys);
    return action;
}

} // namespace

void PlaybackControl::buildFileActions() {
    QMenu *file = window->fileMenu();
    QAction *first = file->actions().value(0);
    openRecording = new QAction(tr("Open Recording…"), file);
    openRecording->setObjectName(QStringLiteral("openRecordingAction"));
    openRecording->setShortcut(QKeySequence::Open);
    connect(openRecording, &QAction::triggered, this, &PlaybackControl::chooseRecording);
    liveAgain = new QAction(tr("Back to Live Device"), file);
    liveAgain->setObjectName(QStringLiteral("backToLiveAction"));
    connect(liveAgain, &QAction::triggered, this, &PlaybackControl::backToLive);
    saveSelectionAction = new QAction(tr("Save Selection…"), file);
    saveSelectionAction->setObjectName(QStringLiteral("saveSelectionAction"));
    connect(saveSelectionAction, &QAction::triggered, this,
            &PlaybackControl::chooseSelectionFolder);
    file->insertActions(first, {openRecording, liveAgain, saveSelectionAction});
    file->insertSeparator(first);
    playingOnly << liveAgain << saveSelectionAction;
}

void PlaybackControl::buildPlaybackMenu() {
    auto *playback = new QMenu(tr("&Playback"), window);
    playback->setObjectName(QStringLiteral("playbackMenu"));
    QAction *view = window->menuBar()->actions().value(1);
    window->menuBar()->insertMenu(view, playback);
    pausePlayback = addAction(playback, tr("Pause Playback"), "pauseAction",
                              {QKeySequence(Qt::CTRL | Qt::Key_P)});
    pausePlayback->setCheckable(true);
    connect(pausePlayback, &QAction::toggled, this, &PlaybackControl::setPaused);
    playback->addSeparator();
    QAction *forward = addAction(playback, tr("Step Forward"), "stepForwardAction",
                                 {QKeySequence(Qt::Key_Right), QKeySequence(Qt::Key_Period)});
    connect(forward, &QAction::triggered, this, [this] { step(1); });
    QAction *back = addAction(playback, tr("Step Back"), "stepBackAction",
                              {QKeySequence(Qt::Key_Left), QKeySequence(Qt::Key_Comma)});
    connect(back, &QAction::triggered, this, [this] { step(-1); });
    playback->addSeparator();
    QMenu *rateMenu = buildRateMenu(playback);
    loopPlayback = addAction(playback, tr("Loop"), "loopAction", {QKeySequence(Qt::Key_L)});
    loopPlayback->setCheckable(true);
    connect(loopPlayback, &QAction::toggled, this, &PlaybackControl::setLoop);
    playback->addSeparator();
    QAction *next =
        addAction(playback, tr("Next Mark"), "nextMarkAction", {QKeySequence(Qt::Key_N)});
    connect(next, &QAction::triggered, this, [this] { jumpToMark(1); });
    QAction *previous = addAction(playback, tr("Previous Mark"), "previousMarkAction",
                                  {QKeySequence(Qt::SHIFT | Qt::Key_N)});
    connect(previous, &QAction::triggered, this, [this] { jumpToMark(-1); });
    QAction *setIn =
        addAction(playback, tr("Set In Point"), "setInAction", {QKeySequence(Qt::Key_I)});
    connect(setIn, &QAction::triggered, this, [this] { setSelection(position(), out); });
    QAction *setOut =
        addAction(playback, tr("Set Out Point"), "setOutAction", {QKeySequence(Qt::Key_O)});
    connect(setOut, &QAction::triggered, this, [this] { setSelection(in, position()); });
    QAction *clear = addAction(playback, tr("Clear Selection"), "clearSelectionAction");
    connect(clear, &QAction::triggered, this, [this] { setSelection(std::nullopt, std::nullopt); });
    playingOnly << pausePlayback << forward << back << rateMenu->menuAction() << loopPlayback
                << next << previous << setIn << setOut << clear;
}

// The rates, and [ and ] for the next slower or faster one.
QMenu *PlaybackControl::buildRateMenu(QMenu *playback) {
    QMenu *rateMenu = playback->addMenu(tr("Rate"));
    rateGroup = new QActionGroup(rateMenu);
    for (double each : rates) {
        QAction *action = rateMenu->addAction(QStringLiteral("%1×").arg(each));
        action->setCheckable(true);
        action->setChecked(each == 1);
        action->setData(each);
        rateGroup->addAction(action);
        connect(action, &QAction::triggered, this, [this, each] { setRate(each); });
    }
    const auto neighbour = [this](int direction) {
        const auto at = std::find(std::begin(rates), std::end(rates), speed);
        const std::ptrdiff_t index = std::clamp<std::ptrdiff_t>(
            (at - std::begin(rates)) + direction, 0, std::ptrdiff_t(std::size(rates)) - 1);
        setRate(rates[index]);
    };
    QAction *slower =
        addAction(playback, tr("Slower"), "slowerAction", {QKeySequence(Qt::Key_BracketLeft)});
    connect(slower, &QAction::triggered, this, [neighbour] { neighbour(-1); });
    QAction *faster =
        addAction(playback, tr("Faster"), "fasterAction", {QKeySequence(Qt::Key_BracketRight)});
    connect(faster, &QAction::triggered, this, [neighbour] { neighbour(1); });
    playingOnly << slower << faster;
    return rateMenu;
}
