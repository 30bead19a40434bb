// The OpenGL 3.3 view of point clouds: a frame store with voxel thinning and a
// point budget, an orbit camera with mouse, wheel and key handling, the device
// pose axes and a corner gizmo. The control panel creates it, feeds it clouds
// and settings and reads its counters. Everything runs on the GUI thread.
#pragma once

#include "app/glRender/gl_frame_store.h"
#include "recording/cloud_point.h"

#include <QMatrix4x4>
#include <QOpenGLFunctions_3_3_Core>
#include <QOpenGLWidget>
#include <QPoint>
#include <QVector3D>

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

class QOpenGLBuffer;
class QOpenGLShaderProgram;
class QOpenGLVertexArrayObject;
class QTimer;

class GLPointCloudRenderer : public QOpenGLWidget, protected QOpenGLFunctions_3_3_Core {
    Q_OBJECT

public:
    enum DisplayMode { RGB = 0, Intensity = 1, Label = 2 };
    Q_ENUM(DisplayMode)
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

    void resetCamera();
    // Device pose: rotation as nine doubles in column-major order, translation in metres.
    void updatePose(double time, const double rotation[9], const double translation[3]);
    void setFollowMode(bool on);
    void setCameraLookAt(const QVector3D &eyePosition, const QVector3D &targetPosition,
                         const QVector3D &up);

    int totalPoints() const { return totalPointCount; }
    int frameCount() const { return static_cast<int>(accumulated.size()); }

    // Read access for the panel's labels and for tests.
    int displayModeValue() const { return displayMode; }
    int renderModeValue() const { return renderMode; }
    int maxFramesValue() const { return maxFrames; }
    int maxPointsValue() const { return maxPoints; }
    float pointSizeValue() const { return pointSize; }
    float voxelSizeValue() const { return voxelSize; }
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
    void drawFrames(GLFrameStore &store);
    void setupVertexAttributes();
    void initShaders();
    void initializeModelShader();
    void initializeAxis();
    void drawPoseAxes();
    void drawAxisGizmo();
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

    int mvpLocation = -1;
    int displayModeLocation = -1;
    int pointSizeLocation = -1;
    int axisMvpLocation = -1;
    int modelMatrixLocation = -1;
    int viewMatrixLocation = -1;
    int projectionMatrixLocation = -1;
    int viewPosLocation = -1;
};
