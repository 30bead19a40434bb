// Colouring by a value: the colour map's colours where points of known height are drawn, a range
// that follows the points but not their few outliers, switches that upload nothing, and the colour
// bar beside the view.
#include "app/glRender/colour_scale.h"
#include "app/glRender/gl_point_cloud_renderer.h"
#include "app/glRender/point_cloud_widget.h"
#include "tests/app/glRender/view_harness.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>

using namespace kest_test;
using colour_scale::colourAt;

namespace {

constexpr int width = 400, height = 300, clear_grey = 26;
const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, behind[3] = {-50, 0, 0};

class ColourScale : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(show_and_wait(view, width, height));
        view.updatePose(0, identity, behind);
        view.setPointSize(9);
    }
    // Three points side by side at the heights 0, 0.5 and 1, seen from the reset camera.
    void drawSteps() {
        std::vector<CloudPoint> points;
        for (float z : {0.0f, 0.5f, 1.0f})
            points.push_back({0, 2.0f - 4.0f * z, z, 9, 9, 9, 0, 0});
        view.updatePointCloud(points, 0);
    }
    testing::AssertionResult shows(colour_scale::Colormap map) {
        const QImage image = grab(view);
        for (float z : {0.0f, 0.5f, 1.0f}) {
            const auto want = colourAt(map, z);
            const QPointF at = reset_camera_pixel({0, 2.0f - 4.0f * z, z}, width, height);
            if (!near(image.pixelColor(at.toPoint()), want[0], want[1], want[2], 4))
                return testing::AssertionFailure()
                       << "height " << z << ": "
                       << image.pixelColor(at.toPoint()).name().toStdString();
        }
        return testing::AssertionSuccess();
    }
    GLPointCloudRenderer view;
};

} // namespace

TEST_F(ColourScale, HeightsShowTheMapsColoursAndSwitchingUploadsNothing) {
    view.setAutoColourRange(false);
    view.setColourRange(1, 0); // either order
    view.setDisplayMode(GLPointCloudRenderer::Height);
    drawSteps();
    EXPECT_TRUE(shows(colour_scale::Turbo));
    const unsigned long long uploaded = view.uploadedPoints();
    EXPECT_EQ(uploaded, 3u);
    view.setColormap(colour_scale::Viridis);
    EXPECT_TRUE(shows(colour_scale::Viridis));
    view.setDisplayMode(GLPointCloudRenderer::RGB);
    EXPECT_TRUE(near(grab(view).pixelColor(reset_camera_pixel({0, 2, 0}, width, height).toPoint()),
                     9, 9, 9, 2));
    key(view, Qt::Key_4);
    EXPECT_EQ(view.displayModeValue(), GLPointCloudRenderer::Height);
    view.setColourRange(0, 2); // the top point now shows the middle of the map
    const QPointF top = reset_camera_pixel({0, -2, 1}, width, height);
    const auto middle = colourAt(colour_scale::Viridis, 0.5f);
    EXPECT_TRUE(near(grab(view).pixelColor(top.toPoint()), middle[0], middle[1], middle[2], 4));
    key(view, Qt::Key_5);
    EXPECT_EQ(view.displayModeValue(), GLPointCloudRenderer::Range);
    grab(view);
    EXPECT_EQ(view.uploadedPoints(), uploaded) << "no mode, map or range uploads points again";
}

