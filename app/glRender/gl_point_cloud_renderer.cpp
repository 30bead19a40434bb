#include "app/glRender/gl_point_cloud_renderer.h"

#include "recording/voxel_filter.h"

#include "sdk/logger/console.h"
#include "sdk/logger/logger.h"

#include <QOpenGLBuffer>
#include <QOpenGLContext>
#include <QOpenGLShaderProgram>
#include <QOpenGLVertexArrayObject>
#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <type_traits>

namespace {

constexpr const char *pointVertexPath = ":/shaders/glRender/shaders/point_cloud.vert";
constexpr const char *pointFragmentPath = ":/shaders/glRender/shaders/point_cloud.frag";
constexpr const char *axisVertexPath = ":/shaders/glRender/shaders/axis.vert";
constexpr const char *axisFragmentPath = ":/shaders/glRender/shaders/axis.frag";
constexpr int performanceIntervalMs = 1000;
constexpr int minPointBudget = 1000;
constexpr float minPointSize = 0.1f, maxPointSize = 20.0f;
constexpr float minVoxelEdge = 0.001f;
constexpr size_t framesBeforeThinning = 6;
constexpr int pointStride = sizeof(CloudPoint);

} // namespace

GLPointCloudRenderer::GLPointCloudRenderer(QWidget *parent) : QOpenGLWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true); // the point under a resting cursor
    performanceTimer = new QTimer(this);
    connect(performanceTimer, &QTimer::timeout, this, &GLPointCloudRenderer::onPerformanceTimer);
    performanceTimer->start(performanceIntervalMs);
    resetCamera();
}

GLPointCloudRenderer::~GLPointCloudRenderer() {
    disconnect(contextWatch); // the base class destroys the context after this object is gone
    console_print("%s", "~GLPointCloudRenderer start\n");
    log_print(INFO, "~GLPointCloudRenderer start");
    if (context() != nullptr && context()->isValid()) {
        makeCurrent();
        latest.clear();
        accumulated.clear();
        releaseGL();
        doneCurrent();
    }
    console_print("%s", "~GLPointCloudRenderer end\n");
    log_print(INFO, "~GLPointCloudRenderer end");
}

// Before the first show makeCurrent does nothing, and whatever context another
// view left current must not receive this view's buffers.
bool GLPointCloudRenderer::ownContextCurrent() const {
    return glReady && context() != nullptr && QOpenGLContext::currentContext() == context();
}

void GLPointCloudRenderer::contextAboutToGo() {
    makeCurrent();
    releaseGL();
    doneCurrent();
}

// With the context current: every GL object of this view goes; stored points
// stay, so a new context (the widget moved to another window) can show them again.
void GLPointCloudRenderer::releaseGL() {
    latest.releaseBuffers();
    accumulated.releaseBuffers();
    delete pointVao;
    delete axisVao;
    delete axisVbo;
    delete lineVao;
    delete lineVbo;
    lineVao = nullptr;
    lineVbo = nullptr;
    delete pointProgram;
    delete axisProgram;
    delete modelProgram;
    if (colormapTexture != 0)
        glDeleteTextures(1, &colormapTexture);
    colormapTexture = 0;
    pointVao = axisVao = nullptr;
    axisVbo = nullptr;
    pointProgram = axisProgram = modelProgram = nullptr;
    glReady = false;
}

void GLPointCloudRenderer::initializeGL() {
    console_print("%s", "GLPointCloudRenderer::initializeGL\n");
    if (!initializeOpenGLFunctions()) {
        log_print(ERROR, "OpenGL 3.3 core functions are not available; nothing will be drawn.\n");
        return;
    }
    disconnect(contextWatch);
    contextWatch = connect(context(), &QOpenGLContext::aboutToBeDestroyed, this,
                           &GLPointCloudRenderer::contextAboutToGo);
    glReady = true;
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_PROGRAM_POINT_SIZE);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glClearColor(0.1f, 0.1f, 0.1f, 1.0f);
    initShaders();
    initializeModelShader();
    pointVao = new QOpenGLVertexArrayObject(this);
    pointVao->create();
    initializeAxis(); // clouds kept from an earlier context are uploaded at the next draw
}

