// Framing the scene in GLPointCloudRenderer: fitting the camera to the points
// shown (robust to a few far outliers), the top, front and side views, an
// orthographic projection, a chase camera behind the device, and the ground
// grid and range rings drawn around the device.
#include "app/glRender/gl_point_cloud_renderer.h"
#include "app/glRender/gl_vertex_layout.h"

#include <QOpenGLBuffer>
#include <QOpenGLShaderProgram>
#include <QOpenGLVertexArrayObject>

#include <algorithm>
#include <cmath>

namespace {

constexpr float fieldOfView = 45.0f, nearPlane = 0.1f, farPlane = 1000.0f;
constexpr float framedTail = 0.005f; // the share of points at each end a fit may leave out
constexpr float framingMargin = 1.1f;
constexpr float chasePitch = 20.0f, chaseDistance = 6.0f; // degrees down, metres
constexpr int gridHalfCells = 10;                         // 1 m cells, 20 m across
constexpr int rings = 10, ringSegments = 72;
constexpr float gridGrey = 0.35f;
constexpr float degrees = 57.29578f;

void addLine(std::vector<float> &out, QVector3D a, QVector3D b, QVector3D colour) {
    for (const QVector3D &end : {a, b})
        out.insert(out.end(), {end.x(), end.y(), end.z(), colour.x(), colour.y(), colour.z()});
}

} // namespace

// The camera keeps its direction and takes the bounding sphere of the box that
// holds all but the outermost half per cent of the points on each axis.
void GLPointCloudRenderer::frameAll() {
    chaseMode = followMode = false;
    const std::vector<CloudPoint> sample = shownSample();
    std::vector<float> axes[3];
    for (std::vector<float> &axis : axes)
        axis.reserve(sample.size());
    for (const CloudPoint &point : sample) {
        axes[0].push_back(point.x);
        axes[1].push_back(point.y);
        axes[2].push_back(point.z);
    }
    QVector3D low, high;
    for (int i = 0; i < 3; ++i) {
        const auto range = colour_scale::robustRange(std::move(axes[i]), framedTail);
        if (!range)
            return; // nothing shown: the camera stays
        low[i] = range->first;
        high[i] = range->second;
    }
    const float radius = std::max((high - low).length() / 2.0f, 0.5f) * framingMargin;
    const float aspect = static_cast<float>(width()) / static_cast<float>(std::max(height(), 1));
    const float halfAngle =
        std::atan(std::tan(fieldOfView / 2.0f / degrees) * std::min(aspect, 1.0f));
    target = (low + high) / 2.0f;
    distance = std::clamp(radius / std::sin(halfAngle), 0.1f, farPlane / 2.0f);
    updateViewMatrix();
    emit viewOptionsChanged();
    update();
}

// The camera's own axes back to the reset ones, then turned; the device's pose stays.
void GLPointCloudRenderer::viewFrom(int preset) {
    upBase = QVector3D(0, 0, 1);
    forwardBase = QVector3D(1, 0, 0);
    rightBase = QVector3D(0, -1, 0);
    rotation.setToIdentity();
    if (preset == Top)
        rotation.rotate(90.0f, 0, 1, 0); // looking down, +x up the screen
    else if (preset == Side)
        rotation.rotate(90.0f, 0, 0, 1); // looking along +y, +x to the right
    frameAll();
}

void GLPointCloudRenderer::setOrthographic(bool on) {
    orthographic = on;
    updateProjection();
    emit viewOptionsChanged();
    update();
}

// An orthographic view shows the plane through the target as the perspective
// one does, so switching keeps what is looked at the same size.
void GLPointCloudRenderer::updateProjection() {
    const float aspect = static_cast<float>(width()) / static_cast<float>(std::max(height(), 1));
    projection.setToIdentity();
    if (!orthographic) {
        projection.perspective(fieldOfView, aspect, nearPlane, farPlane);
        return;
    }
    const float half = distance * std::tan(fieldOfView / 2.0f / degrees);
    projection.ortho(-half * aspect, half * aspect, -half, half, -farPlane, farPlane);
}

void GLPointCloudRenderer::setChaseMode(bool on) {
    chaseMode = on;
    if (on) {
        followMode = false;
        distance = chaseDistance;
        chase();
    }
    emit viewOptionsChanged();
    update();
}

