#include "app/glRender/point_cloud_widget.h"

#include "app/glRender/gl_image_preview_widget.h"
#include "app/glRender/render_container_widget.h"
#include "sdk/logger/console.h"
#include "sdk/logger/logger.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QTimer>

namespace {

constexpr int statsIntervalMs = 500;
constexpr int containerStretch = 4, controlPanelStretch = 1;

// The column of controls scrolls where the screen is shorter than the column
// (a laptop's 768 rows), instead of holding the window taller than the screen.
QScrollArea *scrollable(QWidget *column) {
    auto *area = new QScrollArea;
    area->setObjectName(QStringLiteral("controlPanelScroll"));
    area->setWidget(column);
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setFixedWidth(column->width() + area->verticalScrollBar()->sizeHint().width());
    return area;
}

} // namespace

PointCloudWidget::PointCloudWidget(QWidget *parent) : QWidget(parent) {
    currentScanMode = static_cast<int>(ScanMode::SLAM);
    recording = false;

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0); // the view to the edges; the column keeps the height
    container = new RenderContainerWidget(this);
    buildControlPanel();
    layout->addWidget(container, containerStretch);
    layout->addWidget(scrollable(controlPanel), controlPanelStretch);

    updateStats();

    auto *statsTimer = new QTimer(this);
    connect(statsTimer, &QTimer::timeout, this, &PointCloudWidget::updateStats);
    statsTimer->start(statsIntervalMs);
}

PointCloudWidget::~PointCloudWidget() {
    console_print("%s", "~PointCloudWidget start\n");
    log_print(INFO, "~PointCloudWidget start");
    // The children, the container with both views among them, go with the base class.
    console_print("%s", "~PointCloudWidget end\n");
    log_print(INFO, "~PointCloudWidget end");
}

GLPointCloudRenderer *PointCloudWidget::renderer() const {
    return container ? container->renderer() : nullptr;
}

void PointCloudWidget::updatePointCloud(const std::vector<CloudPoint> &points) {
    if (!container)
        return;
    console_print("PointCloudWidget::updatePointCloud with %zu points\n", points.size());
    container->renderer()->updatePointCloud(points, 0);
}

void PointCloudWidget::setScanMode(ScanMode mode) {
    const int index = scanModeCombo->findData(static_cast<int>(mode));
    if (index >= 0)
        scanModeCombo->setCurrentIndex(index);
}

void PointCloudWidget::onScanModeChanged() {
    const int mode = scanModeCombo->currentData().toInt();
    currentScanMode = mode;
    // SLAM clouds are in the world frame and DTOF clouds in the sensor's: frames
    // of the two modes in one store would draw a wrong picture.
    if (container)
        container->renderer()->clearPoints();
    emit sig_scanModeChanged(static_cast<ScanMode>(mode));
}

void PointCloudWidget::onDisplayModeChanged() {
    if (!container)
        return;
    const int mode = displayModeCombo->currentData().toInt();
    container->renderer()->setDisplayMode(mode);
    emit displayModeChanged(static_cast<GLPointCloudRenderer::DisplayMode>(mode));
}

void PointCloudWidget::onRenderModeChanged() {
    if (!container)
        return;
    const int mode = renderModeCombo->currentData().toInt();
    container->renderer()->setRenderMode(mode);
    emit renderModeChanged(static_cast<GLPointCloudRenderer::RenderMode>(mode));
    const bool accumulate = mode == GLPointCloudRenderer::Accumulate;
    infiniteFramesCheck->setVisible(accumulate);
    maxFramesSpin->setEnabled(accumulate && !infiniteFramesCheck->isChecked());
}

void PointCloudWidget::onInfiniteFramesToggled(bool infinite) {
    if (!container)
        return;
    container->renderer()->setMaxFrames(infinite ? -1 : maxFramesSpin->value());
    const bool accumulate =
        renderModeCombo->currentData().toInt() == GLPointCloudRenderer::Accumulate;
    maxFramesSpin->setEnabled(!infinite && accumulate);
}

void PointCloudWidget::onMaxFramesChanged(int maxFrames) {
    if (container)
        container->renderer()->setMaxFrames(maxFrames);
}

void PointCloudWidget::onVoxelSizeChanged(double voxelSize) {
    if (container)
        container->renderer()->setVoxelSize(static_cast<float>(voxelSize));
}

void PointCloudWidget::onMaxPointsChanged(int maxPoints) {
    if (container)
        container->renderer()->setMaxPoints(maxPoints);
}

void PointCloudWidget::onPointSizeChanged(double pointSize) {
    if (container)
        container->renderer()->setPointSize(static_cast<float>(pointSize));
}

void PointCloudWidget::onResetCamera() {
    // No repaint is asked for: the reset shows with the next frame drawn.
    if (container)
        container->renderer()->resetCamera();
}

void PointCloudWidget::onClearPoints() {
    if (container)
        container->renderer()->clearPoints();
}

// The panel flips its own flag at once; what the recorder then reports comes
// back through onRecordingChanged.
void PointCloudWidget::onRecordClicked() {
    recording = !recording;
    recordButton->setText(recording ? "Stop Recording" : "Start Recording");
    emit sig_recordToggled(recording);
}

void PointCloudWidget::onRecordingChanged(bool active) {
    recording = active;
    recordButton->setText(recording ? "Stop Recording" : "Start Recording");
}

// Each take holds the buffer's lock only while it copies; the views are called
// after it is released.
void PointCloudWidget::pollPointCloud() {
    std::vector<CloudPoint> points;
    auto &buffer =
        currentScanMode == static_cast<int>(ScanMode::SLAM) ? g_slamCloudBuffer : g_dtofCloudBuffer;
    if (!buffer.take(points) || !container)
        return;
    // An empty cloud goes on: the renderer refuses it with its own line.
    console_print("PointCloudWidget::updatePointCloud with %zu points\n", points.size());
    container->renderer()->updatePointCloud(points, 0);
}

void PointCloudWidget::pollImage() {
    cv::Mat image; // shares its pixels with the buffer's; the preview copies them
    if (!g_imageBuffer.take(image) || !container)
        return;
    console_print("PointCloudWidget::updateImage with %d x %d image\n", image.cols, image.rows);
    container->preview()->updateImage(image);
}

void PointCloudWidget::pollPose() {
    PoseRecord pose;
    if (!g_poseBuffer.take(pose) || !container)
        return;
    container->renderer()->updatePose(pose.time, pose.rotation, pose.translation);
}

void PointCloudWidget::updateStats() {
    if (!container)
        return;
    pointsLabel->setText(QString("Points: %1").arg(container->renderer()->totalPoints()));
    framesLabel->setText(QString("Frames: %1").arg(container->renderer()->frameCount()));
    showAutomaticRange();
}
