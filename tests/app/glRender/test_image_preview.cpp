// The picture preview: orientation, odd widths, texture reuse and the pictures it refuses.
#include "app/glRender/gl_image_preview_widget.h"
#include "tests/app/glRender/view_harness.h"

#include <opencv2/core.hpp>

using namespace kest_test;

namespace {

cv::Mat filled(int width, int height, cv::Scalar bgr) {
    return cv::Mat(height, width, CV_8UC3, bgr);
}

} // namespace

// An odd width shows without skew, the top-left corner at the top left.
TEST(ImagePreview, ShowsThePicturesTopLeftCornerAtTheTopLeftWithoutSkew) {
    const int width = 641, height = 200;
    GLImagePreviewWidget preview;
    preview.setMarginEnabled(false);
    ASSERT_TRUE(show_and_wait(preview, width, height));
    cv::Mat picture = filled(width, height, {0, 0, 255});              // red
    picture(cv::Rect(0, 0, 320, height)).setTo(cv::Scalar(0, 255, 0)); // left half green
    picture(cv::Rect(0, 0, 16, 16)).setTo(cv::Scalar(255, 0, 0));      // a blue corner
    preview.updateImage(picture);
    QImage image = grab(preview);
    EXPECT_EQ(preview.textureSize(), QSize(width, height));
    EXPECT_TRUE(near(image.pixelColor(2, 2), 0, 0, 255, 8)) << "blue at the top left";
    EXPECT_TRUE(near(image.pixelColor(638, 2), 255, 0, 0, 8)) << "red at the top right";
    for (int row : {20, 100, 199}) {
        EXPECT_TRUE(near(image.pixelColor(2, row), 0, 255, 0, 8)) << "row " << row;
        EXPECT_TRUE(near(image.pixelColor(315, row), 0, 255, 0, 8)) << "row " << row;
        EXPECT_TRUE(near(image.pixelColor(325, row), 255, 0, 0, 8)) << "row " << row;
    }
}

TEST(ImagePreview, ReusesTheTextureUntilThePictureSizeChanges) {
    GLImagePreviewWidget preview;
    ASSERT_TRUE(show_and_wait(preview, 200, 150));
    preview.updateImage(filled(64, 48, {255, 255, 255}));
    grab(preview);
    const int made = preview.textureGeneration();
    preview.updateImage(filled(64, 48, {4, 5, 6}));
    grab(preview);
    EXPECT_EQ(preview.textureGeneration(), made);
    preview.updateImage(filled(32, 24, {4, 5, 6}));
    grab(preview);
    EXPECT_EQ(preview.textureGeneration(), made + 1);
    EXPECT_EQ(preview.textureSize(), QSize(32, 24));
}

TEST(ImagePreview, ConvertsOrRefusesPicturesThatAreNotBgr) {
    GLImagePreviewWidget preview;
    preview.updateImage(cv::Mat(10, 10, CV_8UC1, cv::Scalar(7)));
    ASSERT_EQ(preview.storedImage().type(), CV_8UC3) << "grey is shown as RGB";
    EXPECT_EQ(preview.storedImage().at<cv::Vec3b>(0, 0), cv::Vec3b(7, 7, 7));
    preview.updateImage(cv::Mat(10, 10, CV_8UC4, cv::Scalar(1, 2, 3, 4)));
    ASSERT_EQ(preview.storedImage().type(), CV_8UC3);
    EXPECT_EQ(preview.storedImage().at<cv::Vec3b>(0, 0), cv::Vec3b(3, 2, 1)) << "BGRA to RGB";
    for (const cv::Mat &refused :
         {cv::Mat(4, 4, CV_16UC3, cv::Scalar(1000, 1000, 1000)), cv::Mat()}) {
        preview.updateImage(refused);
        EXPECT_EQ(preview.storedImage().rows, 10) << "a 16-bit or empty picture is refused";
    }
}
