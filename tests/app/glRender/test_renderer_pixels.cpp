// What the point cloud view really draws, read back from its framebuffer: the
// display modes' colours, point size, the stored frames, the pose axes and the
// corner gizmo.
#include "app/glRender/gl_point_cloud_renderer.h"
#include "tests/app/glRender/view_harness.h"

#include <algorithm>

#include <QOpenGLContext>
#include <QOpenGLFunctions>

using namespace kest_test;

namespace {

constexpr int width = 400, height = 300;
constexpr int clear_grey = 26; // 0.1 of 255, rounded

class Pixels : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(show_and_wait(view, width, height));
        park_pose_axes();
    }
    // The pose axes go behind the camera, out of the way of what a test looks at.
    void park_pose_axes() {
        const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, behind[3] = {-50, 0, 0};
        view.updatePose(0, identity, behind);
    }
    // One point at the origin, drawn at the middle of the view.
    QColor middle_of(const CloudPoint &point, int mode) {
        view.setDisplayMode(mode);
        view.updatePointCloud({point}, 0);
        return grab(view).pixelColor(width / 2, height / 2);
    }
    // Pixels whose colour is not the clear grey.
    static std::vector<QPoint> drawn(const QImage &image) {
        std::vector<QPoint> out;
        for (int row = 0; row < image.height(); ++row)
            for (int col = 0; col < image.width(); ++col)
                if (!near(image.pixelColor(col, row), clear_grey, clear_grey, clear_grey, 2))
                    out.emplace_back(col, row);
        return out;
    }
    GLPointCloudRenderer view;
};

CloudPoint at_origin(uint8_t r, uint8_t g, uint8_t b, uint8_t intensity = 0, uint32_t label = 0) {
    return {0, 0, 0, r, g, b, intensity, label};
}

} // namespace

TEST_F(Pixels, DisplayModesColourThePoints) {
    view.setPointSize(9);
    QColor own = middle_of(at_origin(255, 128, 0), GLPointCloudRenderer::RGB);
    EXPECT_TRUE(near(own, 255, 128, 0, 2)) << own.name().toStdString();

    struct {
        uint8_t intensity;
        int r, g, b;
    } ramp[] = {{0, 0, 0, 255}, {84, 0, 255, 0}, {168, 255, 255, 0}, {255, 255, 0, 0}};
    for (const auto &step : ramp) {
        QColor seen =
            middle_of(at_origin(9, 9, 9, step.intensity), GLPointCloudRenderer::Intensity);
        EXPECT_TRUE(near(seen, step.r, step.g, step.b, 4))
            << "intensity " << int(step.intensity) << " gave " << seen.name().toStdString();
    }

    QColor label0 = middle_of(at_origin(9, 9, 9, 0, 0), GLPointCloudRenderer::Label);
    EXPECT_TRUE(near(label0, 255, 0, 0, 2)) << label0.name().toStdString();
    QColor label1 = middle_of(at_origin(9, 9, 9, 0, 1), GLPointCloudRenderer::Label);
    EXPECT_TRUE(near(label1, 0, 74, 255, 3))
        << "hue 0.618: (0, 0.29, 1), got " << label1.name().toStdString();

    QColor unknown_mode = middle_of(at_origin(10, 200, 30), 5);
    EXPECT_TRUE(near(unknown_mode, 10, 200, 30, 2)) << unknown_mode.name().toStdString();
}

TEST_F(Pixels, PointSizeIsTheSideOfTheDrawnSquare) {
    for (int side : {3, 9}) {
        view.setPointSize(static_cast<float>(side));
        view.updatePointCloud({at_origin(255, 128, 0)}, 0);
        QImage image = grab(view);
        int count = 0, first_row = height, last_row = -1;
        for (const QPoint &p : drawn(image)) {
            if (!near(image.pixelColor(p), 255, 128, 0, 2))
                continue;
            ++count;
            first_row = std::min(first_row, p.y());
            last_row = std::max(last_row, p.y());
        }
        EXPECT_EQ(count, side * side) << "point size " << side;
        EXPECT_EQ(last_row - first_row + 1, side) << "point size " << side;
    }
}

TEST_F(Pixels, PoseAxesStartAtThePosesTranslation) {
    const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, translation[3] = {1, 2, 3};
    view.updatePose(0, identity, translation);
    QImage image = grab(view);
    // Blue z axis from (1, 2, 3) up, green y axis from (1, 2, 3) along +y.
    EXPECT_TRUE(any_near(image, reset_camera_pixel({1, 2, 3.5f}, width, height), 2, 0, 0, 255, 40));
    EXPECT_TRUE(any_near(image, reset_camera_pixel({1, 2.5f, 3}, width, height), 2, 0, 255, 0, 40));
    // Nothing at the origin, where the axes stood before the pose.
    EXPECT_FALSE(
        any_near(image, reset_camera_pixel({0, 0, 0.5f}, width, height), 3, 0, 0, 255, 60));
}

