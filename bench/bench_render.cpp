// The point cloud view's costs: the CPU side of updatePointCloud (copy, voxel
// filter, upload) in points per second beside copying the same bytes, and the
// time of one repaint with many stored frames under whatever OpenGL the display
// offers (Mesa's software rasterizer under Xvfb: a figure, not a target), and
// picking the point under the cursor among as many points.
#include "app/glRender/gl_default_format.h"
#include "app/glRender/gl_point_cloud_renderer.h"

#include <QApplication>
#include <QMouseEvent>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QTest>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include <malloc.h>

namespace {

// Exposes the repaint so that it can be timed without the window system.
class TimedView : public GLPointCloudRenderer {
public:
    void paintNow() {
        makeCurrent();
        paintGL();
        context()->functions()->glFinish();
        doneCurrent();
    }
    // Turns the camera by a few pixels' drag, as a person orbiting does.
    void orbitStep() {
        const QPointF from(100, 100), to(104, 100);
        QMouseEvent press(QEvent::MouseButtonPress, from, from, Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QMouseEvent move(QEvent::MouseMove, to, to, Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, to, to, Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        mousePressEvent(&press);
        mouseMoveEvent(&move);
        mouseReleaseEvent(&release);
    }
};

TimedView *view = nullptr;

// Points spread over a 10 m cube, seeded.
std::vector<CloudPoint> random_cloud(size_t n) {
    std::mt19937 random(11);
    std::uniform_real_distribution<float> metres(-5.0f, 5.0f);
    std::vector<CloudPoint> out(n);
    for (CloudPoint &p : out)
        p = {metres(random), metres(random), metres(random), 200, 100, 50, 128, 1};
    return out;
}

void BM_UpdatePointCloud(benchmark::State &state) {
    const auto n = static_cast<size_t>(state.range(0));
    const float voxel = static_cast<float>(state.range(1)) / 1000.0f;
    std::vector<CloudPoint> cloud = random_cloud(n);
    view->setRenderMode(GLPointCloudRenderer::SingleFrame);
    view->setVoxelSize(voxel);
    for (auto _ : state)
        view->updatePointCloud(cloud, 0);
    view->setVoxelSize(0);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
    state.counters["kept_points"] = view->totalPoints();
}
BENCHMARK(BM_UpdatePointCloud)
    ->ArgNames({"points", "voxel_mm"})
    ->Args({20000, 0})
    ->Args({20000, 50})
    ->Args({200000, 0})
    ->Args({200000, 50})
    ->Args({2000000, 0})
    ->Args({2000000, 50})
    ->Unit(benchmark::kMillisecond);

void BM_CopyBaseline(benchmark::State &state) {
    const auto n = static_cast<size_t>(state.range(0));
    std::vector<CloudPoint> cloud = random_cloud(n);
    for (auto _ : state) {
        std::vector<CloudPoint> copy = cloud;
        benchmark::DoNotOptimize(copy.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(BM_CopyBaseline)
    ->ArgName("points")
    ->Arg(20000)
    ->Arg(200000)
    ->Arg(2000000)
    ->Unit(benchmark::kMillisecond);

// frames accumulated clouds of 200 000 points each.
void storeFrames(int frames) {
    view->clearPoints();
    view->setRenderMode(GLPointCloudRenderer::Accumulate);
    view->setMaxFrames(frames);
    view->setMaxPoints(INT32_MAX);
    std::vector<CloudPoint> cloud = random_cloud(200000);
    for (int k = 0; k < frames; ++k)
        view->updatePointCloud(cloud, k);
}

// A big map, orbited and at rest: the frame-time budget (33 ms) at work while
// the camera moves, and every point drawn once it has rested half a second.
// The argument is the stored points in millions.
void BM_OrbitFrame(benchmark::State &state) {
    storeFrames(static_cast<int>(state.range(0) * 5));
    for (int warm = 0; warm < 5; ++warm) { // the budget learns what a point costs
        view->orbitStep();
        view->paintNow();
    }
    for (auto _ : state) {
        view->orbitStep();
        view->paintNow();
    }
    state.counters["drawn_share"] = view->drawnShare();
    view->clearPoints();
}
BENCHMARK(BM_OrbitFrame)
    ->ArgName("Mpoints")
    ->Arg(1)
    ->Arg(5)
    ->Arg(20)
    ->Unit(benchmark::kMillisecond);

void BM_RestingFrame(benchmark::State &state) {
    storeFrames(static_cast<int>(state.range(0) * 5));
    QTest::qWait(600); // the clouds' arrival is over
    for (auto _ : state)
        view->paintNow();
    state.counters["drawn_share"] = view->drawnShare();
    view->clearPoints();
}
BENCHMARK(BM_RestingFrame)
    ->ArgName("Mpoints")
    ->Arg(1)
    ->Arg(5)
    ->Arg(20)
    ->Unit(benchmark::kMillisecond);

// Host memory per stored point: the view's own copies and, under Mesa's
// software rasterizer, the vertex buffers too, which live in host memory. The
// heap's bytes in use, not the resident size, which the memory freed by the
// benchmarks before would hide.
long long heapBytesInUse() {
    const struct mallinfo2 heap = mallinfo2();
    return static_cast<long long>(heap.uordblks + heap.hblkhd);
}

void BM_HostBytesPerPoint(benchmark::State &state) {
    storeFrames(25); // once before, so that what the driver allocates for good is not counted
    view->paintNow();
    for (auto _ : state) {
        view->clearPoints();
        const long long before = heapBytesInUse();
        storeFrames(25);  // 5 M points
        view->paintNow(); // every buffer filled
        const long long after = heapBytesInUse();
        state.counters["bytes_per_point"] =
            static_cast<double>(after - before) / static_cast<double>(view->totalPoints());
    }
    view->clearPoints();
}
BENCHMARK(BM_HostBytesPerPoint)->Iterations(1)->Unit(benchmark::kMillisecond);

// The point under the cursor among 2 M and 20 M stored points (as BM_RestingFrame's), the cursor in
// the middle of the view where the ray crosses the whole cloud: what a hover or a measuring click
// costs the GUI thread.
void BM_Pick(benchmark::State &state) {
    storeFrames(static_cast<int>(state.range(0)));
    view->paintNow(); // the matrices the pick uses
    const QPointF middle(view->width() / 2.0, view->height() / 2.0);
    bool found = false;
    for (auto _ : state)
        found = view->pointAt(middle).has_value();
    state.counters["points"] = view->totalPoints();
    state.counters["found"] = found;
    view->clearPoints();
}
BENCHMARK(BM_Pick)->ArgName("frames")->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);

// Many small frames (a thinned map): what a repaint costs beyond rasterizing
// the points is a call per vertex buffer, and frames share buffers.
void BM_RepaintSmallFrames(benchmark::State &state) {
    const int frames = static_cast<int>(state.range(0));
    view->clearPoints();
    view->setRenderMode(GLPointCloudRenderer::Accumulate);
    view->setMaxFrames(-1);
    view->setMaxPoints(INT32_MAX);
    const std::vector<CloudPoint> cloud = random_cloud(50);
    for (int k = 0; k < frames; ++k)
        view->updatePointCloud(cloud, k);
    QTest::qWait(600); // at rest: every point drawn
    for (auto _ : state)
        view->paintNow();
    state.counters["frames"] = view->frameCount();
    state.counters["buffers"] = static_cast<double>(view->storedBufferCount());
    view->clearPoints();
}
BENCHMARK(BM_RepaintSmallFrames)
    ->ArgName("frames")
    ->Arg(1000)
    ->Arg(20000)
    ->Unit(benchmark::kMillisecond);

// The map of a whole scan: 1000 clouds of 20 000 points in accumulate mode
// with no frame limit (20 M points). The cost of an update should not grow
// with what is stored: the last ten updates beside the first ten. On the way,
// one repaint at 1, 5, 10 and 20 M stored points while clouds arrive (so
// within the frame budget), and the CPU bytes the view keeps per stored point.
void BM_AccumulateAWholeScan(benchmark::State &state) {
    using clock = std::chrono::steady_clock;
    constexpr int clouds = 1000, checkpointsAt[] = {50, 250, 500, 1000};
    const std::vector<CloudPoint> cloud = random_cloud(20000);
    for (auto _ : state) {
        view->clearPoints();
        view->setRenderMode(GLPointCloudRenderer::Accumulate);
        view->setMaxFrames(-1);
        view->setMaxPoints(INT32_MAX);
        double first = 0, last = 0;
        for (int k = 1; k <= clouds; ++k) {
            const auto began = clock::now();
            view->updatePointCloud(cloud, k);
            const double ms =
                std::chrono::duration<double, std::milli>(clock::now() - began).count();
            first += k <= 10 ? ms / 10 : 0;
            last += k > clouds - 10 ? ms / 10 : 0;
            for (int at : checkpointsAt) {
                if (k != at)
                    continue;
                const auto painted = clock::now();
                view->paintNow();
                state.counters["repaint_ms_at_" + std::to_string(at * 20000 / 1000000) + "M"] =
                    std::chrono::duration<double, std::milli>(clock::now() - painted).count();
            }
        }
        state.counters["first_update_ms"] = first;
        state.counters["last_update_ms"] = last;
        size_t bytes = 0;
        for (const auto &frame : view->storedFrames())
            bytes += sizeof(FrameData) + frame->points.capacity() * sizeof(CloudPoint) +
                     3 * frame->pickIndex.x.capacity() * sizeof(float);
        state.counters["cpu_bytes_per_point"] = double(bytes) / view->totalPoints();
        state.counters["points"] = view->totalPoints();
    }
    view->clearPoints();
}
BENCHMARK(BM_AccumulateAWholeScan)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    setDefaultGLFormat();
    QApplication application(argc, argv);
    TimedView shown;
    shown.resize(800, 600);
    shown.show();
    if (!QTest::qWaitForWindowExposed(&shown, 10000)) {
        fprintf(stderr, "bench_render: the view never appeared on the display\n");
        return 1;
    }
    view = &shown;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