// The automatic range is the 2nd to 98th percentile of what is shown: ten far points of a thousand
// do not squeeze the rest into one colour.
TEST_F(ColourScale, TheAutomaticRangeFollowsThePointsNotTheirOutliers) {
    view.setDisplayMode(GLPointCloudRenderer::Height);
    std::vector<CloudPoint> points;
    for (int i = 0; i < 990; ++i)
        points.push_back({1, 0, i / 99.0f, 9, 9, 9, 0, 0}); // 0 to 10 m
    for (int i = 0; i < 10; ++i)
        points.push_back({1, 0, 500.0f, 9, 9, 9, 0, 0});
    view.updatePointCloud(points, 0);
    grab(view);
    auto [low, high] = view.colourRange();
    EXPECT_NEAR(low, 0.2f, 0.1f);
    EXPECT_NEAR(high, 9.9f, 0.2f);
    view.setRenderMode(GLPointCloudRenderer::Accumulate);
    view.updatePointCloud(cloud_at(1000, {1, 0, 20}), 0); // the scene grows upward
    view.updatePointCloud(cloud_at(1000, {1, 0, -20}), 0);
    grab(view);
    std::tie(low, high) = view.colourRange();
    EXPECT_EQ(low, -20.0f);
    EXPECT_EQ(high, 20.0f);
    EXPECT_FALSE(colour_scale::robustRange({NAN, INFINITY}).has_value());
}

TEST_F(ColourScale, TheColourBarShowsTheMapWithItsEndsOnlyInTheValueModes) {
    const QRect bar = view.colourBarRect();
    ASSERT_GT(bar.height(), 50);
    const QPoint top(bar.center().x(), bar.top() + 1), bottom(bar.center().x(), bar.bottom() - 1);
    const auto white_above = [&](const QImage &image) {
        int count = 0;
        for (int y = bar.top() - 30; y < bar.top(); ++y)
            for (int x = bar.left() - 60; x <= bar.right(); ++x)
                count += image.pixelColor(x, y).lightness() > 200;
        return count;
    };
    view.setDisplayMode(GLPointCloudRenderer::Height);
    view.updatePointCloud(cloud_at(1, {0, 0, 0}), 0);
    QImage image = grab(view);
    const auto high = colourAt(colour_scale::Turbo, 1), low = colourAt(colour_scale::Turbo, 0);
    EXPECT_TRUE(near(image.pixelColor(top), high[0], high[1], high[2], 6))
        << image.pixelColor(top).name().toStdString();
    EXPECT_TRUE(near(image.pixelColor(bottom), low[0], low[1], low[2], 6))
        << image.pixelColor(bottom).name().toStdString();
    EXPECT_GT(white_above(image), 20) << "the name and the high end written above the bar";
    view.setDisplayMode(GLPointCloudRenderer::RGB);
    image = grab(view);
    EXPECT_TRUE(near(image.pixelColor(top), clear_grey, clear_grey, clear_grey, 2));
    EXPECT_EQ(white_above(image), 0);
}

// The panel's colour scale reaches the view; while automatic its fields show the range in use.
TEST(ColourScalePanel, TheMapAndARangeTypedInReachTheView) {
    PointCloudWidget panel;
    ASSERT_TRUE(show_and_wait(panel, 900, 600));
    GLPointCloudRenderer &view = *panel.renderer();
    auto *mode = panel.findChild<QComboBox *>("displayModeCombo");
    auto *low = panel.findChild<QDoubleSpinBox *>("rangeLowSpin");
    auto *high = panel.findChild<QDoubleSpinBox *>("rangeHighSpin");
    ASSERT_TRUE(mode && low && high);
    mode->setCurrentIndex(mode->findText("Height"));
    EXPECT_EQ(view.displayModeValue(), GLPointCloudRenderer::Height);
    view.updatePointCloud({{0, 0, -1, 9, 9, 9, 0, 0}, {0, 0, 3, 9, 9, 9, 0, 0}}, 0);
    grab(view);
    EXPECT_FALSE(low->isEnabled());
    EXPECT_TRUE(QTest::qWaitFor([&] { return low->value() < -0.9 && high->value() > 2.9; }));
    panel.findChild<QCheckBox *>("autoRangeCheck")->setChecked(false);
    high->setValue(7.5);
    grab(view);
    EXPECT_EQ(view.colourRange(), std::make_pair(static_cast<float>(low->value()), 7.5f));
    auto *map = panel.findChild<QComboBox *>("colormapCombo");
    map->setCurrentIndex(map->findText("Grey"));
    EXPECT_EQ(view.colormapValue(), colour_scale::Grey);
}
