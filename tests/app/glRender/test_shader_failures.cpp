// Shaders that do not compile or are missing: the views report them with the compiler's log, keep
// running and draw nothing. The application's shaders are swapped for broken ones with the same
// resource paths for the test's length.
#include "app/glRender/gl_image_preview_widget.h"
#include "app/glRender/gl_point_cloud_renderer.h"
#include "tests/app/glRender/view_harness.h"
#include "tests/support/log_capture.h"

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

// The broken stand-ins register themselves at start-up, like every compiled-in resource: they are
// taken away again before any test runs.
static void forget_broken_shaders() {
    Q_CLEANUP_RESOURCE(broken_shaders);
}

namespace {

struct BrokenShadersOnlyOnRequest : ::testing::Environment {
    void SetUp() override { forget_broken_shaders(); }
};
const auto *registered = ::testing::AddGlobalTestEnvironment(new BrokenShadersOnlyOnRequest);

class BrokenShaders : public ::testing::Test {
protected:
    void SetUp() override { use_broken_shaders(true); }
    void TearDown() override { use_broken_shaders(false); }
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
    EXPECT_NE(out.find("undeclared_name"), std::string::npos) << "the compiler's log: " << out;

    GLImagePreviewWidget preview;
    ASSERT_TRUE(show_and_wait(preview, 200, 150));
    preview.updateImage(cv::Mat(48, 64, CV_8UC3, cv::Scalar(255, 255, 255)));
    EXPECT_EQ(grab(preview).pixelColor(100, 75).alpha(), 0) << "the clear colour only";
}
