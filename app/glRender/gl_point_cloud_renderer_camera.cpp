// The viewing side of GLPointCloudRenderer: an orbit camera around a target in
// a Z-up world, mouse, wheel and key handling, the device pose axes and the
// corner orientation gizmo.
#include "app/glRender/gl_point_cloud_renderer.h"
#include "app/glRender/gl_vertex_layout.h"
#include "sdk/logger/console.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QOpenGLBuffer>
#include <QOpenGLShaderProgram>
#include <QOpenGLVertexArrayObject>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr float degreesPerPixel = 0.5f;
constexpr float maxPitch = 89.0f;
constexpr float panPerPixel = 0.002f; // times the distance
constexpr float zoomPerNotch = 0.1f;
constexpr float minDistance = 0.1f, maxDistance = 1000.0f;
constexpr float fieldOfView = 45.0f, nearPlane = 0.1f, farPlane = 1000.0f;
constexpr int gizmoSize = 100, gizmoMargin = 10;
constexpr float axisLineWidth = 3.0f;
constexpr int axisVertices = 6;

// Position and colour of the three unit axes, drawn as lines.
constexpr float axisGeometry[axisVertices * 6] = {
    0, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, // x, red
    0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, // y, green
    0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 1, // z, blue
};

// Divides by the length only when that changes something and is safe.
QVector3D normalised(const QVector3D &v) {
    float length = v.length();
    if (std::fabs(length - 1.0f) > 0.00001f && length > 0.00001f)
        return v / length;
    return v;
}

} // namespace

void GLPointCloudRenderer::resetCamera() {
    target = QVector3D(0, 0, 0);
    upBase = QVector3D(0, 0, 1);
    forwardBase = QVector3D(1, 0, 0);
    rightBase = normalised(QVector3D::crossProduct(forwardBase, upBase));
    rotation.setToIdentity();
    distance = 10.0f;
    poseOffset.setToIdentity();
    lastMousePos = QPoint(0, 0);
    leftPressed = rightPressed = false;
    poseMatrix.setToIdentity(); // the next pose update puts the axes back
    followMode = false;
    updateViewMatrix();
}

void GLPointCloudRenderer::updateViewMatrix() {
    QVector3D forward = rotation.map(forwardBase);
    eye = target - distance * forward;
    view.setToIdentity();
    view.lookAt(eye, target, rotation.map(upBase));
}

void GLPointCloudRenderer::resizeGL(int w, int h) {
    if (glReady)
        glViewport(0, 0, w, h);
    projection.setToIdentity();
    projection.perspective(fieldOfView, static_cast<float>(w) / static_cast<float>(h == 0 ? 1 : h),
                           nearPlane, farPlane);
}

void GLPointCloudRenderer::mousePressEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton) {
        emit widgetClicked();
        leftPressed = true;
        lastMousePos = event->position().toPoint();
        pressedAt = event->position();
    } else if (event->button() == Qt::RightButton) {
        rightPressed = true;
        lastMousePos = event->position().toPoint();
    } else {
        QOpenGLWidget::mousePressEvent(event);
    }
}

void GLPointCloudRenderer::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton) {
        leftPressed = false;
        if (measuring)
            measureClick(event->position());
    } else if (event->button() == Qt::RightButton)
        rightPressed = false;
}

void GLPointCloudRenderer::mouseMoveEvent(QMouseEvent *event) {
    QPoint position = event->position().toPoint();
    float dx = static_cast<float>(position.x() - lastMousePos.x());
    float dy = static_cast<float>(position.y() - lastMousePos.y());
    lastMousePos = position;
    if (leftPressed) {
        QMatrix4x4 yaw;
        yaw.rotate(-degreesPerPixel * dx, QVector3D(0, 0, 1));
        rotation = yaw * rotation;
        QVector3D forward = normalised(rotation.map(forwardBase));
        QVector3D axis = normalised(QVector3D(forward.y(), -forward.x(), 0));
        float pitch = std::asin(std::clamp(forward.z(), -1.0f, 1.0f)) * 57.29578f;
        float wanted = std::clamp(pitch - degreesPerPixel * dy, -maxPitch, maxPitch);
        float turn = wanted - pitch;
        if (turn != 0 && axis.lengthSquared() > 0.000001f) {
            QMatrix4x4 tilt;
            tilt.rotate(turn, axis);
            rotation = tilt * rotation;
        }
    } else if (rightPressed) {
        float step = distance * panPerPixel;
        target += -dx * step * rotation.map(rightBase) + dy * step * rotation.map(upBase);
    } else {
        hoverAt(event->position());
        return;
    }
    updateViewMatrix();
    update();
}

