// The OpenGL 3.3 view of point clouds: a frame store with voxel thinning and a
// point budget, an orbit camera with mouse, wheel and key handling, the device
// pose axes and a corner gizmo. The control panel creates it, feeds it clouds
// and settings and reads its counters. Everything runs on the GUI thread.
#pragma once

#include "app/glRender/colour_scale.h"
#include "app/glRender/gl_frame_store.h"
#include "recording/cloud_point.h"

#include <QElapsedTimer>
#include <QMatrix4x4>
#include <QOpenGLFunctions_3_3_Core>
#include <QOpenGLWidget>
#include <QPoint>
#include <QVector3D>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QOpenGLBuffer;
class QPainter;

// Puts points in an order whose every prefix is a uniform sample of them, the
// same order for the same points.
void shuffleForSampling(std::vector<CloudPoint> &points);
class QOpenGLShaderProgram;
class QOpenGLVertexArrayObject;
class QTimer;

class GLPointCloudRenderer : public QOpenGLWidget, protected QOpenGLFunctions_3_3_Core {
    Q_OBJECT

public:
    // Beside the three of the design: colour by a value through a colour map.
    // Values apart from the first three, so that modes 3 to 9 stay unknown ones.
    enum DisplayMode {
        RGB = 0,
        Intensity = 1,
        Label = 2,
        Height = 10, // world z
        Range = 11,  // distance from the device's current position
        AxisX = 12,
        AxisY = 13
    };
    Q_ENUM(DisplayMode)
    static bool colouredByValue(int mode) { return mode >= Height && mode <= AxisY; }
    enum RenderMode { SingleFrame = 0, Accumulate = 1 };
    Q_ENUM(RenderMode)

    explicit GLPointCloudRenderer(QWidget *parent = nullptr);
    ~GLPointCloudRenderer() override;

    // Adds one cloud (the control panel passes 0 as frameIndex). Needs the
    // widget's context, so clouds that arrive before the first show are dropped.
    void updatePointCloud(const std::vector<CloudPoint> &points, int frameIndex);
    void setDisplayMode(int mode);
    void setRenderMode(int mode);
    void setMaxFrames(int n); // below 1: no limit
    void setMaxPoints(int n); // at least 1000
    void setPointSize(float size);
    void setVoxelSize(float size); // for clouds received afterwards
    void clearPoints();
    // The value modes' colour map (colour_scale::Colormap) and range: automatic
    // (the 2nd to 98th percentile of the points shown, following them) or the
    // fixed one given here.
    void setColormap(int map);
    void setAutoColourRange(bool on);
    void setColourRange(float low, float high);

    void resetCamera();
    // Device pose: rotation as nine doubles in column-major order, translation in metres.
    void updatePose(double time, const double rotation[9], const double translation[3]);
    void setFollowMode(bool on);
    void setCameraLookAt(const QVector3D &eyePosition, const QVector3D &targetPosition,
                         const QVector3D &up);

