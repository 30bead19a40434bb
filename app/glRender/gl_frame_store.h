// The clouds a point cloud view keeps, with their points packed into a few
// large vertex buffers: consecutive frames share a buffer, so a store of
// thousands of frames draws with one call per buffer, not one per frame.
// Frames leave from the oldest end or every other one at once; either way a
// buffer goes with its last frame. Every call that makes or frees buffers
// needs the view's context current.
#pragma once

#include "app/glRender/point_picking.h"
#include "recording/cloud_point.h"

#include <deque>
#include <memory>
#include <vector>

class QOpenGLBuffer;

// One vertex buffer holding the points of consecutive frames, drawn with one
// call that names each frame's range: Mesa's software rasterizer draws many
// short ranges faster than the same points as one long range.
struct PointBatch {
    std::unique_ptr<QOpenGLBuffer> vbo;
    int capacity = 0; // points it can hold
    int filled = 0;   // points written, from the start
    // Each frame's first point and point count, oldest first; the frames
    // before oldestLive have left the store.
    std::vector<int> firsts, counts;
    size_t oldestLive = 0;

    PointBatch();
    ~PointBatch();
    int liveFrames() const { return static_cast<int>(firsts.size() - oldestLive); }
};

// One received cloud as stored for display.
struct FrameData {
    std::vector<CloudPoint> points; // after the voxel filter
    PickIndex pickIndex;            // of points
    int frameIndex = 0;
    int pointCount = 0;
    PointBatch *batch = nullptr; // where its points are drawn from; null until uploaded
};

class GLFrameStore {
public:
    // Frames of more than half as many points get a buffer of their own size.
    static constexpr int defaultBatchPoints = 1 << 18;

    explicit GLFrameStore(int batchPoints = defaultBatchPoints);
    GLFrameStore(const GLFrameStore &) = delete;
    GLFrameStore &operator=(const GLFrameStore &) = delete;
    ~GLFrameStore();

    // Stores the newest frame and uploads it behind the frames before it.
    void push(std::unique_ptr<FrameData> frame);
    void popOldest();
    // Keeps the first, third, fifth ... frame from the oldest; the survivors
    // are packed again at the next draw.
    void keepEveryOther();
    void clear();
    // Frees every buffer but keeps the points, for a context that goes away:
    // the next draw uploads them into the context then current.
    void releaseBuffers();
    // The buffers to draw, oldest frames first, after uploading what waits.
    const std::deque<std::unique_ptr<PointBatch>> &buffersToDraw();

    size_t size() const { return frames.size(); }
    bool empty() const { return frames.empty(); }
    long long pointCount() const { return storedPoints; }
    const std::deque<std::unique_ptr<FrameData>> &storedFrames() const { return frames; }
    size_t bufferCount() const { return batches.size(); }
    // Points copied into buffers since the store was made, repacking included.
    unsigned long long uploadedPoints() const { return uploaded; }

private:
    void upload(FrameData &frame);
    PointBatch *batchWithRoomFor(int points);
    void dropBatch(PointBatch *batch);

    int batchPoints;
    std::deque<std::unique_ptr<FrameData>> frames;
    std::deque<std::unique_ptr<PointBatch>> batches;
    long long storedPoints = 0;
    bool repackPending = false; // frames wait for their buffers
    unsigned long long uploaded = 0;
};
