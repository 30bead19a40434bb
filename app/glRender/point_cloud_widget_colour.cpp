// The panel's "Colour Scale" group: the colour map of the value display modes
// (height, range, x, y) and its range, automatic or typed in. While automatic,
// the two fields show the range in use, so that unticking keeps it.
#include "app/glRender/point_cloud_widget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace {

constexpr double rangeLimit = 10000.0; // metres either way
constexpr int rangeDecimals = 2;

QDoubleSpinBox *rangeField(const char *name) {
    auto *field = new QDoubleSpinBox;
    field->setObjectName(QLatin1String(name));
    field->setRange(-rangeLimit, rangeLimit);
    field->setDecimals(rangeDecimals);
    field->setSuffix(QStringLiteral(" m"));
    field->setEnabled(false);
    return field;
}

} // namespace

QWidget *PointCloudWidget::buildColourScaleGroup() {
    auto *group = new QGroupBox("Colour Scale");
    auto *layout = new QVBoxLayout(group);
    layout->setContentsMargins(6, 0, 6, 3);
    layout->setSpacing(2);
    colormapCombo = new QComboBox;
    colormapCombo->setObjectName(QStringLiteral("colormapCombo"));
    colormapCombo->addItem("Turbo", colour_scale::Turbo);
    colormapCombo->addItem("Viridis", colour_scale::Viridis);
    colormapCombo->addItem("Grey", colour_scale::Grey);
    autoRangeCheck = new QCheckBox("Automatic Range");
    autoRangeCheck->setObjectName(QStringLiteral("autoRangeCheck"));
    autoRangeCheck->setChecked(true);
    rangeLowSpin = rangeField("rangeLowSpin");
    rangeHighSpin = rangeField("rangeHighSpin");
    rangeHighSpin->setValue(1.0);
    auto *ends = new QHBoxLayout;
    ends->addWidget(rangeLowSpin);
    ends->addWidget(new QLabel("to"));
    ends->addWidget(rangeHighSpin);
    layout->addWidget(colormapCombo);
    layout->addWidget(autoRangeCheck);
    layout->addLayout(ends);
    connect(colormapCombo, &QComboBox::currentIndexChanged, this, [this] {
        if (container)
            renderer()->setColormap(colormapCombo->currentData().toInt());
    });
    connect(autoRangeCheck, &QCheckBox::toggled, this, &PointCloudWidget::onColourRangeChanged);
    connect(rangeLowSpin, &QDoubleSpinBox::valueChanged, this,
            &PointCloudWidget::onColourRangeChanged);
    connect(rangeHighSpin, &QDoubleSpinBox::valueChanged, this,
            &PointCloudWidget::onColourRangeChanged);
    return group;
}

void PointCloudWidget::onColourRangeChanged() {
    const bool automatic = autoRangeCheck->isChecked();
    rangeLowSpin->setEnabled(!automatic);
    rangeHighSpin->setEnabled(!automatic);
    if (!container)
        return;
    if (!automatic)
        renderer()->setColourRange(static_cast<float>(rangeLowSpin->value()),
                                   static_cast<float>(rangeHighSpin->value()));
    renderer()->setAutoColourRange(automatic);
}

// While automatic, the fields follow the range the view last used.
void PointCloudWidget::showAutomaticRange() {
    if (!container || !autoRangeCheck->isChecked())
        return;
    const auto [low, high] = renderer()->colourRange();
    const QSignalBlocker quietLow(rangeLowSpin), quietHigh(rangeHighSpin);
    rangeLowSpin->setValue(low);
    rangeHighSpin->setValue(high);
}
