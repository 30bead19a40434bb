// cloudview: the point cloud view and the picture preview in one window, fed
// with the virtual KestOne's room and a picture of it, for checking the views
// by eye. --screenshot FILE saves what the window shows and exits.
#include "app/glRender/gl_default_format.h"
#include "app/glRender/gl_image_preview_widget.h"
#include "app/glRender/gl_point_cloud_renderer.h"
#include "sim/kestone_camera.h"
#include "sim/kestone_scene.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QTimer>
#include <QWidget>

#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char *usage = "usage: cloudview [--points N] [--screenshot FILE] [--help]\n"
                    "  --points N         points of the room to show (default 200000)\n"
                    "  --screenshot FILE  save the window as a PNG once drawn, then exit\n";

struct options {
    size_t points = 200000;
    std::string screenshot;
};

bool parse(int argc, char **argv, options &out) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help") {
            fputs(usage, stdout);
            exit(0);
        } else if (arg == "--points" && i + 1 < argc) {
            char *end = nullptr;
            long n = strtol(argv[++i], &end, 10);
            if (*end != '\0' || n < 1 || n > 20000000)
                return false;
            out.points = static_cast<size_t>(n);
        } else if (arg == "--screenshot" && i + 1 < argc) {
            out.screenshot = argv[++i];
        } else {
            return false;
        }
    }
    return true;
}

// The room's points, coloured, with the intensity from brightness and the
// label from the surface height band so that every display mode shows something.
std::vector<CloudPoint> room_cloud(size_t count) {
    std::vector<CloudPoint> out;
    for (const kest_sim::scene_point &p : kest_sim::make_room(count, 7)) {
        auto brightness = static_cast<uint8_t>((p.r + p.g + p.b) / 3);
        out.push_back({static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z),
                       p.r, p.g, p.b, brightness, static_cast<uint32_t>(std::floor(p.z * 2))});
    }
    return out;
}

} // namespace

int main(int argc, char **argv) {
    options opts;
    if (!parse(argc, argv, opts)) {
        fprintf(stderr, "cloudview: bad arguments (see cloudview --help)\n");
        return 64;
    }
    setDefaultGLFormat();
    QApplication application(argc, argv);

    QWidget window;
    window.setWindowTitle("cloudview");
    auto *layout = new QHBoxLayout(&window);
    auto *view = new GLPointCloudRenderer(&window);
    auto *preview = new GLImagePreviewWidget(&window);
    layout->addWidget(view, 3);
    layout->addWidget(preview, 2);
    window.resize(1000, 450);
    window.show();

    // The sensor's pose and picture 3 s into its loop; the view stands inside the
    // room by its west wall, looking east.
    const double t = 3.0;
    const kest_sim::motion_settings motion;
    kest_sim::pose sensor = kest_sim::odometry_pose(kest_sim::sensor_odometry(t, motion));
    double columns[9], translation[3];
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            columns[col * 3 + row] = sensor.r[row * 3 + col];
    for (int i = 0; i < 3; ++i)
        translation[i] = sensor.t[i];
    kest_sim::camera_settings camera;
    cv::Mat picture = cv::imdecode(kest_sim::camera_picture(camera, motion, t), cv::IMREAD_COLOR);

    QTimer::singleShot(0, [&] {
        view->setPointSize(2);
        view->updatePointCloud(room_cloud(opts.points), 0);
        view->updatePose(t, columns, translation);
        view->setCameraLookAt({-2.8f, 0, 1.5f}, {0, 0, 1.2f}, {0, 0, 1});
        preview->updateImage(picture);
        if (opts.screenshot.empty())
            return;
        QTimer::singleShot(200, [&] {
            bool saved = window.grab().save(QString::fromStdString(opts.screenshot), "PNG");
            if (saved)
                printf("cloudview: saved %s\n", opts.screenshot.c_str());
            else
                fprintf(stderr, "cloudview: cannot write %s\n", opts.screenshot.c_str());
            application.exit(saved ? 0 : 1);
        });
    });
    return application.exec();
}
