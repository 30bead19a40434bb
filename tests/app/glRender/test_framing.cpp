// Framing the scene: fit all frames every point but a few far outliers, the top view looks down,
// the orthographic view has no perspective, the chase camera sits behind and above the device, and
// the grid shows only when asked for.
#include "app/glRender/gl_point_cloud_renderer.h"
#include "tests/app/glRender/view_harness.h"

#include <random>

using namespace kest_test;

namespace {

constexpr int width = 400, height = 300;
const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, origin[3] = {0, 0, 0};

class Framing : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(show_and_wait(view, width, height));
        view.updatePose(0, identity, origin);
    }
    // Where the view draws a world point, in widget pixels, as last drawn.
    QPointF pixelOf(QVector3D world) {
        const QVector3D ndc = view.viewProjection().map(world);
        return {(ndc.x() + 1) / 2 * width, (1 - ndc.y()) / 2 * height};
    }
    GLPointCloudRenderer view;
};

} // namespace

TEST_F(Framing, FitAllFramesEveryPointButAFewFarOutliers) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> across(-5, 5), along(20, 30), up(-2, 8);
    std::vector<CloudPoint> points;
    for (int i = 0; i < 2000; ++i)
        points.push_back({along(random), across(random), up(random), 200, 200, 200, 0, 0});
    std::vector<CloudPoint> shown = points;
    for (int i = 0; i < 3; ++i)
        shown.push_back({900, 900, 900, 200, 200, 200, 0, 0});
    view.updatePointCloud(shown, 0);
    for (int preset : {-1, int(GLPointCloudRenderer::Top), int(GLPointCloudRenderer::Side)}) {
        SCOPED_TRACE(preset);
        if (preset < 0)
            view.frameAll();
        else
            view.viewFrom(preset);
        grab(view);
        EXPECT_LT(view.cameraDistance(), 100.0f) << "not pulled out by the outliers";
        int outside = 0;
        for (const CloudPoint &p : points)
            outside += !QRectF(0, 0, width, height).contains(pixelOf({p.x, p.y, p.z}));
        EXPECT_EQ(outside, 0);
    }
    const QVector3D across_scene = (view.targetPosition() - view.eyePosition()).normalized();
    EXPECT_NEAR(across_scene.y(), 1.0f, 1e-4f) << "the side view looks along y";
    view.viewFrom(GLPointCloudRenderer::Top);
    const QVector3D look = (view.targetPosition() - view.eyePosition()).normalized();
    EXPECT_NEAR(look.z(), -1.0f, 1e-4f) << "the top view looks down the z axis";
}

TEST_F(Framing, TheOrthographicViewHasNoPerspective) {
    const QVector3D near_point(0, 1, 0), far_point(10, 1, 0);
    grab(view);
    EXPECT_GT(std::abs(pixelOf(near_point).x() - pixelOf(far_point).x()), 10);
    view.setOrthographic(true);
    grab(view);
    EXPECT_NEAR(pixelOf(near_point).x(), pixelOf(far_point).x(), 0.01);
}

TEST_F(Framing, TheChaseCameraSitsBehindAndAboveTheDeviceAsItMoves) {
    view.setChaseMode(true);
    const double heading_y[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1}; // x along +y
    const double at[3] = {5, 5, 1};
    view.updatePose(1, heading_y, at);
    EXPECT_EQ(view.targetPosition(), QVector3D(5, 5, 1));
    const QVector3D eye = view.eyePosition();
    EXPECT_LT(eye.y(), 5 - 4) << "behind";
    EXPECT_NEAR(eye.x(), 5, 1e-3);
    EXPECT_GT(eye.z(), 1 + 1) << "above";
}

TEST_F(Framing, TheGridShowsOnTheFloorOnlyWhenAskedFor) {
    view.updatePointCloud(cloud_at(1, {30, 0, -1.5f}, 255, 0, 0), 0); // the floor's height
    const auto grey_pixels = [&] {
        const QImage image = grab(view);
        int count = 0;
        for (int y = height / 2; y < height; ++y)
            for (int x = 0; x < width - 120; ++x)
                count += near(image.pixelColor(x, y), 89, 89, 89, 6);
        return count;
    };
    EXPECT_EQ(grey_pixels(), 0);
    view.setGridShown(true);
    EXPECT_GT(grey_pixels(), 200);
    key(view, Qt::Key_G);
    EXPECT_FALSE(view.gridShownValue());
}
