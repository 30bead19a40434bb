// The main window's central widget: the render container (point cloud view and
// camera inset) on the left, a fixed column of controls on the right. Three
// 50 ms timers take the latest cloud, picture and pose out of the hand-off
// buffers that the data handler fills on the device side (app/stream_decoding.h)
// and pass them to the views; control changes become calls on the renderer and
// the scan-mode and record signals that the main window connects to the data
// handler. GUI thread only.
#pragma once

#include "app/glRender/gl_point_cloud_renderer.h"
#include "app/stream_decoding.h"
#include "recording/cloud_point.h"

#include <QWidget>

#include <optional>
#include <vector>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QSettings;
class QSpinBox;
class QTimer;
class RenderContainerWidget;

class PointCloudWidget : public QWidget {
    Q_OBJECT

public:
    explicit PointCloudWidget(QWidget *parent = nullptr);
    ~PointCloudWidget() override;

    // Hands points to the renderer as one more cloud, as the polls do; the main
    // window's synthetic clouds come this way.
    void updatePointCloud(const std::vector<CloudPoint> &points);

    // The view controls kept between runs under "view/": display mode, render
    // mode, infinite frames, frame limit, voxel size, point budget, point size
    // and the colour scale. Scan mode and recording are never stored: every run starts in SLAM,
    // not recording. Restoring and resetting set the controls, whose own slots
    // bring the renderer along; a stored value that is missing, unreadable or
    // out of its control's range leaves that control as it is. Restoring is
    // meant for start-up, before clouds arrive.
    void saveViewSettings(QSettings &settings) const;
    void restoreViewSettings(const QSettings &settings);
    void resetViewSettings();

    RenderContainerWidget *renderContainer() const { return container; }
    GLPointCloudRenderer *renderer() const; // null without a container
    ScanMode scanMode() const { return static_cast<ScanMode>(currentScanMode); }
    // Chooses the scan mode in the panel, as the user would.
    void setScanMode(ScanMode mode);
    bool isRecording() const { return recording; }

signals:
    void displayModeChanged(GLPointCloudRenderer::DisplayMode mode);
    void renderModeChanged(GLPointCloudRenderer::RenderMode mode);
    void sig_scanModeChanged(ScanMode mode);
    void sig_recordToggled(bool start);

public slots:
    void onDisplayModeChanged();
    void onRenderModeChanged();
    void onMaxFramesChanged(int maxFrames);
    void onVoxelSizeChanged(double voxelSize);
    void onMaxPointsChanged(int maxPoints);
    void onPointSizeChanged(double pointSize);
    void onResetCamera();
    void onClearPoints();
    void onInfiniteFramesToggled(bool infinite);
    void onScanModeChanged();
    void onRecordClicked();
    // What the recorder reports (the data handler's notifier's recordingChanged): sets the
    // button to match without emitting, so a recording that failed to start
    // shows "Start Recording" again.
    void onRecordingChanged(bool active);
    // The colour scale's range fields or its "Automatic Range" box changed.
    void onColourRangeChanged();

private slots:
    void pollPointCloud();
    void pollImage();
    void pollPose();
    void updateStats();

private:
    // One value per view control; empty ones are left as they are.
    struct ViewSettings {
        std::optional<int> displayMode;
        std::optional<int> renderMode;
        std::optional<bool> infiniteFrames;
        std::optional<int> maxFrames;
        std::optional<double> voxelSize;
        std::optional<int> maxPoints;
        std::optional<double> pointSize;
        std::optional<int> colormap;
        std::optional<bool> autoColourRange;
        std::optional<double> colourLow, colourHigh;
        std::optional<int> frameBudget;
    };
    void buildControlPanel();
    QWidget *buildColourScaleGroup();
    void showAutomaticRange();
    void applyViewSettings(const ViewSettings &values);

    RenderContainerWidget *container = nullptr;
    QWidget *controlPanel = nullptr;
    QComboBox *displayModeCombo = nullptr;
    QComboBox *renderModeCombo = nullptr;
    QSpinBox *maxFramesSpin = nullptr;
    QDoubleSpinBox *voxelSizeSpin = nullptr;
    QSpinBox *maxPointsSpin = nullptr;
    QDoubleSpinBox *pointSizeSpin = nullptr;
    QCheckBox *infiniteFramesCheck = nullptr;
    QComboBox *scanModeCombo = nullptr;
    QPushButton *resetCameraButton = nullptr;
    QPushButton *clearPointsButton = nullptr;
    QPushButton *recordButton = nullptr;
    QLabel *pointsLabel = nullptr;
    QLabel *framesLabel = nullptr;
    QComboBox *colormapCombo = nullptr;
    QCheckBox *autoRangeCheck = nullptr;
    QDoubleSpinBox *rangeLowSpin = nullptr;
    QDoubleSpinBox *rangeHighSpin = nullptr;
    QSpinBox *frameBudgetSpin = nullptr;
    QTimer *pointCloudTimer = nullptr;
    QTimer *imageTimer = nullptr;
    QTimer *poseTimer = nullptr;
    int currentScanMode = 0; // the last scan mode chosen in the panel
    bool recording = false;  // what the record button shows
};
