// Every frame the stream decoding publishes, with its device time, for a
// consumer that needs each one rather than the newest (the Python module's
// frame iterator). Called on the device layer's callback thread, one record at
// a time, before the frame goes to its hand-off buffer; the arguments are
// valid during the call only, so whatever is kept is copied.
#pragma once

#include "app/pose_record.h"
#include "recording/cloud_point.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

class FrameListener {
public:
    enum class CloudKind { Slam, Dtof };

    virtual ~FrameListener() = default;
    // A SLAM cloud (world frame) or a DTOF frame (device frame), never empty.
    virtual void cloud(CloudKind kind, uint64_t timeNs, const std::vector<CloudPoint> &points) = 0;
    // A plain odometry pose (the one SLAM clouds are matched with); its time is pose.time.
    virtual void pose(const PoseRecord &pose) = 0;
    // A picture, 8-bit BGR, never empty.
    virtual void image(uint64_t timeNs, const cv::Mat &bgr) = 0;
};