void GLPointCloudRenderer::wheelEvent(QWheelEvent *event) {
    float notches = event->angleDelta().y() / 120.0f;
    distance = std::clamp(distance * (1.0f - notches * zoomPerNotch), minDistance, maxDistance);
    updateViewMatrix();
    update();
}

void GLPointCloudRenderer::keyPressEvent(QKeyEvent *event) {
    switch (event->key()) {
    case Qt::Key_1:
        setDisplayMode(RGB);
        break;
    case Qt::Key_2:
        setDisplayMode(Intensity);
        break;
    case Qt::Key_3:
        setDisplayMode(Label);
        break;
    case Qt::Key_4:
        setDisplayMode(Height);
        break;
    case Qt::Key_5:
        setDisplayMode(Range);
        break;
    case Qt::Key_F:
        if (event->modifiers() & Qt::ShiftModifier)
            setChaseMode(!chaseMode);
        else
            setFollowMode(!followMode);
        break;
    case Qt::Key_Home:
        frameAll();
        break;
    case Qt::Key_7:
    case Qt::Key_8:
    case Qt::Key_9:
        viewFrom(event->key() == Qt::Key_7 ? Top : event->key() == Qt::Key_8 ? Front : Side);
        break;
    case Qt::Key_O:
        setOrthographic(!orthographic);
        break;
    case Qt::Key_M:
        setMeasuring(!measuring);
        break;
    case Qt::Key_Escape:
        clearMeasurements();
        break;
    case Qt::Key_G:
        if (event->modifiers() & Qt::ShiftModifier)
            setRingsShown(!ringsShown);
        else
            setGridShown(!gridShown);
        break;
    case Qt::Key_R:
        resetCamera();
        update();
        break;
    default:
        QOpenGLWidget::keyPressEvent(event); // left to the parent
        break;
    }
}

void GLPointCloudRenderer::setFollowMode(bool on) {
    if (on == followMode)
        return;
    followMode = on;
    if (on) {
        QVector3D position = poseMatrix.column(3).toVector3D();
        setCameraLookAt(position, position + poseMatrix.column(0).toVector3D(),
                        poseMatrix.column(1).toVector3D());
    } else {
        resetCamera();
    }
    update();
}

void GLPointCloudRenderer::setCameraLookAt(const QVector3D &eyePosition,
                                           const QVector3D &targetPosition, const QVector3D &up) {
    eye = eyePosition;
    target = targetPosition;
    upBase = up;
    distance = (eyePosition - targetPosition).length();
    updateViewMatrix();
}

void GLPointCloudRenderer::updatePose(double, const double rotationColumns[9],
                                      const double translation[3]) {
    QMatrix4x4 pose;
    for (int row = 0; row < 3; ++row) {
        pose(row, 0) = static_cast<float>(rotationColumns[row]);
        pose(row, 1) = static_cast<float>(rotationColumns[3 + row]);
        pose(row, 2) = static_cast<float>(rotationColumns[6 + row]);
        pose(row, 3) = static_cast<float>(translation[row]);
    }
    poseMatrix = pose * poseOffset;
    rangeStale = rangeStale || displayMode == Range;
    if (chaseMode)
        chase();
    update();
}

