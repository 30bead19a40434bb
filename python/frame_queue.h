// The frames a Python script iterates over: every cloud, pose and picture the
// data layer decodes while the script listens, queued for the script's thread.
// A script that falls behind loses the oldest frames, counted, rather than
// memory; a script that is not iterating queues nothing.
#pragma once

#include "app/frame_listener.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

struct Frame {
    std::string kind; // "slam", "dtof", "pose" or "image"
    uint64_t timeNs = 0;
    std::shared_ptr<const std::vector<CloudPoint>> points; // clouds
    std::optional<PoseRecord> pose;                        // poses
    cv::Mat image;                                         // pictures: BGR as decoded
};

class FrameQueue : public FrameListener {
public:
    // About two seconds of every stream at the virtual KestOne's demo rates,
    // and no more bytes than some fifty full-HD pictures.
    static constexpr size_t capacity = 64;
    static constexpr size_t byteCapacity = size_t{300} << 20;

    void cloud(CloudKind kind, uint64_t timeNs, const std::vector<CloudPoint> &points) override;
    void pose(const PoseRecord &pose) override;
    void image(uint64_t timeNs, const cv::Mat &bgr) override;

    // From listen(true) to listen(false) frames are queued; each call empties the queue.
    void listen(bool on);
    // The device went away (or came back, attached and streaming again).
    void setConnected(bool connected);
    bool connected() const;

    enum class Taken { Frame, Unplugged, Nothing };
    // The oldest frame, Unplugged once the queue is empty and the device is
    // gone, or Nothing when until passes first.
    Taken take(Frame &out, std::chrono::steady_clock::time_point until);
    // Frames lost because the script had not taken them in time.
    uint64_t dropped() const;

private:
    void push(Frame &&frame);

    mutable std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Frame> frames;
    size_t bytes = 0; // of the frames queued
    bool listening = false;
    bool present = true;
    uint64_t lost = 0;
};
