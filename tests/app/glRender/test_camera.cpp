// The orbit camera: reset, orbit, pitch limit, zoom, pan, the follow jump and
// the keys.
#include "app/glRender/gl_point_cloud_renderer.h"
#include "tests/app/glRender/view_harness.h"

#include <QSignalSpy>

#include <cmath>

using namespace kest_test;

namespace {

::testing::AssertionResult at(const QVector3D &seen, QVector3D wanted, float tolerance = 1e-3f) {
    if ((seen - wanted).length() <= tolerance)
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

    drag(view, Qt::LeftButton, {100, 0}, {100, 1000}); // far down: pitch stops at -89
    EXPECT_NEAR(pitch_degrees(view), -89.0f, 0.01f);
    drag(view, Qt::LeftButton, {100, 0}, {100, 500});
    EXPECT_NEAR(pitch_degrees(view), -89.0f, 0.01f) << "no further";
    drag(view, Qt::LeftButton, {100, 100}, {100, 80}); // reversing turns it back
    EXPECT_NEAR(pitch_degrees(view), -79.0f, 0.01f);
    drag(view, Qt::LeftButton, {100, 1000}, {100, 0});
    EXPECT_NEAR(pitch_degrees(view), 89.0f, 0.01f);
    EXPECT_NEAR(view.cameraDistance(), 10.0f, 1e-4f);

    key(view, Qt::Key_R);
    EXPECT_TRUE(at(view.eyePosition(), {-10, 0, 0}));
}

TEST_F(Camera, WheelZoomsByATenthPerNotchWithinBounds) {
    for (int i = 0; i < 10; ++i)
        wheel(view, 1);
    EXPECT_NEAR(view.cameraDistance(), 10.0 * std::pow(0.9, 10), 1e-3);
    for (int i = 0; i < 100; ++i)
        wheel(view, 1);
    EXPECT_FLOAT_EQ(view.cameraDistance(), 0.1f);
    for (int i = 0; i < 200; ++i)
        wheel(view, -1);
    EXPECT_FLOAT_EQ(view.cameraDistance(), 1000.0f);
}

TEST_F(Camera, RightDragPansTheTarget) {
    drag(view, Qt::RightButton, {100, 100}, {200, 100}); // 100 pixels at distance 10
    EXPECT_TRUE(at(view.targetPosition(), {0, 2, 0}));
    drag(view, Qt::RightButton, {100, 100}, {100, 150}); // 50 pixels down: up by 1
    EXPECT_TRUE(at(view.targetPosition(), {0, 2, 1}));
    move_to(view, {300, 300}, Qt::NoButton); // no button held: nothing moves
    EXPECT_TRUE(at(view.targetPosition(), {0, 2, 1}));
}

TEST_F(Camera, FollowKeyJumpsToThePoseAndBack) {
    const double rotation[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    const double translation[3] = {1, 2, 3};
    view.updatePose(0, rotation, translation);
    key(view, Qt::Key_F);
    EXPECT_TRUE(view.followModeValue());
    EXPECT_TRUE(at(view.eyePosition(), {1, 2, 3}));
    EXPECT_TRUE(at(view.targetPosition(), {2, 2, 3})) << "looking along the pose's x axis";
    EXPECT_NEAR(view.cameraDistance(), 1.0f, 1e-5f);
    key(view, Qt::Key_F);
    EXPECT_FALSE(view.followModeValue());
    EXPECT_TRUE(at(view.eyePosition(), {-10, 0, 0}));

    view.updatePose(0, rotation, translation);
    key(view, Qt::Key_F);
    key(view, Qt::Key_R); // a reset ends follow mode too: the next F jumps again
    EXPECT_FALSE(view.followModeValue());
    EXPECT_TRUE(at(view.eyePosition(), {-10, 0, 0}));
    view.updatePose(0, rotation, translation);
    key(view, Qt::Key_F);
    EXPECT_TRUE(at(view.eyePosition(), {1, 2, 3}));
}

TEST_F(Camera, KeysChooseTheDisplayModeAndLeftPressesSignal) {
    key(view, Qt::Key_2);
    EXPECT_EQ(view.displayModeValue(), GLPointCloudRenderer::Intensity);
    key(view, Qt::Key_3);
    EXPECT_EQ(view.displayModeValue(), GLPointCloudRenderer::Label);
    key(view, Qt::Key_1);
    EXPECT_EQ(view.displayModeValue(), GLPointCloudRenderer::RGB);
    key(view, Qt::Key_9);
    EXPECT_EQ(view.displayModeValue(), GLPointCloudRenderer::RGB);

    QSignalSpy clicked(&view, &GLPointCloudRenderer::widgetClicked);
    press(view, Qt::RightButton, {5, 5});
    press(view, Qt::MiddleButton, {5, 5});
    EXPECT_EQ(clicked.count(), 0);
    press(view, Qt::LeftButton, {5, 5});
    EXPECT_EQ(clicked.count(), 1);
}