// Behind the device along its heading and above it, z up, at the distance the
// user last zoomed to.
void GLPointCloudRenderer::chase() {
    const QVector3D heading = poseMatrix.column(0).toVector3D();
    if (QVector2D(heading.x(), heading.y()).length() > 0.01f) {
        rotation.setToIdentity();
        rotation.rotate(std::atan2(heading.y(), heading.x()) * degrees, 0, 0, 1);
        rotation.rotate(chasePitch, 0, 1, 0);
    }
    upBase = QVector3D(0, 0, 1);
    forwardBase = QVector3D(1, 0, 0);
    rightBase = QVector3D(0, -1, 0);
    target = poseMatrix.column(3).toVector3D();
    updateViewMatrix();
}

void GLPointCloudRenderer::setGridShown(bool on) {
    gridShown = on;
    emit viewOptionsChanged();
    update();
}

void GLPointCloudRenderer::setRingsShown(bool on) {
    ringsShown = on;
    emit viewOptionsChanged();
    update();
}

// The floor: the height below which only 2 % of the points shown lie.
float GLPointCloudRenderer::groundHeight() {
    if (groundStale) {
        groundStale = false;
        std::vector<float> heights;
        for (const CloudPoint &point : shownSample())
            heights.push_back(point.z);
        if (const auto range = colour_scale::robustRange(std::move(heights)))
            ground = range->first;
    }
    return ground;
}

// Lines on the floor, centred on the whole metre under the device: the grid
// (1 m cells) and rings at every metre of horizontal distance from the device.
void GLPointCloudRenderer::drawGround() {
    if ((!gridShown && !ringsShown) || axisProgram == nullptr || !axisProgram->isLinked())
        return;
    const QVector3D device = poseMatrix.column(3).toVector3D();
    const float z = groundHeight();
    std::vector<float> lines;
    if (gridShown) {
        const QVector3D centre(std::round(device.x()), std::round(device.y()), z);
        const QVector3D grey(gridGrey, gridGrey, gridGrey);
        const auto half = static_cast<float>(gridHalfCells);
        for (int i = -gridHalfCells; i <= gridHalfCells; ++i) {
            const auto at = static_cast<float>(i);
            addLine(lines, centre + QVector3D(at, -half, 0), centre + QVector3D(at, half, 0), grey);
            addLine(lines, centre + QVector3D(-half, at, 0), centre + QVector3D(half, at, 0), grey);
        }
    }
    if (ringsShown)
        for (int ring = 1; ring <= rings; ++ring)
            for (int s = 0; s < ringSegments; ++s) {
                const auto point = [&](int k) {
                    const float angle = 2.0f * static_cast<float>(M_PI) * k / ringSegments;
                    return QVector3D(device.x() + ring * std::cos(angle),
                                     device.y() + ring * std::sin(angle), z);
                };
                addLine(lines, point(s), point(s + 1), QVector3D(0.3f, 0.55f, 0.8f));
            }
    drawLines(lines);
}

// Coloured lines (position and colour per vertex) in world coordinates, with
// the axis program; the buffer is refilled each time, a few thousand floats.
void GLPointCloudRenderer::drawLines(const std::vector<float> &lines) {
    if (lines.empty())
        return;
    if (lineVao == nullptr) {
        lineVao = new QOpenGLVertexArrayObject(this);
        lineVao->create();
        lineVbo = new QOpenGLBuffer(QOpenGLBuffer::VertexBuffer);
        lineVbo->create();
        lineVbo->setUsagePattern(QOpenGLBuffer::StreamDraw);
    }
    axisProgram->bind();
    lineVao->bind();
    lineVbo->bind();
    lineVbo->allocate(lines.data(), static_cast<int>(lines.size() * sizeof(float)));
    setPositionAndFloatAttribute(*this, 3);
    axisProgram->setUniformValue(axisMvpLocation, projection * view);
    glLineWidth(1.0f);
    glDrawArrays(GL_LINES, 0, static_cast<GLsizei>(lines.size() / 6));
    lineVbo->release();
    lineVao->release();
    axisProgram->release();
}
