// Shaders that do not compile or are missing: the views report them with the
// compiler's log, keep running and draw nothing. The application's shaders are
// swapped for broken ones with the same resource paths for the test's length.
#include "app/glRender/gl_image_preview_widget.h"
#include "app/glRender/gl_point_cloud_renderer.h"
#include "tests/app/glRender/view_harness.h"
#include "tests/support/log_capture.h"

#include <QtGlobal>

#include <opencv2/core.hpp>

#include <string>

using namespace kest_test;

// At global scope: the resource macros declare their functions where they stand.
static void use_broken_shaders(bool broken) {
    if (broken) {
        Q_CLEANUP_RESOURCE(shaders);     // the application's own
        Q_INIT_RESOURCE(broken_shaders); // the same paths, broken or missing
    } else {
        Q_CLEANUP_RESOURCE(broken_shaders);
        Q_INIT_RESOURCE(shaders);
    }
}

// The broken stand-ins register themselves at start-up, like every compiled-in
// resource: they are taken away again before any test runs.
static void forget_broken_shaders() {
    Q_CLEANUP_RESOURCE(broken_shaders);
}

namespace {

struct BrokenShadersOnlyOnRequest : ::testing::Environment {
    void SetUp() override { forget_broken_shaders(); }
};
const auto *registered = ::testing::AddGlobalTestEnvironment(new BrokenShadersOnlyOnRequest);

// What Qt reported; only the GUI thread draws, so only it reports.
std::string qt_messages;

void record_qt_message(QtMsgType, const QMessageLogContext &, const QString &text) {
    qt_messages += text.toStdString() + "\n";
}

class BrokenShaders : public logged_test {
protected:
    void SetUp() override {
        logged_test::SetUp();
        use_broken_shaders(true);
        qt_messages.clear();
        previous = qInstallMessageHandler(record_qt_message);
    }
    void TearDown() override {
        qInstallMessageHandler(previous);
        use_broken_shaders(false);
        logged_test::TearDown();
    }
    QtMessageHandler previous = nullptr;
};

} // namespace

TEST_F(BrokenShaders, ViewsReportTheFailureAndDrawNothing) {
    GLPointCloudRenderer view;
    std::string out = capture_stdout([&] {
        ASSERT_TRUE(show_and_wait(view, 320, 240));
        view.setPointSize(9);
        view.updatePointCloud(cloud_at(1, {0, 0, 0}, 255, 128, 0), 0);
        QImage image = grab(view);
        for (int row = 0; row < image.height(); ++row)
            for (int col = 0; col < image.width(); ++col)
                ASSERT_TRUE(near(image.pixelColor(col, row), 26, 26, 26, 2))
                    << "nothing is drawn, yet " << col << "," << row << " is not clear";
    });
    EXPECT_NE(out.find("Failed to load vertex shader from resource: "
                       ":/shaders/glRender/shaders/point_cloud.vert\n"),
              std::string::npos)
        << out;
    size_t log = out.find("Shader log: ");
    ASSERT_NE(log, std::string::npos) << out;
    EXPECT_NE(out.find("undeclared_name", log), std::string::npos) << "the compiler's log: " << out;
    EXPECT_EQ(out.find("Loading axis vertex shader"), std::string::npos)
        << "the first failure ends the step";
    EXPECT_TRUE(log_contains("Failed to load model vertex shader: "))
        << "the missing model shader is logged at ERROR";

    GLImagePreviewWidget preview;
    ASSERT_TRUE(show_and_wait(preview, 200, 150));
    preview.updateImage(cv::Mat(48, 64, CV_8UC3, cv::Scalar(255, 255, 255)));
    QImage image = grab(preview);
    EXPECT_EQ(image.pixelColor(100, 75).alpha(), 0) << "the clear colour only";
    for (const char *report :
         {"Failed to load vertex shader from file", "Failed to load fragment shader from file",
          "Failed to link shader program"})
        EXPECT_NE(qt_messages.find(report), std::string::npos) << report;
}