void GLPointCloudRenderer::initShaders() {
    pointProgram = new QOpenGLShaderProgram(this);
    auto add = [](QOpenGLShaderProgram *program, QOpenGLShader::ShaderType type, const char *path,
                  const char *loading, const char *failed) {
        console_print(loading, path);
        if (program->addShaderFromSourceFile(type, path))
            return true;
        console_print(failed, path);
        console_print("Shader log: %s\n", program->log().toUtf8().constData());
        return false;
    };
    if (!add(pointProgram, QOpenGLShader::Vertex, pointVertexPath,
             "Loading vertex shader from resource: %s\n",
             "Failed to load vertex shader from resource: %s\n") ||
        !add(pointProgram, QOpenGLShader::Fragment, pointFragmentPath,
             "Loading fragment shader from resource: %s\n",
             "Failed to load fragment shader from resource: %s\n"))
        return;
    axisProgram = new QOpenGLShaderProgram(this);
    if (!add(axisProgram, QOpenGLShader::Vertex, axisVertexPath,
             "Loading axis vertex shader from resource: %s\n",
             "Failed to load axis vertex shader from resource: %s\n") ||
        !add(axisProgram, QOpenGLShader::Fragment, axisFragmentPath,
             "Loading axis fragment shader from resource: %s\n",
             "Failed to load axis fragment shader from resource: %s\n"))
        return;
    if (!pointProgram->link()) {
        console_print("Failed to link shader program: %s.\n",
                      pointProgram->log().toUtf8().constData());
        return;
    }
    if (!axisProgram->link()) {
        console_print("Failed to link axis shader program: %s.\n",
                      axisProgram->log().toUtf8().constData());
        return;
    }
    mvpLocation = pointProgram->uniformLocation("uMVPMatrix");
    displayModeLocation = pointProgram->uniformLocation("uDisplayMode");
    pointSizeLocation = pointProgram->uniformLocation("uPointSize");
    colormapLocation = pointProgram->uniformLocation("uColormap");
    scaleRangeLocation = pointProgram->uniformLocation("uScaleRange");
    devicePositionLocation = pointProgram->uniformLocation("uDevicePosition");
    axisMvpLocation = axisProgram->uniformLocation("uMVPMatrix");
}

void GLPointCloudRenderer::updatePointCloud(const std::vector<CloudPoint> &points, int frameIndex) {
    if (points.empty()) {
        console_print("%s", "GLPointCloudRenderer::updatePointCloud - empty points, returning\n");
        return;
    }
    makeCurrent();
    if (!ownContextCurrent()) {
        console_print("%s", "ERROR: Failed to make OpenGL context current in updatePointCloud!\n");
        return;
    }
    if (renderMode == SingleFrame) {
        latest.push(createFrameData(points, frameIndex));
        while (latest.size() > 1)
            latest.popOldest();
        totalPointCount = static_cast<int>(latest.pointCount());
    } else {
        addAccumulatedFrame(points, frameIndex);
    }
    rangeStale = groundStale = true;
    noteMotion();
    update();
    doneCurrent();
}

std::unique_ptr<FrameData>
GLPointCloudRenderer::createFrameData(const std::vector<CloudPoint> &points, int frameIndex) {
    auto frame = std::make_unique<FrameData>();
    frame->frameIndex = frameIndex;
    frame->points = voxelSize > minVoxelEdge ? voxelDownsample(points, voxelSize) : points;
    shuffleForSampling(frame->points);
    frame->pointCount = static_cast<int>(frame->points.size());
    frame->pickIndex = pickIndexOf(frame->points);
    // The voxel filter left nothing (every point NaN or infinite): the frame is
    // kept, with no buffer, and counts as a frame of no points.
    if (frame->pointCount < 1)
        console_print("%s", "uploadPointsToGPU: frameData is null or empty\n");
    return frame;
}

// Costs what the new frame costs, whatever is stored: the count is kept as
// frames come and go, and the budget is only looked at here.
void GLPointCloudRenderer::addAccumulatedFrame(const std::vector<CloudPoint> &points,
                                               int frameIndex) {
    accumulated.push(createFrameData(points, frameIndex));
    if (maxFrames >= 1 && accumulated.size() > static_cast<size_t>(maxFrames))
        accumulated.popOldest();
    showStoredCount();
    if (totalPointCount > maxPoints)
        pointBudgetExceeded = true;
}

void GLPointCloudRenderer::showStoredCount() {
    totalPointCount = static_cast<int>(std::min<long long>(accumulated.pointCount(), INT32_MAX));
}

void GLPointCloudRenderer::onPerformanceTimer() {
    if (pointBudgetExceeded)
        enforcePointBudget();
    pointBudgetExceeded = false;
}

// Halves the stored frames, keeping every other one from the oldest, at most
// once a second, so that a stream of clouds is never stalled by thinning.
void GLPointCloudRenderer::enforcePointBudget() {
    if (totalPointCount <= maxPoints || renderMode != Accumulate ||
        accumulated.size() < framesBeforeThinning)
        return;
    makeCurrent(); // the buffers go with the context current
    accumulated.keepEveryOther();
    doneCurrent();
    showStoredCount();
}

void GLPointCloudRenderer::setDisplayMode(int mode) {
    if (mode == displayMode)
        return;
    displayMode = mode;
    rangeStale = true;
    update();
}

void GLPointCloudRenderer::setRenderMode(int mode) {
    if (mode == renderMode)
        return;
    renderMode = mode;
    if (renderMode == SingleFrame && !accumulated.empty()) {
        makeCurrent(); // the dropped frames' buffers go with the context current
        accumulated.clear();
        doneCurrent();
    }
    update();
}

