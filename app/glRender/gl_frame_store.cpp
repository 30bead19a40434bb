#include "app/glRender/gl_frame_store.h"

#include "sdk/logger/logger.h"

#include <QOpenGLBuffer>

#include <algorithm>
#include <climits>

namespace {
constexpr int pointStride = sizeof(CloudPoint);
constexpr int maxBufferPoints = INT_MAX / pointStride; // a buffer's size in bytes is an int
} // namespace

PointBatch::PointBatch() = default;
PointBatch::~PointBatch() = default;

GLFrameStore::GLFrameStore(int batchPoints)
    : batchPoints(std::clamp(batchPoints, 1, maxBufferPoints)) {}

GLFrameStore::~GLFrameStore() = default;

void GLFrameStore::push(std::unique_ptr<FrameData> frame) {
    if (!frame)
        return;
    frame->batch = nullptr;
    if (!repackPending)
        upload(*frame);
    storedPoints += frame->pointCount;
    frames.push_back(std::move(frame));
}

// Frames leave in the order they came, so the oldest frame is the first live
// one of the oldest buffer, and a buffer goes with its last frame.
void GLFrameStore::popOldest() {
    if (frames.empty())
        return;
    const FrameData &oldest = *frames.front();
    if (PointBatch *batch = oldest.batch) {
        ++batch->oldestLive;
        if (batch->liveFrames() == 0)
            dropBatch(batch);
    }
    storedPoints -= oldest.pointCount;
    frames.pop_front();
}

void GLFrameStore::keepEveryOther() {
    releaseBuffers();
    std::deque<std::unique_ptr<FrameData>> all = std::move(frames);
    frames.clear();
    storedPoints = 0;
    for (size_t i = 0; i < all.size(); i += 2) {
        storedPoints += all[i]->pointCount;
        frames.push_back(std::move(all[i]));
    }
}

void GLFrameStore::clear() {
    frames.clear();
    batches.clear();
    storedPoints = 0;
    repackPending = false;
}

void GLFrameStore::releaseBuffers() {
    for (auto &frame : frames)
        frame->batch = nullptr;
    batches.clear();
    repackPending = !frames.empty();
}

const std::deque<std::unique_ptr<PointBatch>> &GLFrameStore::buffersToDraw() {
    if (repackPending) {
        repackPending = false;
        for (auto &frame : frames)
            upload(*frame);
    }
    return batches;
}

// A frame that cannot be uploaded stays stored, undrawn, and counts as before.
void GLFrameStore::upload(FrameData &frame) {
    if (frame.pointCount < 1)
        return;
    PointBatch *batch = batchWithRoomFor(frame.pointCount);
    if (batch == nullptr || !batch->vbo->bind())
        return;
    batch->vbo->write(batch->filled * pointStride, frame.points.data(),
                      frame.pointCount * pointStride);
    batch->vbo->release();
    batch->firsts.push_back(batch->filled);
    batch->counts.push_back(frame.pointCount);
    batch->filled += frame.pointCount;
    uploaded += static_cast<unsigned long long>(frame.pointCount);
    frame.batch = batch;
}

PointBatch *GLFrameStore::batchWithRoomFor(int points) {
    if (!batches.empty() && batches.back()->capacity - batches.back()->filled >= points)
        return batches.back().get();
    if (points > maxBufferPoints) {
        log_print(ERROR,
                  "A cloud of %d points is more than one vertex buffer holds; it is not drawn.\n",
                  points);
        return nullptr;
    }
    auto batch = std::make_unique<PointBatch>();
    // A frame of more than half a buffer would leave the rest of one unused (a
    // 200 000-point frame: 31 % of a 2^18-point buffer): it gets one of its size.
    batch->capacity = points > batchPoints / 2 ? points : batchPoints;
    batch->vbo = std::make_unique<QOpenGLBuffer>(QOpenGLBuffer::VertexBuffer);
    batch->vbo->setUsagePattern(QOpenGLBuffer::DynamicDraw);
    if (!batch->vbo->create() || !batch->vbo->bind()) {
        log_print(ERROR, "No vertex buffer for a cloud of %d points; it is not drawn.\n", points);
        return nullptr;
    }
    batch->vbo->allocate(batch->capacity * pointStride);
    batch->vbo->release();
    batches.push_back(std::move(batch));
    return batches.back().get();
}

void GLFrameStore::dropBatch(PointBatch *batch) {
    auto at = std::find_if(batches.begin(), batches.end(),
                           [batch](const auto &held) { return held.get() == batch; });
    if (at != batches.end())
        batches.erase(at);
}
