#include "python/frame_queue.h"

void FrameQueue::cloud(CloudKind kind, uint64_t timeNs, const std::vector<CloudPoint> &points) {
    Frame frame;
    frame.kind = kind == CloudKind::Slam ? "slam" : "dtof";
    frame.timeNs = timeNs;
    frame.points = std::make_shared<const std::vector<CloudPoint>>(points);
    push(std::move(frame));
}

void FrameQueue::pose(const PoseRecord &pose) {
    Frame frame;
    frame.kind = "pose";
    frame.timeNs = static_cast<uint64_t>(pose.time);
    frame.pose = pose;
    push(std::move(frame));
}

void FrameQueue::image(uint64_t timeNs, const cv::Mat &bgr) {
    Frame frame;
    frame.kind = "image";
    frame.timeNs = timeNs;
    frame.image = bgr; // shares the decoded pixels, which nobody writes again
    push(std::move(frame));
}

namespace {

size_t bytesOf(const Frame &frame) {
    return (frame.points ? frame.points->size() * sizeof(CloudPoint) : 0) +
           frame.image.total() * frame.image.elemSize();
}

} // namespace

void FrameQueue::push(Frame &&frame) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!listening)
        return;
    bytes += bytesOf(frame);
    frames.push_back(std::move(frame));
    while (frames.size() > capacity || (bytes > byteCapacity && frames.size() > 1)) {
        bytes -= bytesOf(frames.front());
        frames.pop_front();
        ++lost;
    }
    arrived.notify_one();
}

void FrameQueue::listen(bool on) {
    std::lock_guard<std::mutex> lock(mutex);
    listening = on;
    frames.clear();
    bytes = 0;
}

void FrameQueue::setConnected(bool connected) {
    std::lock_guard<std::mutex> lock(mutex);
    present = connected;
    arrived.notify_all();
}

bool FrameQueue::connected() const {
    std::lock_guard<std::mutex> lock(mutex);
    return present;
}

FrameQueue::Taken FrameQueue::take(Frame &out, std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(mutex);
    arrived.wait_until(lock, until, [this] { return !frames.empty() || !present; });
    if (frames.empty())
        return present ? Taken::Nothing : Taken::Unplugged;
    out = std::move(frames.front());
    frames.pop_front();
    bytes -= bytesOf(out);
    return Taken::Frame;
}

uint64_t FrameQueue::dropped() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lost;
}
