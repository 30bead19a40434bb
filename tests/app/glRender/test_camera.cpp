// The orbit camera: reset, orbit, pitch limit, zoom, pan, the follow jump and the keys.
#include "app/glRender/gl_point_cloud_renderer.h"
#include "tests/app/glRender/view_harness.h"

#include <QSignalSpy>

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

float pitch_degrees(const GLPointCloudRenderer &view) {
    QVector3D forward = (view.targetPosition() - view.eyePosition()).normalized();
    return std::asin(forward.z()) * 180.0f / static_cast<float>(M_PI);
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
    } drags[] = {{0, 1000, -89}, {0, 500, -89}, {100, 80, -79}, {1000, 0, 89}};
    for (const auto &each : drags) {
        drag(view, Qt::LeftButton, {100, each.from}, {100, each.to});
        EXPECT_NEAR(pitch_degrees(view), each.pitch, 0.01f) << each.from << " to " << each.to;
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
    mouse(view, QEvent::MouseMove, Qt::NoButton, {300, 300},
          Qt::NoButton); // no button held: nothing moves
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
        if (each.rotation == identity) {
            EXPECT_TRUE(at(view.eyePosition(), {1, 2, 3}));
        }
        EXPECT_NEAR(view.cameraDistance(), 1.0f, 1e-5f);
        key(view, each.leave);
        EXPECT_FALSE(view.followModeValue());
        EXPECT_TRUE(at(view.eyePosition(), {-10, 0, 0}));
    }
}

TEST_F(Camera, KeysChooseTheDisplayModeAndLeftPressesSignal) {
    const struct {
        int key;
        int mode;
    } keys[] = {{Qt::Key_2, GLPointCloudRenderer::Intensity},
                {Qt::Key_3, GLPointCloudRenderer::Label},
                {Qt::Key_1, GLPointCloudRenderer::RGB},
                {Qt::Key_9, GLPointCloudRenderer::RGB}};
    for (const auto &each : keys) {
        key(view, each.key);
        EXPECT_EQ(view.displayModeValue(), each.mode) << "key " << each.key;
    }
    QSignalSpy clicked(&view, &GLPointCloudRenderer::widgetClicked);
    press(view, Qt::RightButton, {5, 5});
    press(view, Qt::MiddleButton, {5, 5});
    EXPECT_EQ(clicked.count(), 0);
    press(view, Qt::LeftButton, {5, 5});
    EXPECT_EQ(clicked.count(), 1);
}
