// The render container: the inset in the upper-left corner, the swap on a left
// click of the inset, the inset drawn over the main view, and the geometry
// after the window is resized.
#include "app/glRender/gl_image_preview_widget.h"
#include "app/glRender/gl_point_cloud_renderer.h"
#include "app/glRender/point_cloud_widget.h"
#include "app/glRender/render_container_widget.h"
#include "tests/app/glRender/view_harness.h"
#include "tests/support/wait.h"

#include <QTest>

#include <opencv2/core.hpp>

#include <chrono>

using namespace kest_test;

namespace {

const QRect inset(10, 10, 200, 150);

// The main view fills the container, the other is the inset, drawn over it.
void expect_main(RenderContainerWidget &container, QWidget *main, QWidget *other) {
    EXPECT_EQ(container.pointCloudIsMain(), main == container.renderer());
    EXPECT_EQ(main->geometry(), container.rect());
    EXPECT_EQ(other->geometry(), inset);
    EXPECT_EQ(container.childAt({15, 15}), other);
    EXPECT_EQ(container.childAt({400, 300}), main);
}

} // namespace

TEST(RenderContainer, LeftClickOnTheInsetSwapsTheViewsAndThePictureFillsTheInset) {
    RenderContainerWidget container;
    ASSERT_TRUE(show_and_wait(container, 800, 600));
    GLPointCloudRenderer *renderer = container.renderer();
    GLImagePreviewWidget *preview = container.preview();
    expect_main(container, renderer, preview);
    click(*renderer, Qt::LeftButton, {400, 300}); // the main view: nothing changes
    click(*preview, Qt::RightButton, {5, 5});     // only a left click swaps
    expect_main(container, renderer, preview);
    click(*preview, Qt::LeftButton, {5, 5});
    expect_main(container, preview, renderer);
    click(*preview, Qt::LeftButton, {400, 300});
    expect_main(container, preview, renderer);
    click(*renderer, Qt::LeftButton, {5, 5});
    expect_main(container, renderer, preview);

    // With a margin the corners would keep the transparent clear colour.
    preview->updateImage(cv::Mat(150, 200, CV_8UC3, cv::Scalar(255, 255, 255)));
    QImage image = grab(*preview);
    ASSERT_EQ(image.size(), QSize(200, 150));
    for (QPoint corner : {QPoint(1, 1), QPoint(198, 1), QPoint(1, 148), QPoint(198, 148)})
        EXPECT_TRUE(near(image.pixelColor(corner), 255, 255, 255, 3))
            << "picture at " << corner.x() << "," << corner.y();
}

TEST(RenderContainer, WindowResizeStretchesTheMainViewAndKeepsTheInset) {
    PointCloudWidget panel;
    ASSERT_TRUE(show_and_wait(panel, 1000, 700));
    RenderContainerWidget &container = *panel.renderContainer();
    const int limit = static_cast<int>(std::chrono::milliseconds(patience()).count());
    const QSize before = container.size();
    panel.resize(1400, 900);
    ASSERT_TRUE(QTest::qWaitFor([&] { return container.width() > before.width(); }, limit))
        << "the container did not grow with the window";
    ASSERT_GT(container.height(), before.height());
    expect_main(container, container.renderer(), container.preview());

    click(*container.preview(), Qt::LeftButton, {5, 5});
    const QSize grown = container.size();
    panel.resize(1100, 750);
    ASSERT_TRUE(QTest::qWaitFor([&] { return container.width() < grown.width(); }, limit))
        << "the container did not shrink with the window";
    expect_main(container, container.preview(), container.renderer());
}
