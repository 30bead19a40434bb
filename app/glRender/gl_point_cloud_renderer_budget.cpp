// The frame-time budget of GLPointCloudRenderer: while the camera moves or
// clouds stream in, each frame draws a uniform sample of the stored points, as
// large as the budget allows; half a second after both rest, every point is
// drawn again. Each cloud's points are shuffled once when stored, so the first
// n points of a frame are a uniform sample of it: the sample is a shorter range
// of each frame in the buffers it already has, with nothing copied or uploaded.
// The cost per point comes from the measured frame times (the frame's wall
// time up to glFinish), so the same code suits a software rasterizer and a fast
// GPU. GPU timer queries are not used: Mesa's software rasterizer answers them
// with the time to hand the points over, about a quarter of the time it then
// takes to draw them.
#include "app/glRender/gl_point_cloud_renderer.h"

#include <QTimer>

#include <algorithm>
#include <random>

namespace {

constexpr int restMs = 500;             // after the last motion, every point again
constexpr double smoothing = 0.5;       // weight of the newest cost measurement
constexpr float smallestShare = 0.001f; // never fewer than one point in a thousand

} // namespace

// Fisher-Yates with a generator seeded by the count: the same cloud is always
// shuffled the same way, so a view shows the same thing run after run.
void shuffleForSampling(std::vector<CloudPoint> &points) {
    std::mt19937 generator(static_cast<uint32_t>(points.size()));
    std::shuffle(points.begin(), points.end(), generator);
}

void GLPointCloudRenderer::setFrameBudget(double milliseconds) {
    frameBudgetMs = std::clamp(milliseconds, 1.0, 10000.0);
}

void GLPointCloudRenderer::pinMovingShare(std::optional<float> share) {
    pinnedShare = share;
    update();
}

// A new cloud or a changed camera: the view is in motion for a while.
void GLPointCloudRenderer::noteMotion() {
    sinceMotion.start();
    if (restTimer == nullptr) {
        restTimer = new QTimer(this);
        restTimer->setSingleShot(true);
        connect(restTimer, &QTimer::timeout, this, [this] { update(); });
    }
    restTimer->start(restMs + 20);
}

// The share of each frame this paint draws: all of it at rest.
float GLPointCloudRenderer::shareToDraw(long long storedPoints) {
    const QMatrix4x4 seen = projection * view;
    if (seen != lastSeen) {
        lastSeen = seen;
        noteMotion();
    }
    const bool moving = sinceMotion.isValid() && sinceMotion.elapsed() < restMs;
    if (!moving || storedPoints <= 0)
        return 1.0f;
    if (pinnedShare)
        return std::clamp(*pinnedShare, smallestShare, 1.0f);
    if (nanosecondsPerPoint <= 0)
        return 1.0f; // nothing measured yet
    const double affordable = frameBudgetMs * 1e6 / nanosecondsPerPoint;
    return static_cast<float>(
        std::clamp(affordable / static_cast<double>(storedPoints), double(smallestShare), 1.0));
}

// Every frame is timed up to glFinish: the time per point drawn, smoothed, is
// what the next moving frame sizes its sample by. It includes the frame's fixed
// costs, so the sample settles where the whole frame meets the budget.
void GLPointCloudRenderer::finishFrameCost(const QElapsedTimer &clock, long long pointsDrawn) {
    glFinish();
    if (pointsDrawn < 1000)
        return; // too few to say what a point costs
    const double measured =
        static_cast<double>(clock.nsecsElapsed()) / static_cast<double>(pointsDrawn);
    nanosecondsPerPoint = nanosecondsPerPoint <= 0
                              ? measured
                              : (1 - smoothing) * nanosecondsPerPoint + smoothing * measured;
}
