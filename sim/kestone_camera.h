// The virtual KestOne's colour camera: the room seen from the sensor's pose,
// sent as JPEG files or NV12 frames.
#pragma once

#include "sim/kestone_frames.h"
#include "sim/kestone_motion.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace kest_sim {

struct camera_settings {
    uint32_t width = 640; // NV12 needs even sizes: odd ones are rounded up
    uint32_t height = 480;
    bool nv12 = false;     // NV12 frames of width * height * 3 / 2 bytes instead of JPEG
    int jpeg_quality = 85; // 1..100
    int tcl_values = 16;   // Tcl_0 in the calibration file: 16 values or the top 12
};

// The sizes a picture really has: within 16..4096, even for NV12.
camera_settings camera_sanitised(const camera_settings &settings);

// The picture the camera takes t seconds into the sensor's path.
byte_vector camera_picture(const camera_settings &settings, const motion_settings &motion,
                           double t);

// Pictures along the sensor's path, made once per place on the repeating loop
// and kept while they fit a memory budget, so the device spends little time per
// picture after its first loop.
class camera_pictures {
public:
    explicit camera_pictures(size_t budget_bytes = size_t{64} << 20);

    // Picture number k of a camera running at hz: the same k on every loop
    // gives the same bytes.
    std::shared_ptr<const byte_vector>
    picture(const camera_settings &settings, const motion_settings &motion, double hz, uint64_t k);

private:
    std::mutex mutex;
    size_t budget;
    size_t used = 0;
    camera_settings made_for;
    bool made_six_dof = false;
    double made_at_hz = 0;
    std::map<uint64_t, std::shared_ptr<const byte_vector>> kept; // by place on the loop
};

} // namespace kest_sim
