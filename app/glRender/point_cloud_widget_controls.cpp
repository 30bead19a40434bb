// The control column of PointCloudWidget: seven groups of controls and the
// three 50 ms polls. Every control gets its range, step and value before it is
// connected, so the initial values reach no slot and send no signal. The
// defaults live here, and so does putting them back.
#include "app/glRender/point_cloud_widget.h"
#include "app/glRender/wheel_needs_focus.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int controlPanelWidth = 250;
constexpr int pollIntervalMs = 50;

// The panel's defaults, which are the renderer's.
constexpr int maxFramesLow = 1, maxFramesHigh = 1000, maxFramesDefault = 10;
constexpr double voxelLow = 0.0, voxelHigh = 1.0, voxelDefault = 0.0, voxelStep = 0.01;
constexpr int voxelDecimals = 3;
constexpr int maxPointsLow = 1000; // also the renderer's floor
constexpr int maxPointsHigh = 100000000, maxPointsDefault = 100000000, maxPointsStep = 100000;
constexpr int frameBudgetLow = 5, frameBudgetHigh = 1000, frameBudgetDefault = 33; // ms
constexpr double pointSizeLow = 0.1, pointSizeHigh = 20.0, pointSizeDefault = 1.0;
constexpr double pointSizeStep = 0.5;
constexpr int pointSizeDecimals = 1;

// A titled group whose widgets stack top to bottom.
QVBoxLayout *addGroup(QVBoxLayout *column, const QString &title, QWidget *parent) {
    auto *group = new QGroupBox(title, parent);
    auto *layout = new QVBoxLayout(group);
    layout->setContentsMargins(6, 0, 6, 3);
    layout->setSpacing(2);
    column->addWidget(group);
    return layout;
}

// Names every control after its member, so tests and style sheets can find it.
template <typename Widget>
Widget *named(Widget *widget, const char *name) {
    widget->setObjectName(name);
    return widget;
}

} // namespace

