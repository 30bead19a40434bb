// The frame-time budget: a moving frame draws a sample that keeps the picture's extent, a resting
// one every point, pixel for pixel as before; the sample is each frame's first points, which the
// store shuffled, so nothing is uploaded again.
#include "app/glRender/gl_point_cloud_renderer.h"
#include "tests/app/glRender/view_harness.h"

#include <random>

using namespace kest_test;

namespace {

constexpr int width = 400, height = 300, clear_grey = 26;

// The smallest rectangle holding every pixel that is not the clear grey, and how many they are.
std::pair<QRect, int> lit(const QImage &image) {
    QRect box;
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (!near(image.pixelColor(x, y), clear_grey, clear_grey, clear_grey, 2)) {
                box |= QRect(x, y, 1, 1);
                ++count;
            }
    return {box, count};
}

} // namespace

TEST(FrameBudget, AMovingFrameIsASampleOfTheSameExtentAndARestingOneIsWhole) {
    GLPointCloudRenderer view;
    ASSERT_TRUE(show_and_wait(view, width, height));
    const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, behind[3] = {-50, 0, 0};
    view.updatePose(0, identity, behind); // the pose axes out of sight
    view.setRenderMode(GLPointCloudRenderer::Accumulate);
    std::mt19937 random(3);
    std::uniform_real_distribution<float> across(-3, 3);
    for (int frame = 0; frame < 3; ++frame) {
        std::vector<CloudPoint> cloud(20000);
        for (CloudPoint &p : cloud)
            p = {0, across(random), across(random), 250, 250, 250, 0, 0};
        view.updatePointCloud(cloud, frame);
    }
    const unsigned long long uploaded = view.uploadedPoints();
    QImage full;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        full = grab(view);
        return view.drawnShare() == 1.0f; // the clouds' arrival over: at rest
    }));

    view.pinMovingShare(0.1f);
    QImage moving;
    for (int attempt = 0; attempt < 5 && view.drawnShare() != 0.1f; ++attempt) {
        view.noteMotion(); // and again should a loaded machine leave half a second before the grab
        moving = grab(view);
    }
    ASSERT_FLOAT_EQ(view.drawnShare(), 0.1f);
    const auto [fullBox, fullCount] = lit(full);
    const auto [movingBox, movingCount] = lit(moving);
    for (int edge = 0; edge < 4; ++edge) {
        const int a[] = {fullBox.left(), fullBox.top(), fullBox.right(), fullBox.bottom()};
        const int b[] = {movingBox.left(), movingBox.top(), movingBox.right(), movingBox.bottom()};
        EXPECT_NEAR(a[edge], b[edge], 4) << "edge " << edge << ": a sample, not a crop";
    }
    EXPECT_LT(movingCount, fullCount * 0.5) << "fewer points drawn";
    EXPECT_EQ(view.uploadedPoints(), uploaded) << "the sample is drawn from the buffers there";

    ASSERT_TRUE(QTest::qWaitFor([&] { return grab(view) == full; }, 5000))
        << "half a second after the motion, every point again";
    EXPECT_EQ(view.drawnShare(), 1.0f);
}
