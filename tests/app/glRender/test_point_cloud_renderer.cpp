// The renderer's frame store: frame limit, point budget, voxel filter and single-frame mode. The
// views are shown because clouds need their context.
#include "app/glRender/gl_point_cloud_renderer.h"
#include "tests/app/glRender/view_harness.h"

#include <algorithm>
#include <cmath>

using namespace kest_test;

namespace {

class FrameStore : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(show_and_wait(view, 320, 240));
        view.setRenderMode(GLPointCloudRenderer::Accumulate);
    }
    // Cloud k has k + 1 points, so sums tell which frames are kept.
    void add_clouds(int first, int count) {
        for (int k = first; k < first + count; ++k)
            view.updatePointCloud(cloud_at(k + 1, {1, 0, 0}), k);
    }
    std::vector<int> kept_indices() const {
        std::vector<int> out;
        for (const auto &frame : view.storedFrames())
            out.push_back(frame->frameIndex);
        return out;
    }
    GLPointCloudRenderer view;
};

} // namespace

TEST_F(FrameStore, KeepsTheLatestFramesUpToTheLimit) {
    add_clouds(0, 12);
    EXPECT_EQ(view.frameCount(), 10);
    EXPECT_EQ(view.totalPoints(), 3 + 4 + 5 + 6 + 7 + 8 + 9 + 10 + 11 + 12);
    EXPECT_EQ(kept_indices().front(), 2);
    for (const auto &frame : view.storedFrames())
        EXPECT_NE(frame->batch, nullptr) << "every cloud is uploaded";

    view.setMaxFrames(3); // drops at once; the total waits for the next cloud
    EXPECT_EQ(view.frameCount(), 3);
    EXPECT_EQ(kept_indices(), (std::vector<int>{9, 10, 11}));
    EXPECT_EQ(view.totalPoints(), 3 + 4 + 5 + 6 + 7 + 8 + 9 + 10 + 11 + 12);
    add_clouds(12, 1);
    EXPECT_EQ(view.frameCount(), 3);
    EXPECT_EQ(view.totalPoints(), 11 + 12 + 13);

    view.setMaxFrames(-1); // no limit by count
    add_clouds(13, 20);
    EXPECT_EQ(view.frameCount(), 23);
}

TEST_F(FrameStore, BudgetHalvesTheFramesOnceASecondAtMost) {
    view.setMaxPoints(1000);
    for (int k = 0; k < 8; ++k)
        view.updatePointCloud(cloud_at(500, {1, 0, 0}), k);
    EXPECT_EQ(view.totalPoints(), 4000);
    view.onPerformanceTimer();
    EXPECT_EQ(kept_indices(), (std::vector<int>{0, 2, 4, 6}));
    EXPECT_EQ(view.totalPoints(), 2000);
    view.onPerformanceTimer(); // the flag was cleared: nothing more
    EXPECT_EQ(view.frameCount(), 4);

    view.clearPoints();
    for (int k = 0; k < 5; ++k)
        view.updatePointCloud(cloud_at(500, {1, 0, 0}), k);
    view.onPerformanceTimer(); // over budget, but five frames are kept whole
    EXPECT_EQ(view.frameCount(), 5);
    view.updatePointCloud(cloud_at(500, {1, 0, 0}), 5);
    view.onPerformanceTimer();
    EXPECT_EQ(kept_indices(), (std::vector<int>{0, 2, 4}));
}

TEST_F(FrameStore, VoxelFilterKeepsTheLastPointOfEachVoxel) {
    const std::vector<CloudPoint> points = {{0.05f, 0.05f, 0.05f, 1, 0, 0, 0, 0},
                                            {0.09f, 0.01f, 0.02f, 2, 0, 0, 0, 0},
                                            {-0.05f, 0.0f, 0.0f, 3, 0, 0, 0, 0}};
    view.setVoxelSize(0.1f);
    view.updatePointCloud(points, 0);
    const FrameData &frame = *view.storedFrames().back();
    ASSERT_EQ(frame.pointCount, 2);
    std::vector<int> reds{frame.points[0].r, frame.points[1].r};
    std::sort(reds.begin(), reds.end());
    EXPECT_EQ(reds, (std::vector<int>{2, 3}))
        << "voxel (0,0,0) keeps the later point; -0.05 is voxel -1";

    // A cloud the filter empties is kept as a frame of no points, without a buffer.
    view.updatePointCloud({{std::nanf(""), 0, 0, 8, 0, 0, 0, 0}}, 1);
    EXPECT_EQ(view.frameCount(), 2);
    EXPECT_EQ(view.storedFrames().back()->pointCount, 0);
    EXPECT_EQ(view.storedFrames().back()->batch, nullptr);
    view.setVoxelSize(0.0f);
    view.updatePointCloud(points, 2);
    EXPECT_EQ(view.storedFrames().back()->pointCount, 3) << "edge 0 filters nothing";
}

TEST_F(FrameStore, SingleFrameModeEmptiesTheStoreAndShowsTheLatestCloud) {
    add_clouds(0, 4);
    view.setRenderMode(GLPointCloudRenderer::SingleFrame);
    view.updatePointCloud(cloud_at(7, {1, 0, 0}), 9);
    ASSERT_NE(view.currentFrameData(), nullptr);
    EXPECT_EQ(view.currentFrameData()->frameIndex, 9);
    EXPECT_EQ(view.totalPoints(), 7);
    EXPECT_EQ(view.frameCount(), 0) << "the store is emptied and single-frame clouds are not kept";
    view.updatePointCloud({}, 10); // an empty cloud changes nothing
    EXPECT_EQ(view.currentFrameData()->frameIndex, 9);
}

TEST(FrameStoreWithoutContext, CloudsBeforeTheFirstShowAreDropped) {
    GLPointCloudRenderer other;
    ASSERT_TRUE(show_and_wait(other, 100, 100));
    GLPointCloudRenderer view; // never shown: no context yet
    view.updatePointCloud(cloud_at(5, {1, 0, 0}), 0);
    other.makeCurrent(); // another view's context is no stand-in
    view.updatePointCloud(cloud_at(5, {1, 0, 0}), 1);
    other.doneCurrent();
    EXPECT_EQ(view.currentFrameData(), nullptr);
    EXPECT_EQ(view.totalPoints(), 0);
}