void PointCloudWidget::buildControlPanel() {
    controlPanel = new QWidget;
    controlPanel->setFixedWidth(controlPanelWidth);
    auto *column = new QVBoxLayout(controlPanel);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(3);

    QVBoxLayout *group = addGroup(column, "Scan Mode", controlPanel);
    scanModeCombo = named(new QComboBox, "scanModeCombo");
    scanModeCombo->addItem("SLAM", static_cast<int>(ScanMode::SLAM));
    scanModeCombo->addItem("DTOF", static_cast<int>(ScanMode::DTOF));
    group->addWidget(scanModeCombo);
    connect(scanModeCombo, &QComboBox::currentIndexChanged, this,
            &PointCloudWidget::onScanModeChanged);

    group = addGroup(column, "Display Mode", controlPanel);
    group->addWidget(new QLabel("Mode:"));
    displayModeCombo = named(new QComboBox, "displayModeCombo");
    displayModeCombo->addItem("RGB", GLPointCloudRenderer::RGB);
    displayModeCombo->addItem("Intensity", GLPointCloudRenderer::Intensity);
    displayModeCombo->addItem("Label", GLPointCloudRenderer::Label);
    displayModeCombo->addItem("Height", GLPointCloudRenderer::Height);
    displayModeCombo->addItem("Range", GLPointCloudRenderer::Range);
    displayModeCombo->addItem("Axis X", GLPointCloudRenderer::AxisX);
    displayModeCombo->addItem("Axis Y", GLPointCloudRenderer::AxisY);
    group->addWidget(displayModeCombo);
    connect(displayModeCombo, &QComboBox::currentIndexChanged, this,
            &PointCloudWidget::onDisplayModeChanged);

    group = addGroup(column, "Render Mode", controlPanel);
    group->addWidget(new QLabel("Mode:"));
    renderModeCombo = named(new QComboBox, "renderModeCombo");
    renderModeCombo->addItem("Single Frame", GLPointCloudRenderer::SingleFrame);
    renderModeCombo->addItem("Accumulate", GLPointCloudRenderer::Accumulate);
    group->addWidget(renderModeCombo);
    infiniteFramesCheck = named(new QCheckBox("Infinite Frames"), "infiniteFramesCheck");
    // Keeps its place while hidden, so the column does not jump when it shows.
    QSizePolicy keepSpace = infiniteFramesCheck->sizePolicy();
    keepSpace.setRetainSizeWhenHidden(true);
    infiniteFramesCheck->setSizePolicy(keepSpace);
    infiniteFramesCheck->setChecked(false);
    infiniteFramesCheck->setVisible(false);
    group->addWidget(infiniteFramesCheck);
    group->addWidget(new QLabel("Max Frames:"));
    maxFramesSpin = named(new QSpinBox, "maxFramesSpin");
    maxFramesSpin->setRange(maxFramesLow, maxFramesHigh);
    maxFramesSpin->setValue(maxFramesDefault);
    group->addWidget(maxFramesSpin);
    connect(renderModeCombo, &QComboBox::currentIndexChanged, this,
            &PointCloudWidget::onRenderModeChanged);
    connect(infiniteFramesCheck, &QCheckBox::toggled, this,
            &PointCloudWidget::onInfiniteFramesToggled);
    connect(maxFramesSpin, &QSpinBox::valueChanged, this, &PointCloudWidget::onMaxFramesChanged);

    group = addGroup(column, "Performance", controlPanel);
    group->addWidget(new QLabel("Voxel Size:"));
    voxelSizeSpin = named(new QDoubleSpinBox, "voxelSizeSpin");
    voxelSizeSpin->setRange(voxelLow, voxelHigh);
    voxelSizeSpin->setDecimals(voxelDecimals);
    voxelSizeSpin->setSingleStep(voxelStep);
    voxelSizeSpin->setValue(voxelDefault);
    group->addWidget(voxelSizeSpin);
    group->addWidget(new QLabel("Max Points:"));
    maxPointsSpin = named(new QSpinBox, "maxPointsSpin");
    maxPointsSpin->setRange(maxPointsLow, maxPointsHigh);
    maxPointsSpin->setSingleStep(maxPointsStep);
    maxPointsSpin->setValue(maxPointsDefault);
    group->addWidget(maxPointsSpin);
    frameBudgetSpin = named(new QSpinBox, "frameBudgetSpin");
    frameBudgetSpin->setRange(frameBudgetLow, frameBudgetHigh);
    frameBudgetSpin->setSuffix(" ms");
    frameBudgetSpin->setValue(frameBudgetDefault);
    frameBudgetSpin->setToolTip("While the camera moves or clouds arrive, the view draws a sample "
                                "of the points sized to keep a frame within this time.");
    auto *budgetRow = new QHBoxLayout;
    budgetRow->addWidget(new QLabel("Frame Budget:"));
    budgetRow->addWidget(frameBudgetSpin);
    group->addLayout(budgetRow);
    connect(frameBudgetSpin, &QSpinBox::valueChanged, this, [this](int milliseconds) {
        if (container)
            renderer()->setFrameBudget(milliseconds);
    });
    connect(voxelSizeSpin, &QDoubleSpinBox::valueChanged, this,
            &PointCloudWidget::onVoxelSizeChanged);
    connect(maxPointsSpin, &QSpinBox::valueChanged, this, &PointCloudWidget::onMaxPointsChanged);

    group = addGroup(column, "Visual", controlPanel);
    group->addWidget(new QLabel("Point Size:"));
    pointSizeSpin = named(new QDoubleSpinBox, "pointSizeSpin");
    pointSizeSpin->setRange(pointSizeLow, pointSizeHigh);
    pointSizeSpin->setDecimals(pointSizeDecimals);
    pointSizeSpin->setSingleStep(pointSizeStep);
    pointSizeSpin->setValue(pointSizeDefault);
    group->addWidget(pointSizeSpin);
    connect(pointSizeSpin, &QDoubleSpinBox::valueChanged, this,
            &PointCloudWidget::onPointSizeChanged);

    group = addGroup(column, "Controls", controlPanel);
    resetCameraButton = named(new QPushButton("Reset Camera (R)"), "resetCameraButton");
    clearPointsButton = named(new QPushButton("Clear Points"), "clearPointsButton");
    recordButton = named(new QPushButton("Start Recording"), "recordButton");
    group->addWidget(resetCameraButton);
    group->addWidget(clearPointsButton);
    group->addWidget(recordButton);
    connect(resetCameraButton, &QPushButton::clicked, this, &PointCloudWidget::onResetCamera);
    connect(clearPointsButton, &QPushButton::clicked, this, &PointCloudWidget::onClearPoints);
    connect(recordButton, &QPushButton::clicked, this, &PointCloudWidget::onRecordClicked);

    group = addGroup(column, "Status", controlPanel);
    pointsLabel = named(new QLabel("Points: 0"), "pointsLabel");
    framesLabel = named(new QLabel("Frames: 0"), "framesLabel");
    group->addWidget(pointsLabel);
    group->addWidget(framesLabel);
    column->addWidget(buildColourScaleGroup()); // below the design's seven

    column->addStretch();
    makeWheelNeedFocus(controlPanel);

    pointCloudTimer = new QTimer(this);
    imageTimer = new QTimer(this);
    poseTimer = new QTimer(this);
    connect(pointCloudTimer, &QTimer::timeout, this, &PointCloudWidget::pollPointCloud);
    connect(imageTimer, &QTimer::timeout, this, &PointCloudWidget::pollImage);
    connect(poseTimer, &QTimer::timeout, this, &PointCloudWidget::pollPose);
    pointCloudTimer->start(pollIntervalMs);
    imageTimer->start(pollIntervalMs);
    poseTimer->start(pollIntervalMs);
}

void PointCloudWidget::resetViewSettings() {
    ViewSettings defaults;
    defaults.displayMode = GLPointCloudRenderer::RGB;
    defaults.renderMode = GLPointCloudRenderer::SingleFrame;
    defaults.infiniteFrames = false;
    defaults.maxFrames = maxFramesDefault;
    defaults.voxelSize = voxelDefault;
    defaults.maxPoints = maxPointsDefault;
    defaults.pointSize = pointSizeDefault;
    defaults.colormap = colour_scale::Turbo;
    defaults.autoColourRange = true;
    defaults.frameBudget = frameBudgetDefault;
    applyViewSettings(defaults);
}
