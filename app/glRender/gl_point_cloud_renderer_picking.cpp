// Reading the scene in GLPointCloudRenderer: the point under the cursor (its
// coordinates, its range from the device and, where the display mode shows
// them, intensity or label) and measurements between two picked points, drawn
// with their lengths until cleared.
#include "app/glRender/gl_point_cloud_renderer.h"
#include "app/glRender/point_picking.h"

#include <QMouseEvent>
#include <QPainter>
#include <QTimer>

#include <cmath>

namespace {

constexpr float pickRadiusPixels = 5.0f;
constexpr int hoverDelayMs = 40; // one pick per burst of mouse moves
constexpr int clickSlopPixels = 3;

QString metres(float value) {
    return QStringLiteral("%1").arg(static_cast<double>(value), 0, 'f', 3);
}

} // namespace

std::optional<CloudPoint> GLPointCloudRenderer::pointAt(QPointF cursor) const {
    const auto ray = pickRay(projection * view, size(), cursor, pickRadiusPixels);
    if (!ray)
        return std::nullopt;
    const GLFrameStore &store = renderMode == SingleFrame ? latest : accumulated;
    std::vector<PickableFrame> frames;
    for (const auto &frame : store.storedFrames())
        frames.push_back({&frame->points, &frame->pickIndex});
    return pickPoint(*ray, frames);
}

QString GLPointCloudRenderer::describe(const CloudPoint &point) const {
    const QVector3D at(point.x, point.y, point.z);
    QString text = tr("x %1 · y %2 · z %3 m · range %4 m")
                       .arg(metres(point.x), metres(point.y), metres(point.z),
                            metres((at - poseMatrix.column(3).toVector3D()).length()));
    if (displayMode == Intensity)
        text += tr(" · intensity %1").arg(point.intensity);
    else if (displayMode == Label)
        text += tr(" · label %1").arg(point.label);
    return text;
}

void GLPointCloudRenderer::hoverAt(QPointF cursor) {
    hoverCursor = cursor;
    if (hoverTimer == nullptr) {
        hoverTimer = new QTimer(this);
        hoverTimer->setSingleShot(true);
        connect(hoverTimer, &QTimer::timeout, this, [this] {
            const auto point = pointAt(hoverCursor);
            emit pointHovered(point ? describe(*point) : QString());
        });
    }
    if (!hoverTimer->isActive())
        hoverTimer->start(hoverDelayMs);
}

void GLPointCloudRenderer::setMeasuring(bool on) {
    measuring = on;
    measureStart.reset();
    emit viewOptionsChanged();
    update();
}

void GLPointCloudRenderer::clearMeasurements() {
    measured.clear();
    measureStart.reset();
    update();
}

// A click (not a drag) while measuring picks one end; the second end completes it.
void GLPointCloudRenderer::measureClick(QPointF cursor) {
    if ((cursor - pressedAt).manhattanLength() > clickSlopPixels)
        return;
    const auto point = pointAt(cursor);
    if (!point)
        return;
    const QVector3D at(point->x, point->y, point->z);
    if (!measureStart) {
        measureStart = at;
    } else {
        measured.push_back({*measureStart, at});
        measureStart.reset();
        emit measurementMade(describeMeasurement(measured.back()));
    }
    update();
}

QString GLPointCloudRenderer::describeMeasurement(const Measurement &m) {
    const QVector3D d = m.second - m.first;
    return tr("%1 m (Δx %2, Δy %3, Δz %4, horizontal %5 m)")
        .arg(metres(d.length()), metres(d.x()), metres(d.y()), metres(d.z()),
             metres(QVector2D(d.x(), d.y()).length()));
}

// The lines on top of the points, so that a measurement inside a cloud shows.
void GLPointCloudRenderer::drawMeasurements() {
    std::vector<float> lines;
    const auto add = [&lines](QVector3D a, QVector3D b) {
        for (const QVector3D &end : {a, b})
            lines.insert(lines.end(), {end.x(), end.y(), end.z(), 1.0f, 0.85f, 0.1f});
    };
    for (const Measurement &m : measured)
        add(m.first, m.second);
    if (measureStart) // a small cross at the first end
        for (const QVector3D &arm :
             {QVector3D(0.05f, 0, 0), QVector3D(0, 0.05f, 0), QVector3D(0, 0, 0.05f)})
            add(*measureStart - arm, *measureStart + arm);
    glDisable(GL_DEPTH_TEST);
    drawLines(lines);
    glEnable(GL_DEPTH_TEST);
}

void GLPointCloudRenderer::drawMeasurementLabels(QPainter &painter) {
    const QMatrix4x4 toClip = projection * view;
    for (const Measurement &m : measured) {
        const QVector4D clip = toClip * QVector4D((m.first + m.second) / 2.0f, 1.0f);
        if (clip.w() <= 0)
            continue; // behind the camera
        const QPointF at((clip.x() / clip.w() + 1) / 2 * width(),
                         (1 - clip.y() / clip.w()) / 2 * height());
        const QString text = metres((m.second - m.first).length()) + QStringLiteral(" m");
        QRectF box = painter.fontMetrics().boundingRect(text);
        box.adjust(-3, -1, 3, 1);
        box.moveCenter(at);
        painter.fillRect(box, QColor(0, 0, 0, 160));
        painter.setPen(QColor(255, 217, 26));
        painter.drawText(box, Qt::AlignCenter, text);
    }
}
