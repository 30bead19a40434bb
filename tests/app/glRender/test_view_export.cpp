// Saving what the view shows: a snapshot holds the view's pixels, overlays included, under a name
// of its own; the shown cloud, read back by Open3D, holds every point drawn with its colour.
#include "app/glRender/gl_point_cloud_renderer.h"
#include "app/viewer/view_export.h"
#include "sdk/common/byte_order.h"
#include "tests/app/glRender/view_harness.h"
#include "tests/support/temp_dir.h"

#include <QFile>
#include <QProcess>

#include <fstream>
#include <iterator>
#include <set>
#include <tuple>

using namespace kest_test;

namespace {

constexpr int width = 320, height = 240;

// Open3D's reading of path: "count" then "x y z r g b" per point.
QStringList readByOpen3d(const QString &path) {
    QProcess python;
    python.start("/usr/bin/python3", {READ_CLOUD_SCRIPT, path});
    EXPECT_TRUE(python.waitForFinished(120000));
    EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    return QString::fromUtf8(python.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

} // namespace

TEST(ViewExport, ASnapshotHoldsTheViewsPixelsUnderANameOfItsOwn) {
    GLPointCloudRenderer view;
    ASSERT_TRUE(show_and_wait(view, width, height));
    view.setDisplayMode(GLPointCloudRenderer::Height); // the colour bar is an overlay
    view.updatePointCloud(cloud_at(50, {0, 0, 1}, 255, 0, 0), 0);
    temp_dir dir;
    const QString folder = QString::fromStdString(dir.file("pictures/KestViewer"));
    QString error;
    const QString first = saveViewSnapshot(view, folder, &error);
    const QString second = saveViewSnapshot(view, folder, &error);
    ASSERT_FALSE(first.isEmpty()) << error.toStdString();
    EXPECT_NE(first, second) << "a second snapshot within the second keeps the first";
    EXPECT_TRUE(first.startsWith(folder + "/kestviewer-") && first.endsWith(".png"));
    const QImage saved = QImage(first).convertToFormat(QImage::Format_RGBA8888);
    EXPECT_EQ(saved, grab(view));
    const QRect bar = view.colourBarRect();
    EXPECT_FALSE(near(saved.pixelColor(bar.center()), 26, 26, 26, 3)) << "the overlays are in it";
    // The whole window as shown keeps them too (QWidget::grab alone loses them).
    QWidget window;
    view.setParent(&window);
    view.move(30, 20);
    EXPECT_TRUE(
        show_and_wait(window, width + 60, height + 40)); // not ASSERT: view must leave window
    const QImage whole = grabAsShown(window).convertToFormat(QImage::Format_RGBA8888);
    EXPECT_EQ(whole.pixelColor(bar.center() + QPoint(30, 20)), saved.pixelColor(bar.center()));
    view.setParent(nullptr);

    write_file(dir.file("blocked"), "a file where the folder would go");
    EXPECT_TRUE(
        saveViewSnapshot(view, QString::fromStdString(dir.file("blocked/in")), &error).isEmpty());
    EXPECT_TRUE(error.startsWith("cannot make the folder")) << error.toStdString();
}

TEST(ViewExport, TheShownCloudIsReadBackByOpen3dWithEveryPointDrawn) {
    GLPointCloudRenderer view;
    ASSERT_TRUE(show_and_wait(view, width, height));
    view.setRenderMode(GLPointCloudRenderer::Accumulate);
    std::vector<CloudPoint> shown;
    for (int frame = 0; frame < 3; ++frame) {
        std::vector<CloudPoint> cloud;
        for (int i = 0; i < 1000; ++i)
            cloud.push_back({i * 0.001f, frame * 1.5f, -0.25f * i, uint8_t(i), uint8_t(frame), 200,
                             uint8_t(i / 4), uint32_t(frame)});
        view.updatePointCloud(cloud, frame);
        shown.insert(shown.end(), cloud.begin(), cloud.end());
    }
    temp_dir dir;
    for (const char *name : {"shown.ply", "shown.pcd"}) {
        SCOPED_TRACE(name);
        const QString path = QString::fromStdString(dir.file(name));
        QString error;
        ASSERT_TRUE(saveShownCloud(view, path, &error)) << error.toStdString();
        const QStringList lines = readByOpen3d(path);
        ASSERT_EQ(lines.value(0), QString::number(shown.size()));
        std::set<std::tuple<float, float, float, int, int>> read; // the view stores them shuffled
        for (const QString &line : lines.mid(1)) {
            const QStringList v = line.split(' ');
            ASSERT_EQ(v.size(), 6) << line.toStdString();
            read.insert(
                {v[0].toFloat(), v[1].toFloat(), v[2].toFloat(), v[3].toInt(), v[5].toInt()});
        }
        for (const CloudPoint &p : shown)
            EXPECT_EQ(read.count({p.x, p.y, p.z, p.r, p.b}), 1u) << p.x << " " << p.y << " " << p.z;
    }
    // LAS (its writer is read back by a LAS reader with kestctl's exports):
    // every point, its intensity widened and its frame as the point source.
    QString error;
    ASSERT_TRUE(saveShownCloud(view, QString::fromStdString(dir.file("shown.las")), &error));
    std::ifstream in(dir.file("shown.las"), std::ios::binary);
    const std::string las{std::istreambuf_iterator<char>(in), {}};
    ASSERT_EQ(las.size(), 375 + 36 * shown.size());
    const auto *bytes = reinterpret_cast<const uint8_t *>(las.data());
    EXPECT_EQ(get_le64(bytes + 247), shown.size());
    std::set<std::pair<int, int>> intensityAndFrame;
    for (size_t at = 375; at < las.size(); at += 36)
        intensityAndFrame.insert({get_le16(bytes + at + 12), get_le16(bytes + at + 20)});
    EXPECT_EQ(intensityAndFrame.count({249 / 4 * 257, 2}), 1u);
    EXPECT_EQ(intensityAndFrame.size(), 250u * 3);
    EXPECT_FALSE(saveShownCloud(view, QString::fromStdString(dir.file("shown.txt")), &error));
    EXPECT_TRUE(error.endsWith("name the file .ply, .pcd or .las")) << error.toStdString();
}
