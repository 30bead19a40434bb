// The orbit camera: reset, orbit, pitch limit, zoom, pan and the follow jump.
#include "app/glRender/gl_point_cloud_renderer.h"
#include "tests/app/glRender/view_harness.h"

#include <cmath>

using namespace kest_test;

namespace {

::testing::AssertionResult at(const QVector3D &seen, QVector3D wanted) {
    if ((seen - wanted).length() <= 1e-3f)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "(" << seen.x() << ", " << seen.y() << ", " << seen.z() << ") instead of ("
           << wanted.x() << ", " << wanted.y() << ", " << wanted.z() << ")";
}

class Camera : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(show_and_wait(view, 320, 240)); }
    GLPointCloudRenderer view;
};

} // namespace

TEST_F(Camera, OrbitsAboutTheTargetWithThePitchHeldShortOfVertical) {
    EXPECT_TRUE(at(view.eyePosition(), {-10, 0, 0}));
    drag(view, Qt::LeftButton, {100, 100}, {280, 100}); // 180 pixels right: -90 degrees about z
    EXPECT_TRUE(at(view.eyePosition(), {0, 10, 0}));
    EXPECT_TRUE(at(view.targetPosition(), {0, 0, 0}));
    const struct {
        int from, to;
        float pitch;
    } drags[] = {{0, 1000, -89}, {100, 80, -79}, {1000, 0, 89}};
    for (const auto &each : drags) {
        drag(view, Qt::LeftButton, {100, each.from}, {100, each.to});
        const QVector3D forward = (view.targetPosition() - view.eyePosition()).normalized();
        EXPECT_NEAR(std::asin(forward.z()) * 180 / M_PI, each.pitch, 0.01)
            << each.from << " to " << each.to;
    }
    EXPECT_NEAR(view.cameraDistance(), 10.0f, 1e-4f);
    key(view, Qt::Key_R);
    EXPECT_TRUE(at(view.eyePosition(), {-10, 0, 0}));
}

TEST_F(Camera, WheelZoomsByATenthPerNotchWithinBoundsAndRightDragPans) {
    for (int i = 0; i < 10; ++i)
        wheel(view, 1);
    EXPECT_NEAR(view.cameraDistance(), 10.0 * std::pow(0.9, 10), 1e-3);
    for (int i = 0; i < 100; ++i)
        wheel(view, 1);
    EXPECT_FLOAT_EQ(view.cameraDistance(), 0.1f);
    for (int i = 0; i < 200; ++i)
        wheel(view, -1);
    EXPECT_FLOAT_EQ(view.cameraDistance(), 1000.0f);

    key(view, Qt::Key_R);
    drag(view, Qt::RightButton, {100, 100}, {200, 100}); // 100 pixels at distance 10
    EXPECT_TRUE(at(view.targetPosition(), {0, 2, 0}));
    drag(view, Qt::RightButton, {100, 100}, {100, 150}); // 50 pixels down: up by 1
    EXPECT_TRUE(at(view.targetPosition(), {0, 2, 1}));
    mouse(view, QEvent::MouseMove, Qt::NoButton, {300, 300}, Qt::NoButton); // no button held
    EXPECT_TRUE(at(view.targetPosition(), {0, 2, 1}));
}

TEST_F(Camera, FollowKeyJumpsToThePoseAndBack) {
    const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, translation[3] = {1, 2, 3};
    // Turned 90 degrees about z, given column by column: its x axis is the world's +y.
    const double turned[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1};
    const struct {
        const double *rotation;
        QVector3D target; // the pose's position plus its x axis
        int leave;        // a reset ends follow mode too: the next F jumps again
    } rounds[] = {{identity, {2, 2, 3}, Qt::Key_F},
                  {turned, {1, 3, 3}, Qt::Key_R},
                  {identity, {2, 2, 3}, Qt::Key_F}};
    for (const auto &each : rounds) {
        view.updatePose(0, each.rotation, translation);
        key(view, Qt::Key_F);
        EXPECT_TRUE(view.followModeValue());
        EXPECT_TRUE(at(view.targetPosition(), each.target)) << "looking along the pose's x axis";
        // The eye is derived again from the camera's own rotation, which the jump keeps: only an
        // unturned pose puts it at the pose's position.
        if (each.rotation == identity) {
            EXPECT_TRUE(at(view.eyePosition(), {1, 2, 3}));
        }
        EXPECT_NEAR(view.cameraDistance(), 1.0f, 1e-5f);
        key(view, each.leave);
        EXPECT_FALSE(view.followModeValue());
        EXPECT_TRUE(at(view.eyePosition(), {-10, 0, 0}));
    }
}

TEST_F(Camera, NumberKeysChooseTheDisplayMode) {
    const std::pair<int, int> keys[] = {{Qt::Key_2, GLPointCloudRenderer::Intensity},
                                        {Qt::Key_3, GLPointCloudRenderer::Label},
                                        {Qt::Key_1, GLPointCloudRenderer::RGB},
                                        {Qt::Key_9, GLPointCloudRenderer::RGB}};
    for (const auto &[pressed, mode] : keys) {
        key(view, pressed);
        EXPECT_EQ(view.displayModeValue(), mode) << "key " << pressed;
    }
}