    // Framing, beside the design's camera (which the view starts with): the
    // camera fitted to the points shown, the views from above, the front (the
    // reset camera's direction) and the side, each fitted; an orthographic
    // projection; a chase camera that follows the device from behind and above
    // as poses arrive; the ground grid and range rings around the device.
    enum ViewPreset { Top, Front, Side };
    void frameAll();
    void viewFrom(int preset);
    void setOrthographic(bool on);
    void setChaseMode(bool on);
    void setGridShown(bool on);
    void setRingsShown(bool on);
    bool orthographicValue() const { return orthographic; }
    bool chaseModeValue() const { return chaseMode; }
    bool gridShownValue() const { return gridShown; }
    bool ringsShownValue() const { return ringsShown; }
    // The point drawn under cursor (widget pixels), if any within a few pixels:
    // the front-most, among the points shown after voxel filter and budget.
    std::optional<CloudPoint> pointAt(QPointF cursor) const;
    // "x 1.234 · y … · z … m · range … m", with intensity or label in those modes.
    QString describe(const CloudPoint &point) const;
    // Measuring (M): two clicks on points make one measurement; Esc clears them all.
    using Measurement = std::pair<QVector3D, QVector3D>;
    void setMeasuring(bool on);
    void clearMeasurements();
    bool measuringValue() const { return measuring; }
    const std::vector<Measurement> &measurements() const { return measured; }
    static QString describeMeasurement(const Measurement &m);
    // The frames drawn now: the single frame's or the accumulated ones.
    const GLFrameStore &shownStore() const {
        return renderMode == SingleFrame ? latest : accumulated;
    }
    // The frame-time budget: while the camera moves or clouds arrive, frames
    // draw a uniform sample of the stored points sized to the budget; half a
    // second after both rest, every point. pinMovingShare fixes the moving
    // frames' share instead (tests and benchmarks); nullopt adapts again.
    void setFrameBudget(double milliseconds);
    double frameBudgetValue() const { return frameBudgetMs; }
    void pinMovingShare(std::optional<float> share);
    // Something in the view moved (the camera, the stored points): frames draw
    // samples until it has rested half a second. Paints notice camera moves
    // themselves; this is for changes they cannot see.
    void noteMotion();
    // The share of the stored points the last frame drew (1 at rest).
    float drawnShare() const { return lastShare; }
    // Where world points land: projection times view, as last drawn.
    QMatrix4x4 viewProjection() const { return projection * view; }

    int totalPoints() const { return totalPointCount; }
    int frameCount() const { return static_cast<int>(accumulated.size()); }

    // Read access for the panel's labels and for tests.
    int displayModeValue() const { return displayMode; }
    int renderModeValue() const { return renderMode; }
    int maxFramesValue() const { return maxFrames; }
    int maxPointsValue() const { return maxPoints; }
    float pointSizeValue() const { return pointSize; }
    float voxelSizeValue() const { return voxelSize; }
    int colormapValue() const { return colormap; }
    bool autoColourRangeValue() const { return autoRange; }
    // The range the last drawing used, low end first.
    std::pair<float, float> colourRange() const { return {shownLow, shownHigh}; }
    // Where the colour bar is drawn (while a value mode shows), in widget pixels.
    QRect colourBarRect() const;
    // Points copied into vertex buffers since the view was made.
    unsigned long long uploadedPoints() const {
        return latest.uploadedPoints() + accumulated.uploadedPoints();
    }
    bool followModeValue() const { return followMode; }
    QVector3D eyePosition() const { return eye; }
    QVector3D targetPosition() const { return target; }
    float cameraDistance() const { return distance; }
    const FrameData *currentFrameData() const {
        return latest.empty() ? nullptr : latest.storedFrames().back().get();
    }
    const std::deque<std::unique_ptr<FrameData>> &storedFrames() const {
        return accumulated.storedFrames();
    }
    size_t storedBufferCount() const { return accumulated.bufferCount(); }

signals:
    void widgetClicked();
    // A framing option changed (by a key or a call), for menus' check marks.
    void viewOptionsChanged();
    // The point under the resting cursor, described; empty when there is none.
    void pointHovered(const QString &readout);
    // A measurement was completed, described.
    void measurementMade(const QString &description);

public slots:
    void onPerformanceTimer();

protected:
    void initializeGL() override;
    void paintGL() override;
    void resizeGL(int w, int h) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;

private:
    std::unique_ptr<FrameData> createFrameData(const std::vector<CloudPoint> &points,
                                               int frameIndex);
    void addAccumulatedFrame(const std::vector<CloudPoint> &points, int frameIndex);
    void enforcePointBudget();
    void showStoredCount();
    void drawPointCloud();
    void drawFrames(GLFrameStore &store, float share);
    void setupVertexAttributes();
    void initShaders();
    void initializeModelShader();
    void initializeAxis();
    void drawPoseAxes();
    void drawAxisGizmo();
    void paintOverlays();
    void updateProjection();
    void chase();
    float groundHeight();
    void drawGround();
    void drawLines(const std::vector<float> &lines);
    float shareToDraw(long long storedPoints);
    void finishFrameCost(const QElapsedTimer &clock, long long pointsDrawn);
    void hoverAt(QPointF cursor);
    void measureClick(QPointF cursor);
    void drawMeasurements();
    void drawMeasurementLabels(QPainter &painter);
    void drawColourBar(QPainter &painter);
    void drawGizmoLabels(QPainter &painter);
    float valueOf(const CloudPoint &point, const QVector3D &device) const;
    void refreshColourRange();
    std::vector<CloudPoint> shownSample() const;
    void uploadColormap();
    void bindColourScale();
    void updateViewMatrix();
    void releaseGL();
    void contextAboutToGo();
    bool ownContextCurrent() const;
    QMetaObject::Connection contextWatch; // to the context in use