TEST_F(Pixels, GizmoStaysInTheLowerRightSquareAndTheViewportComesBack) {
    QImage image = grab(view);
    std::vector<QPoint> pixels = drawn(image);
    ASSERT_FALSE(pixels.empty()) << "the gizmo is drawn";
    QRect corner(width - 110, height - 110, 100, 100);
    bool blue = false, green = false;
    for (const QPoint &p : pixels) {
        EXPECT_TRUE(corner.contains(p)) << "drawn at " << p.x() << "," << p.y();
        QColor c = image.pixelColor(p);
        blue = blue || (c.blue() > 200 && c.red() < 60 && c.green() < 60);
        green = green || (c.green() > 200 && c.red() < 60 && c.blue() < 60);
    }
    EXPECT_TRUE(blue && green) << "the gizmo shows its axes";

    view.makeCurrent();
    int viewport[4] = {};
    QOpenGLContext::currentContext()->functions()->glGetIntegerv(GL_VIEWPORT, viewport);
    view.doneCurrent();
    EXPECT_EQ(viewport[2], width);
    EXPECT_EQ(viewport[3], height);
}

// A view that starts in one top-level window and moves to another, which
// gives it a new context.
class PixelsAcrossWindows : public ::testing::Test {
protected:
    void SetUp() override {
        view = new GLPointCloudRenderer(&first);
        ASSERT_TRUE(show_and_wait(first, width, height));
        view->resize(width, height);
        const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, behind[3] = {-50, 0, 0};
        view->updatePose(0, identity, behind);
        view->setPointSize(9);
    }
    ::testing::AssertionResult move_to_second_window() {
        view->setParent(&second);
        view->show();
        ::testing::AssertionResult shown = show_and_wait(second, width, height);
        view->resize(width, height);
        return shown;
    }
    QWidget first, second;
    GLPointCloudRenderer *view = nullptr;
};

TEST_F(PixelsAcrossWindows, CloudsShowAgainInTheNewWindowsContext) {
    view->updatePointCloud({at_origin(255, 128, 0)}, 0);
    EXPECT_TRUE(near(grab(*view).pixelColor(width / 2, height / 2), 255, 128, 0, 2));
    ASSERT_TRUE(move_to_second_window());
    EXPECT_TRUE(near(grab(*view).pixelColor(width / 2, height / 2), 255, 128, 0, 2))
        << "the stored cloud was uploaded again";
}

TEST_F(PixelsAcrossWindows, AccumulatedFramesShowAgainInTheNewWindowsContext) {
    view->setRenderMode(GLPointCloudRenderer::Accumulate);
    const QVector3D left{0, 2, 0}, right{0, -2, 0};
    view->updatePointCloud(cloud_at(1, left, 255, 128, 0), 0);
    view->updatePointCloud(cloud_at(1, right, 0, 128, 255), 1);
    ASSERT_TRUE(move_to_second_window());
    QImage image = grab(*view);
    EXPECT_TRUE(any_near(image, reset_camera_pixel(left, width, height), 2, 255, 128, 0, 3));
    EXPECT_TRUE(any_near(image, reset_camera_pixel(right, width, height), 2, 0, 128, 255, 3));
}

// Consecutive frames share a vertex buffer. Whatever leaves the store (the
// oldest frames, every other frame), the view draws exactly the frames kept.
TEST_F(Pixels, AccumulatedFramesShareBuffersAndOnlyTheKeptOnesAreDrawn) {
    constexpr int perFrame = 100000;
    constexpr int perBuffer = GLFrameStore::defaultBatchPoints / perFrame;
    static_assert(perBuffer >= 2, "frames small enough to share a buffer");
    view.setRenderMode(GLPointCloudRenderer::Accumulate);
    view.setMaxFrames(-1);
    view.setPointSize(5);
    auto place = [](int k) { return QVector3D(0, 4.5f - k, 0); };
    auto add = [&](int k) { view.updatePointCloud(cloud_at(perFrame, place(k), 255, 128, 0), k); };
    auto expect_drawn = [&](std::vector<int> kept) {
        QImage image = grab(view);
        for (int k = 0; k < 10; ++k) {
            bool wanted = std::find(kept.begin(), kept.end(), k) != kept.end();
            EXPECT_EQ(
                any_near(image, reset_camera_pixel(place(k), width, height), 1, 255, 128, 0, 3),
                wanted)
                << "frame " << k;
        }
    };
    auto buffers_for = [](int frames) { return size_t((frames + perBuffer - 1) / perBuffer); };

    auto range = [](int from, int to, int step) {
        std::vector<int> out;
        for (int k = from; k <= to; k += step)
            out.push_back(k);
        return out;
    };

    for (int k = 0; k < 9; ++k)
        add(k);
    EXPECT_EQ(view.storedBufferCount(), buffers_for(9));
    expect_drawn(range(0, 8, 1));

    // The first buffer goes with its frames; the second keeps its last frame.
    const int first_kept = perBuffer + 1;
    view.setMaxFrames(9 - first_kept);
    expect_drawn(range(first_kept, 8, 1));
    EXPECT_EQ(view.storedBufferCount(), buffers_for(9) - 1);

    view.setMaxFrames(-1);
    view.setMaxPoints(1000);
    add(9);
    view.onPerformanceTimer();
    const std::vector<int> halved = range(first_kept, 9, 2);
    expect_drawn(halved);
    EXPECT_EQ(view.storedBufferCount(), buffers_for(int(halved.size())))
        << "the kept frames are packed again";
}