void GLPointCloudRenderer::setMaxFrames(int n) {
    maxFrames = n;
    if (maxFrames < 1 || accumulated.size() <= static_cast<size_t>(maxFrames))
        return;
    makeCurrent(); // the dropped frames' buffers go with the context current
    while (accumulated.size() > static_cast<size_t>(maxFrames))
        accumulated.popOldest();
    doneCurrent(); // the total shown waits for the next cloud
}

void GLPointCloudRenderer::setMaxPoints(int n) {
    maxPoints = n > minPointBudget ? n : minPointBudget;
}

void GLPointCloudRenderer::setPointSize(float size) {
    pointSize = std::max(std::min(size, maxPointSize), minPointSize);
    update();
}

void GLPointCloudRenderer::setVoxelSize(float size) {
    voxelSize = size < 0 ? 0.0f : size;
}

void GLPointCloudRenderer::clearPoints() {
    makeCurrent();
    latest.clear();
    accumulated.clear();
    totalPointCount = 0;
    rangeStale = groundStale = true;
    update();
    doneCurrent();
}

void GLPointCloudRenderer::paintGL() {
    if (!glReady)
        return;
    QElapsedTimer clock;
    clock.start();
    // The overlays' painter leaves its own state behind.
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_PROGRAM_POINT_SIZE);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glClearColor(0.1f, 0.1f, 0.1f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    updateViewMatrix();
    updateProjection();
    model.setToIdentity();
    mvp = projection * view * model;
    drawPointCloud();
    drawGround();
    drawMeasurements();
    drawPoseAxes();
    drawAxisGizmo();
    paintOverlays();
    finishFrameCost(clock, pointsDrawn);
}

void GLPointCloudRenderer::paintOverlays() {
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    drawColourBar(painter);
    drawGizmoLabels(painter);
    drawMeasurementLabels(painter);
}

void GLPointCloudRenderer::drawPointCloud() {
    if (pointProgram == nullptr || !pointProgram->isLinked() || pointVao == nullptr)
        return;
    pointProgram->bind();
    pointVao->bind();
    pointProgram->setUniformValue(mvpLocation, mvp);
    pointProgram->setUniformValue(displayModeLocation, displayMode);
    pointProgram->setUniformValue(pointSizeLocation, pointSize);
    bindColourScale();
    GLFrameStore &store = renderMode == SingleFrame ? latest : accumulated;
    lastShare = shareToDraw(store.pointCount());
    pointsDrawn = static_cast<long long>(lastShare * static_cast<double>(store.pointCount()));
    drawFrames(store, lastShare);
    pointVao->release();
    pointProgram->release();
}

// One call per buffer, naming the ranges of the frames it holds; a share below
// 1 draws the first part of each range, which the shuffle made a uniform sample.
void GLPointCloudRenderer::drawFrames(GLFrameStore &store, float share) {
    static_assert(std::is_same<GLint, int>::value && std::is_same<GLsizei, int>::value,
                  "a buffer's ranges are handed to glMultiDrawArrays as they are");
    for (const auto &batch : store.buffersToDraw()) {
        if (batch->liveFrames() < 1 || !batch->vbo->bind())
            continue;
        setupVertexAttributes();
        const int *counts = batch->counts.data() + batch->oldestLive;
        if (share < 1.0f) {
            sampledCounts.assign(counts, counts + batch->liveFrames());
            for (int &count : sampledCounts)
                count = std::max(1, static_cast<int>(static_cast<float>(count) * share));
            counts = sampledCounts.data();
        }
        glMultiDrawArrays(GL_POINTS, batch->firsts.data() + batch->oldestLive, counts,
                          batch->liveFrames());
        batch->vbo->release();
    }
}

// The CloudPoint layout as vertex attributes; the label reaches the shader as a
// float holding its integer value.
void GLPointCloudRenderer::setupVertexAttributes() {
    struct attribute {
        GLuint location;
        GLint components;
        GLenum type;
        GLboolean normalised;
        size_t offset;
    };
    static const attribute table[] = {
        {0, 3, GL_FLOAT, GL_FALSE, offsetof(CloudPoint, x)},
        {1, 3, GL_UNSIGNED_BYTE, GL_TRUE, offsetof(CloudPoint, r)},
        {2, 1, GL_UNSIGNED_BYTE, GL_TRUE, offsetof(CloudPoint, intensity)},
        {3, 1, GL_UNSIGNED_INT, GL_FALSE, offsetof(CloudPoint, label)},
    };
    for (const attribute &a : table) {
        glEnableVertexAttribArray(a.location);
        glVertexAttribPointer(a.location, a.components, a.type, a.normalised, pointStride,
                              reinterpret_cast<const void *>(a.offset));
    }
}
