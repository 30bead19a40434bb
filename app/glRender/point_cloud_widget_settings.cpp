// The view controls of PointCloudWidget kept between runs (QSettings, keys
// under "view/"). Stored values are set on the controls, never on the renderer
// directly, so the controls' own slots keep the two in step.
#include "app/glRender/point_cloud_widget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QSettings>
#include <QSpinBox>

#include <cmath>

namespace {

const char *const displayModeKey = "view/displayMode";
const char *const renderModeKey = "view/renderMode";
const char *const infiniteFramesKey = "view/infiniteFrames";
const char *const maxFramesKey = "view/maxFrames";
const char *const voxelSizeKey = "view/voxelSize";
const char *const maxPointsKey = "view/maxPoints";
const char *const pointSizeKey = "view/pointSize";
const char *const colormapKey = "view/colormap";
const char *const autoColourRangeKey = "view/autoColourRange";
const char *const colourLowKey = "view/colourLow";
const char *const colourHighKey = "view/colourHigh";
const char *const frameBudgetKey = "view/frameBudget";

// A whole number within [low, high]; anything else, a missing key included, is nothing.
std::optional<int> storedInt(const QSettings &settings, const char *key, int low, int high) {
    bool ok = false;
    const int value = settings.value(key).toInt(&ok);
    if (!ok || value < low || value > high)
        return std::nullopt;
    return value;
}

std::optional<double> storedDouble(const QSettings &settings, const char *key, double low,
                                   double high) {
    bool ok = false;
    const double value = settings.value(key).toDouble(&ok);
    if (!ok || !std::isfinite(value) || value < low || value > high)
        return std::nullopt;
    return value;
}

// INI files give booleans back as "true" and "false"; QVariant::toBool would
// take any other text as true.
std::optional<bool> storedBool(const QSettings &settings, const char *key) {
    const QVariant stored = settings.value(key);
    if (stored.typeId() == QMetaType::Bool)
        return stored.toBool();
    const QString text = stored.toString().trimmed().toLower();
    if (text == "true")
        return true;
    if (text == "false")
        return false;
    return std::nullopt;
}

// One of the combo box's item data values.
std::optional<int> storedItem(const QSettings &settings, const char *key, const QComboBox &combo) {
    bool ok = false;
    const int value = settings.value(key).toInt(&ok);
    if (!ok || combo.findData(value) < 0)
        return std::nullopt;
    return value;
}

} // namespace

void PointCloudWidget::saveViewSettings(QSettings &settings) const {
    settings.setValue(displayModeKey, displayModeCombo->currentData().toInt());
    settings.setValue(renderModeKey, renderModeCombo->currentData().toInt());
    settings.setValue(infiniteFramesKey, infiniteFramesCheck->isChecked());
    settings.setValue(maxFramesKey, maxFramesSpin->value());
    settings.setValue(voxelSizeKey, voxelSizeSpin->value());
    settings.setValue(maxPointsKey, maxPointsSpin->value());
    settings.setValue(pointSizeKey, pointSizeSpin->value());
    settings.setValue(colormapKey, colormapCombo->currentData().toInt());
    settings.setValue(autoColourRangeKey, autoRangeCheck->isChecked());
    settings.setValue(colourLowKey, rangeLowSpin->value());
    settings.setValue(colourHighKey, rangeHighSpin->value());
    settings.setValue(frameBudgetKey, frameBudgetSpin->value());
}

void PointCloudWidget::restoreViewSettings(const QSettings &settings) {
    ViewSettings stored;
    stored.displayMode = storedItem(settings, displayModeKey, *displayModeCombo);
    stored.renderMode = storedItem(settings, renderModeKey, *renderModeCombo);
    stored.infiniteFrames = storedBool(settings, infiniteFramesKey);
    stored.maxFrames =
        storedInt(settings, maxFramesKey, maxFramesSpin->minimum(), maxFramesSpin->maximum());
    stored.voxelSize =
        storedDouble(settings, voxelSizeKey, voxelSizeSpin->minimum(), voxelSizeSpin->maximum());
    stored.maxPoints =
        storedInt(settings, maxPointsKey, maxPointsSpin->minimum(), maxPointsSpin->maximum());
    stored.pointSize =
        storedDouble(settings, pointSizeKey, pointSizeSpin->minimum(), pointSizeSpin->maximum());
    stored.colormap = storedItem(settings, colormapKey, *colormapCombo);
    stored.autoColourRange = storedBool(settings, autoColourRangeKey);
    stored.colourLow =
        storedDouble(settings, colourLowKey, rangeLowSpin->minimum(), rangeLowSpin->maximum());
    stored.colourHigh =
        storedDouble(settings, colourHighKey, rangeHighSpin->minimum(), rangeHighSpin->maximum());
    stored.frameBudget =
        storedInt(settings, frameBudgetKey, frameBudgetSpin->minimum(), frameBudgetSpin->maximum());
    applyViewSettings(stored);
}

// The frame limit goes first and the render mode last: the limit's slot sets
// the renderer's limit even while "Infinite Frames" is checked, and the check
// box and render mode slots then settle the limit and the spin box's state.
void PointCloudWidget::applyViewSettings(const ViewSettings &values) {
    if (values.maxFrames)
        maxFramesSpin->setValue(*values.maxFrames);
    if (values.infiniteFrames)
        infiniteFramesCheck->setChecked(*values.infiniteFrames);
    if (values.renderMode)
        renderModeCombo->setCurrentIndex(renderModeCombo->findData(*values.renderMode));
    if (values.displayMode)
        displayModeCombo->setCurrentIndex(displayModeCombo->findData(*values.displayMode));
    if (values.voxelSize)
        voxelSizeSpin->setValue(*values.voxelSize);
    if (values.maxPoints)
        maxPointsSpin->setValue(*values.maxPoints);
    if (values.pointSize)
        pointSizeSpin->setValue(*values.pointSize);
    if (values.colormap)
        colormapCombo->setCurrentIndex(colormapCombo->findData(*values.colormap));
    if (values.colourLow)
        rangeLowSpin->setValue(*values.colourLow);
    if (values.colourHigh)
        rangeHighSpin->setValue(*values.colourHigh);
    if (values.autoColourRange)
        autoRangeCheck->setChecked(*values.autoColourRange);
    if (values.frameBudget)
        frameBudgetSpin->setValue(*values.frameBudget);
}