    QOpenGLShaderProgram *pointProgram = nullptr;
    QOpenGLShaderProgram *axisProgram = nullptr;
    QOpenGLShaderProgram *modelProgram = nullptr;
    QOpenGLVertexArrayObject *pointVao = nullptr;
    QOpenGLVertexArrayObject *axisVao = nullptr;
    QOpenGLBuffer *axisVbo = nullptr;
    GLFrameStore accumulated; // accumulate mode's frames
    GLFrameStore latest;      // single-frame mode's cloud
    int displayMode = RGB;
    int renderMode = SingleFrame;
    int maxFrames = 10;
    float voxelSize = 0.0f;
    int maxPoints = 100000000;
    float pointSize = 1.0f;
    QTimer *performanceTimer = nullptr;
    int totalPointCount = 0; // as shown: refreshed by each cloud
    bool pointBudgetExceeded = false;
    QMatrix4x4 model, view, projection, mvp;
    bool glReady = false; // the 3.3 core functions resolved

    // Camera and pose.
    QVector3D eye;
    QVector3D target{0, 0, 0};
    QVector3D upBase{0, 0, 1};
    QVector3D rightBase{0, -1, 0};
    QVector3D forwardBase{1, 0, 0};
    QMatrix4x4 rotation;
    float distance = 10.0f;
    QMatrix4x4 poseOffset;
    QPoint lastMousePos{0, 0};
    bool leftPressed = false;
    bool rightPressed = false;
    QMatrix4x4 poseMatrix;
    bool followMode = false;

    // The colour scale.
    GLuint colormapTexture = 0;
    int colormap = colour_scale::Turbo;
    bool colormapStale = true;
    bool autoRange = true;
    bool rangeStale = true; // the shown points, the mode or the device moved
    float fixedLow = 0.0f, fixedHigh = 1.0f;
    float shownLow = 0.0f, shownHigh = 1.0f;
    QMatrix4x4 gizmoMatrix; // as last drawn, for its labels

    // Framing.
    bool orthographic = false;
    bool chaseMode = false;
    bool gridShown = false;
    bool ringsShown = false;
    float ground = 0.0f; // the grid's height
    bool groundStale = true;
    QOpenGLVertexArrayObject *lineVao = nullptr;
    QOpenGLBuffer *lineVbo = nullptr;

    // The frame-time budget.
    double frameBudgetMs = 33.0;
    std::optional<float> pinnedShare;
    float lastShare = 1.0f;
    QMatrix4x4 lastSeen;       // projection * view of the last frame
    QElapsedTimer sinceMotion; // since the camera or the stored points last changed
    QTimer *restTimer = nullptr;
    double nanosecondsPerPoint = 0; // of a whole frame; 0 until the first measurement
    long long pointsDrawn = 0;      // by the last frame
    std::vector<int> sampledCounts; // per frame of a buffer, while sampling

    // Reading the scene.
    QTimer *hoverTimer = nullptr;
    QPointF hoverCursor;
    QPointF pressedAt;
    bool measuring = false;
    std::optional<QVector3D> measureStart;
    std::vector<Measurement> measured;

    int mvpLocation = -1;
    int colormapLocation = -1;
    int scaleRangeLocation = -1;
    int devicePositionLocation = -1;
    int displayModeLocation = -1;
    int pointSizeLocation = -1;
    int axisMvpLocation = -1;
    int modelMatrixLocation = -1;
    int viewMatrixLocation = -1;
    int projectionMatrixLocation = -1;
    int viewPosLocation = -1;
};
