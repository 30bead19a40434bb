// Reading the scene: the point under the cursor to the millimetre (the front one where two line
// up), its readout on hover, and measurements between two clicked points until Esc clears them.
#include "app/glRender/gl_point_cloud_renderer.h"
#include "tests/app/glRender/view_harness.h"

#include <QSignalSpy>

using namespace kest_test;

namespace {

constexpr int width = 400, height = 300;
const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, origin[3] = {0, 0, 0};
const QVector3D a(5, 1.234f, 0.567f), b(8, -2.5f, -1), behind_a(9, 1.234f * 1.8f, 0.567f * 1.8f);

class Picking : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(show_and_wait(view, width, height));
        view.updatePose(0, identity, origin);
        view.updatePointCloud({{a.x(), a.y(), a.z(), 1, 2, 3, 77, 4},
                               {b.x(), b.y(), b.z(), 1, 2, 3, 0, 0},
                               {behind_a.x(), behind_a.y(), behind_a.z(), 1, 2, 3, 0, 0}},
                              0);
        grab(view);
    }
    QPoint pixel(QVector3D world) { return reset_camera_pixel(world, width, height).toPoint(); }
    GLPointCloudRenderer view;
};

} // namespace

TEST_F(Picking, ThePointUnderTheCursorIsTheFrontOneToTheMillimetre) {
    for (QPoint off : {QPoint(0, 0), QPoint(3, -2)}) {
        const auto picked = view.pointAt(pixel(a) + off);
        ASSERT_TRUE(picked) << off.x() << "," << off.y();
        EXPECT_EQ(QVector3D(picked->x, picked->y, picked->z), a) << "not the one behind it";
    }
    EXPECT_FALSE(view.pointAt(pixel(a) + QPoint(12, 0))) << "only within a few pixels";
    view.setDisplayMode(GLPointCloudRenderer::Intensity);
    EXPECT_EQ(view.describe(*view.pointAt(pixel(a))).toStdString(),
              "x 5.000 · y 1.234 · z 0.567 m · range 5.181 m · intensity 77");
    view.setOrthographic(true);
    grab(view);
    const QVector3D ndc = view.viewProjection().map(b);
    const auto picked = view.pointAt({(ndc.x() + 1) / 2 * width, (1 - ndc.y()) / 2 * height});
    ASSERT_TRUE(picked) << "in the orthographic view too";
    EXPECT_EQ(picked->x, b.x());
}

TEST_F(Picking, ARestingCursorReportsThePointUnderIt) {
    QSignalSpy hovered(&view, &GLPointCloudRenderer::pointHovered);
    mouse(view, QEvent::MouseMove, Qt::NoButton, pixel(b), Qt::NoButton);
    ASSERT_TRUE(hovered.wait(5000));
    EXPECT_TRUE(hovered.last().at(0).toString().startsWith("x 8.000 · y -2.500 · z -1.000 m"));
    mouse(view, QEvent::MouseMove, Qt::NoButton, {5, 5}, Qt::NoButton);
    ASSERT_TRUE(hovered.wait(5000));
    EXPECT_EQ(hovered.last().at(0).toString(), "");
}

TEST_F(Picking, TwoClicksMeasureAndEscClears) {
    QSignalSpy made(&view, &GLPointCloudRenderer::measurementMade);
    key(view, Qt::Key_M);
    ASSERT_TRUE(view.measuringValue());
    click(view, Qt::LeftButton, pixel(a));
    click(view, Qt::LeftButton, pixel(a) + QPoint(40, 40)); // nothing there: no end
    click(view, Qt::LeftButton, pixel(b));
    ASSERT_EQ(view.measurements().size(), 1u);
    const QVector3D d = b - a;
    EXPECT_NEAR((view.measurements()[0].second - view.measurements()[0].first).length(), d.length(),
                1e-4);
    ASSERT_EQ(made.size(), 1);
    EXPECT_EQ(made[0][0].toString().toStdString(),
              "5.040 m (Δx 3.000, Δy -3.734, Δz -1.567, horizontal 4.790 m)");
    click(view, Qt::LeftButton, pixel(b));
    click(view, Qt::LeftButton, pixel(a));
    EXPECT_EQ(view.measurements().size(), 2u) << "several stay on screen";
    key(view, Qt::Key_Escape);
    EXPECT_TRUE(view.measurements().empty());
}
