// The render container: the inset in the upper-left corner drawn over the main view, the swap on
// a left click of the inset, and the geometry after a resize.
#include "app/glRender/gl_image_preview_widget.h"
#include "app/glRender/gl_point_cloud_renderer.h"
#include "app/glRender/render_container_widget.h"
#include "tests/app/glRender/view_harness.h"
#include "tests/support/wait.h"

#include <opencv2/core.hpp>

#include <chrono>

using namespace kest_test;

namespace {

// The main view fills the container, the other is the inset, drawn over it.
void expect_main(RenderContainerWidget &container, QWidget *main, QWidget *other) {
    EXPECT_EQ(container.pointCloudIsMain(), main == container.renderer());
    EXPECT_EQ(main->geometry(), container.rect());
    EXPECT_EQ(other->geometry(), QRect(10, 10, 200, 150));
    EXPECT_EQ(container.childAt({15, 15}), other);
    EXPECT_EQ(container.childAt({400, 300}), main);
}

} // namespace

TEST(RenderContainer, LeftClickOnTheInsetSwapsTheViewsAResizeKeepsTheInsetAndThePictureFillsIt) {
    RenderContainerWidget container;
    ASSERT_TRUE(show_and_wait(container, 800, 600));
    GLPointCloudRenderer *renderer = container.renderer();
    GLImagePreviewWidget *preview = container.preview();
    expect_main(container, renderer, preview);
    click(*renderer, Qt::LeftButton, {400, 300}); // the main view: nothing changes
    click(*preview, Qt::RightButton, {5, 5});     // only a left click swaps
    click(*preview, Qt::MiddleButton, {5, 5});
    expect_main(container, renderer, preview);
    click(*preview, Qt::LeftButton, {5, 5});
    expect_main(container, preview, renderer);
    click(*preview, Qt::LeftButton, {400, 300});
    click(*renderer, Qt::RightButton, {5, 5});
    expect_main(container, preview, renderer);

    container.resize(1000, 700);
    ASSERT_TRUE(QTest::qWaitFor([&] { return preview->width() == 1000; },
                                static_cast<int>(std::chrono::milliseconds(patience()).count())))
        << "the main view did not stretch with the container";
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
