// The colour scale of GLPointCloudRenderer: points coloured by height, range
// from the device or a coordinate through a colour map held in a 1D texture,
// over a range that is typed in or follows the points shown, and the colour bar
// that shows the map with its two ends in metres.
#include "app/glRender/gl_point_cloud_renderer.h"

#include <QOpenGLShaderProgram>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {

constexpr int barWidth = 16, barMargin = 12, barLabelRoom = 34, barLongest = 220;

const char *valueName(int mode) {
    switch (mode) {
    case GLPointCloudRenderer::Height:
        return "Height";
    case GLPointCloudRenderer::Range:
        return "Range";
    case GLPointCloudRenderer::AxisX:
        return "X";
    default:
        return "Y";
    }
}

QString metres(float value) {
    return QStringLiteral("%1 m").arg(static_cast<double>(value), 0, 'f', 2);
}

} // namespace

void GLPointCloudRenderer::setColormap(int map) {
    const int chosen = std::clamp(map, 0, colour_scale::colormapCount - 1);
    if (chosen == colormap)
        return;
    colormap = chosen;
    colormapStale = true;
    update();
}

void GLPointCloudRenderer::setAutoColourRange(bool on) {
    autoRange = on;
    rangeStale = true;
    update();
}

// A range typed in: the two ends in either order; equal ends span a millimetre.
void GLPointCloudRenderer::setColourRange(float low, float high) {
    if (!std::isfinite(low) || !std::isfinite(high))
        return;
    fixedLow = std::min(low, high);
    fixedHigh = std::max(std::max(low, high), fixedLow + 0.001f);
    rangeStale = true;
    update();
}

float GLPointCloudRenderer::valueOf(const CloudPoint &point, const QVector3D &device) const {
    switch (displayMode) {
    case Height:
        return point.z;
    case Range:
        return (QVector3D(point.x, point.y, point.z) - device).length();
    case AxisX:
        return point.x;
    default:
        return point.y;
    }
}

// Every n-th shown point: enough for robust percentiles however many are stored.
std::vector<CloudPoint> GLPointCloudRenderer::shownSample() const {
    const GLFrameStore &store = renderMode == SingleFrame ? latest : accumulated;
    const auto total = static_cast<size_t>(std::max<long long>(store.pointCount(), 0));
    const size_t stride = std::max<size_t>(1, total / colour_scale::rangeSample);
    std::vector<CloudPoint> sample;
    sample.reserve(total / stride + 1);
    size_t index = 0;
    for (const auto &frame : store.storedFrames())
        for (const CloudPoint &point : frame->points)
            if (index++ % stride == 0)
                sample.push_back(point);
    return sample;
}

void GLPointCloudRenderer::refreshColourRange() {
    rangeStale = false;
    if (!autoRange) {
        shownLow = fixedLow;
        shownHigh = fixedHigh;
        return;
    }
    const QVector3D device = poseMatrix.column(3).toVector3D();
    const std::vector<CloudPoint> sample = shownSample();
    std::vector<float> values(sample.size());
    std::transform(sample.begin(), sample.end(), values.begin(),
                   [&](const CloudPoint &point) { return valueOf(point, device); });
    if (const auto range = colour_scale::robustRange(std::move(values))) {
        shownLow = range->first;
        shownHigh = range->second;
    }
}

// With the context current.
void GLPointCloudRenderer::uploadColormap() {
    if (colormapTexture == 0)
        glGenTextures(1, &colormapTexture);
    const auto colours = colour_scale::table(static_cast<colour_scale::Colormap>(colormap));
    glBindTexture(GL_TEXTURE_1D, colormapTexture);
    // One row of 768 bytes: the default unpack alignment of 4 holds, and stays
    // as the overlays' painter expects it.
    glTexImage1D(GL_TEXTURE_1D, 0, GL_RGB8, colour_scale::tableSize, 0, GL_RGB, GL_UNSIGNED_BYTE,
                 colours.data());
    glTexParameteri(GL_TEXTURE_1D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_1D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_1D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    colormapStale = false;
}

// The uniforms of the value modes, with the point program bound.
void GLPointCloudRenderer::bindColourScale() {
    if (!colouredByValue(displayMode))
        return;
    if (colormapStale || colormapTexture == 0)
        uploadColormap();
    if (rangeStale)
        refreshColourRange();
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_1D, colormapTexture);
    pointProgram->setUniformValue(colormapLocation, 0);
    pointProgram->setUniformValue(scaleRangeLocation, QVector2D(shownLow, shownHigh));
    pointProgram->setUniformValue(devicePositionLocation, poseMatrix.column(3).toVector3D());
}

QRect GLPointCloudRenderer::colourBarRect() const {
    const int length = std::min(barLongest, height() - 2 * (barMargin + barLabelRoom));
    return QRect(width() - barMargin - barWidth, barMargin + barLabelRoom, barWidth,
                 std::max(length, 0));
}

// The high end at the top; the name and the high value above, the low value below.
void GLPointCloudRenderer::drawColourBar(QPainter &painter) {
    const QRect bar = colourBarRect();
    if (!colouredByValue(displayMode) || bar.height() < 2)
        return;
    QImage strip(1, colour_scale::tableSize, QImage::Format_RGB32);
    const auto colours = colour_scale::table(static_cast<colour_scale::Colormap>(colormap));
    for (int i = 0; i < colour_scale::tableSize; ++i) {
        const auto &c = colours[static_cast<size_t>(colour_scale::tableSize - 1 - i)];
        strip.setPixelColor(0, i, QColor(c[0], c[1], c[2]));
    }
    painter.drawImage(bar, strip);
    painter.setPen(Qt::white);
    const QFontMetrics metrics = painter.fontMetrics();
    const auto right = [&](int baseline, const QString &text) {
        painter.drawText(bar.right() - metrics.horizontalAdvance(text), baseline, text);
    };
    right(bar.top() - metrics.height() - metrics.descent() - 2, tr(valueName(displayMode)));
    right(bar.top() - metrics.descent() - 2, metres(shownHigh));
    right(bar.bottom() + metrics.ascent() + 2, metres(shownLow));
}