void GLPointCloudRenderer::initializeAxis() {
    console_print("%s", "GLPointCloudRenderer::initializeAxis\n");
    axisVao = new QOpenGLVertexArrayObject(this);
    if (!axisVao->create()) {
        console_print("%s", "ERROR: Failed to create axis VAO!\n");
        return;
    }
    axisVbo = new QOpenGLBuffer(QOpenGLBuffer::VertexBuffer);
    if (!axisVbo->create()) {
        console_print("%s", "ERROR: Failed to create axis VBO!\n");
        return;
    }
    axisVao->bind();
    axisVbo->bind();
    axisVbo->allocate(axisGeometry, sizeof axisGeometry);
    setPositionAndFloatAttribute(*this, 3); // position, colour
    axisVao->release();
    axisVbo->release();
    console_print("%s", "GLPointCloudRenderer::initializeAxis done\n");
}

void GLPointCloudRenderer::drawPoseAxes() {
    if (axisProgram == nullptr || !axisProgram->isLinked() || axisVao == nullptr)
        return;
    axisProgram->bind();
    axisVao->bind();
    QMatrix4x4 scale; // unit axes
    scale.scale(1.0f);
    axisProgram->setUniformValue(axisMvpLocation, projection * view * poseMatrix * scale);
    glLineWidth(axisLineWidth);
    glDrawArrays(GL_LINES, 0, axisVertices);
    axisVao->release();
    axisProgram->release();
}

// A 100-pixel view of the axes in the lower-right corner that turns with the
// camera but neither moves nor zooms with it.
void GLPointCloudRenderer::drawAxisGizmo() {
    if (axisProgram == nullptr || !axisProgram->isLinked() || axisVao == nullptr)
        return;
    GLint saved[4];
    glGetIntegerv(GL_VIEWPORT, saved);
    const int pixelWidth = static_cast<int>(width() * devicePixelRatio());
    const int pixelSize = static_cast<int>(gizmoSize * devicePixelRatio());
    const int pixelMargin = static_cast<int>(gizmoMargin * devicePixelRatio());
    glViewport(pixelWidth - pixelSize - pixelMargin, pixelMargin, pixelSize, pixelSize);
    axisProgram->bind();
    axisVao->bind();
    QMatrix4x4 &gizmo = gizmoMatrix;
    gizmo.setToIdentity();
    gizmo.perspective(fieldOfView, 1.0f, nearPlane, 100.0f);
    gizmo.lookAt(rotation.map(QVector3D(-3, 0, 0)), QVector3D(0, 0, 0),
                 rotation.map(QVector3D(0, 0, 1)));
    axisProgram->setUniformValue(axisMvpLocation, gizmo);
    glLineWidth(axisLineWidth);
    glDrawArrays(GL_LINES, 0, axisVertices);
    axisVao->release();
    axisProgram->release();
    glViewport(saved[0], saved[1], saved[2], saved[3]);
}

// "X", "Y" and "Z" just beyond the gizmo's axis ends, in the axes' colours.
void GLPointCloudRenderer::drawGizmoLabels(QPainter &painter) {
    if (axisProgram == nullptr || !axisProgram->isLinked())
        return;
    const QRect box(width() - gizmoSize - gizmoMargin, height() - gizmoSize - gizmoMargin,
                    gizmoSize, gizmoSize);
    const struct {
        QVector3D end;
        QColor colour;
        const char *name;
    } axes[] = {{{1.25f, 0, 0}, QColor(255, 80, 80), "X"},
                {{0, 1.25f, 0}, QColor(80, 255, 80), "Y"},
                {{0, 0, 1.25f}, QColor(110, 140, 255), "Z"}};
    const QFontMetrics metrics = painter.fontMetrics();
    for (const auto &axis : axes) {
        const QVector3D ndc = gizmoMatrix.map(axis.end); // divided by w
        // The label's box centred beyond the axis end, but inside the gizmo's corner.
        QRectF label(0, 0, metrics.horizontalAdvance(axis.name), metrics.ascent());
        label.moveCenter(QPointF(box.left() + (ndc.x() + 1) / 2 * box.width(),
                                 box.top() + (1 - ndc.y()) / 2 * box.height()));
        label.moveLeft(std::clamp(label.left(), box.left() + 1.0, box.right() - label.width()));
        label.moveTop(std::clamp(label.top(), box.top() + 1.0, box.bottom() - label.height()));
        painter.setPen(axis.colour);
        painter.drawText(label.bottomLeft(), QLatin1String(axis.name));
    }
}
