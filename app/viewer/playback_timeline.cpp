#include "app/viewer/playback_timeline.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include <algorithm>
#include <cmath>

namespace {

constexpr int margin = 6;      // room for the handle at both ends
constexpr int hoverPixels = 4; // how near a mark the mouse must rest
const QColor faultColour(220, 50, 40);
const QColor restartColour(240, 170, 0);

} // namespace

PlaybackTimeline::PlaybackTimeline(QWidget *parent) : QWidget(parent) {
    setMouseTracking(true);
    setCursor(Qt::PointingHandCursor);
    setToolTip(tr("Click or drag to jump; I and O set the selection"));
}

QSize PlaybackTimeline::sizeHint() const {
    return {320, 18};
}

QSize PlaybackTimeline::minimumSizeHint() const {
    return {120, 18};
}

void PlaybackTimeline::setLength(double seconds, std::vector<Mark> marks) {
    lengthSeconds = std::isfinite(seconds) ? std::max(0.0, seconds) : 0;
    markList = std::move(marks);
    update();
}

void PlaybackTimeline::setPosition(double seconds) {
    positionSeconds = std::clamp(seconds, 0.0, lengthSeconds);
    update();
}

void PlaybackTimeline::setSelection(std::optional<double> in, std::optional<double> out) {
    selectionIn = in;
    selectionOut = out;
    update();
}

QRect PlaybackTimeline::groove() const {
    return QRect(margin, height() / 2 - 3, std::max(1, width() - 2 * margin), 6);
}

double PlaybackTimeline::secondsAt(int x) const {
    const QRect g = groove();
    return std::clamp(double(x - g.left()) / g.width(), 0.0, 1.0) * lengthSeconds;
}

int PlaybackTimeline::xOf(double seconds) const {
    const QRect g = groove();
    const double share = lengthSeconds > 0 ? std::clamp(seconds / lengthSeconds, 0.0, 1.0) : 0;
    return g.left() + int(std::lround(share * g.width()));
}

QString PlaybackTimeline::markTextAt(int x) const {
    QStringList texts;
    for (const Mark &mark : markList)
        if (std::abs(xOf(mark.seconds) - x) <= hoverPixels)
            texts << mark.text;
    texts.removeDuplicates();
    return texts.join(QLatin1Char('\n'));
}

void PlaybackTimeline::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    const QRect g = groove();
    painter.fillRect(g, palette().color(QPalette::Mid));
    const double shown = dragSeconds.value_or(positionSeconds);
    painter.fillRect(QRect(g.left(), g.top(), xOf(shown) - g.left(), g.height()),
                     palette().color(QPalette::Highlight));
    if (selectionIn || selectionOut) {
        const int from = xOf(selectionIn.value_or(0));
        const int to = xOf(selectionOut.value_or(lengthSeconds));
        QColor span = palette().color(QPalette::Link);
        span.setAlpha(110);
        painter.fillRect(QRect(std::min(from, to), 1, std::abs(to - from) + 1, height() - 2), span);
    }
    for (const Mark &mark : markList) {
        painter.setPen(QPen(mark.restart ? restartColour : faultColour, 2));
        const int x = xOf(mark.seconds);
        painter.drawLine(x, 1, x, height() - 2);
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(palette().color(QPalette::ButtonText));
    painter.drawEllipse(QPoint(xOf(shown), height() / 2), 5, 5);
}

void PlaybackTimeline::mousePressEvent(QMouseEvent *event) {
    if (event->button() != Qt::LeftButton || lengthSeconds <= 0)
        return QWidget::mousePressEvent(event);
    dragSeconds = secondsAt(int(event->position().x()));
    update();
}

void PlaybackTimeline::mouseMoveEvent(QMouseEvent *event) {
    if (!dragSeconds)
        return QWidget::mouseMoveEvent(event);
    dragSeconds = secondsAt(int(event->position().x()));
    update();
}

void PlaybackTimeline::mouseReleaseEvent(QMouseEvent *event) {
    if (!dragSeconds || event->button() != Qt::LeftButton)
        return QWidget::mouseReleaseEvent(event);
    const double target = secondsAt(int(event->position().x()));
    dragSeconds.reset();
    positionSeconds = target;
    update();
    emit seekRequested(target);
}

bool PlaybackTimeline::event(QEvent *event) {
    if (event->type() != QEvent::ToolTip)
        return QWidget::event(event);
    const auto *help = static_cast<QHelpEvent *>(event);
    const QString marks = markTextAt(help->pos().x());
    const double at = secondsAt(help->pos().x());
    const QString when = QStringLiteral("%1 s").arg(at, 0, 'f', 1);
    QToolTip::showText(help->globalPos(), marks.isEmpty() ? when : when + QLatin1Char('\n') + marks,
                       this);
    return true;
}
