// What the point cloud view really draws, read back from its framebuffer: the display modes'
// colours, point size, the stored frames, the pose axes and the corner gizmo.
#include "app/glRender/gl_point_cloud_renderer.h"
#include "tests/app/glRender/view_harness.h"

#include <algorithm>

using namespace kest_test;

namespace {

constexpr int width = 400, height = 300;
constexpr int clear_grey = 26; // 0.1 of 255, rounded
const QPoint middle(width / 2, height / 2);
const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, behind[3] = {-50, 0, 0};

class Pixels : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(show_and_wait(view, width, height));
        view.updatePose(0, identity, behind); // the pose axes out of the way, behind the camera
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

} // namespace

TEST_F(Pixels, DisplayModesColourThePoints) {
    const struct {
        int mode;
        uint8_t r, g, b, intensity;
        uint32_t label;
        int seen_r, seen_g, seen_b;
    } cases[] = {
        {GLPointCloudRenderer::RGB, 255, 128, 0, 0, 0, 255, 128, 0}, // the point's own colour
        {GLPointCloudRenderer::Intensity, 9, 9, 9, 0, 0, 0, 0, 255},
        {GLPointCloudRenderer::Intensity, 9, 9, 9, 84, 0, 0, 255, 0},
        {GLPointCloudRenderer::Intensity, 9, 9, 9, 168, 0, 255, 255, 0},
        {GLPointCloudRenderer::Intensity, 9, 9, 9, 255, 0, 255, 0, 0},
        {GLPointCloudRenderer::Label, 9, 9, 9, 0, 0, 255, 0, 0},
        {GLPointCloudRenderer::Label, 9, 9, 9, 0, 1, 0, 74, 255}, // hue 0.618: (0, 0.29, 1)
        {5, 10, 200, 30, 0, 0, 10, 200, 30}, // an unknown mode: the point's own colour
    };
    view.setPointSize(9);
    for (const auto &each : cases) {
        view.setDisplayMode(each.mode);
        view.updatePointCloud({{0, 0, 0, each.r, each.g, each.b, each.intensity, each.label}}, 0);
        QColor seen = grab(view).pixelColor(middle);
        EXPECT_TRUE(near(seen, each.seen_r, each.seen_g, each.seen_b, 4))
            << "mode " << each.mode << ", intensity " << int(each.intensity) << ", label "
            << each.label << ": " << seen.name().toStdString();
    }
}

TEST_F(Pixels, PointSizeIsTheSideOfTheDrawnSquare) {
    for (int side : {3, 9}) {
        view.setPointSize(static_cast<float>(side));
        view.updatePointCloud(cloud_at(1, {0, 0, 0}, 255, 128, 0), 0);
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

TEST_F(Pixels, GizmoStaysInTheLowerRightCornerAndPoseAxesStartAtThePose) {
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

    // The pose axes start at the pose's translation: blue z up, green y along +y.
    const double translation[3] = {1, 2, 3};
    view.updatePose(0, identity, translation);
    image = grab(view);
    EXPECT_TRUE(any_near(image, reset_camera_pixel({1, 2, 3.5f}, width, height), 2, 0, 0, 255, 40));
    EXPECT_TRUE(any_near(image, reset_camera_pixel({1, 2.5f, 3}, width, height), 2, 0, 255, 0, 40));
    // Nothing at the origin, where the axes stood before the pose.
    EXPECT_FALSE(
        any_near(image, reset_camera_pixel({0, 0, 0.5f}, width, height), 3, 0, 0, 255, 60));
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
    auto buffers_for = [](int frames) { return size_t((frames + perBuffer - 1) / perBuffer); };
    // Draws exactly frames from .. to in steps of step; says how many.
    auto expect_drawn = [&](int from, int to, int step) {
        QImage image = grab(view);
        int kept = 0;
        for (int k = 0; k < 10; ++k) {
            bool wanted = k >= from && k <= to && (k - from) % step == 0;
            kept += wanted;
            EXPECT_EQ(
                any_near(image, reset_camera_pixel(place(k), width, height), 1, 255, 128, 0, 3),
                wanted)
                << "frame " << k;
        }
        return kept;
    };

    for (int k = 0; k < 9; ++k)
        add(k);
    EXPECT_EQ(view.storedBufferCount(), buffers_for(9));
    expect_drawn(0, 8, 1);

    // The first buffer goes with its frames; the second keeps its last frame.
    const int first_kept = perBuffer + 1;
    view.setMaxFrames(9 - first_kept);
    expect_drawn(first_kept, 8, 1);
    EXPECT_EQ(view.storedBufferCount(), buffers_for(9) - 1);

    view.setMaxFrames(-1);
    view.setMaxPoints(1000);
    add(9);
    view.onPerformanceTimer();
    const int halved = expect_drawn(first_kept, 9, 2);
    EXPECT_EQ(view.storedBufferCount(), buffers_for(halved)) << "the kept frames are packed again";
}
