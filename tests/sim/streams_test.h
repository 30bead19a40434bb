// The virtual KestOne streaming through the whole host stack, with the
// application's part played by the fixture.
#pragma once

#include "sim/kestone.h"
#include "sim/kestone_motion.h"
#include "tests/sdk/api/api_harness.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>

namespace kest_test {

class Streams : public ApiTest {
protected:
    void bring_up_streaming(const kest_sim::stream_settings &settings) {
        device->set_streams(settings);
        keep_a_handle(true);
        bring_up();
    }
    // Brings streaming up with settings, or, once up, restarts the device's
    // streams with them.
    void stream_with(const kest_sim::stream_settings &settings) {
        {
            std::lock_guard<std::mutex> lock(handle_mutex);
            if (handle != nullptr) {
                EXPECT_EQ(lidar_stop_stream(handle, 0), 0);
                device->set_streams(settings);
                uint32_t rate = 0;
                EXPECT_EQ(lidar_start_stream(handle, 0, &rate), 0);
                return;
            }
        }
        bring_up_streaming(settings);
    }
    // How far the delivered SLAM cloud's points lie from where the device scanned
    // them, in metres: the largest along an axis and the mean; -1 if counts differ.
    struct scan_offset {
        double worst_axis = -1, mean = -1;
    };
    scan_offset offset_from_scan(const seen_record &cloud) const {
        const std::vector<std::array<double, 3>> scanned =
            device->cloud_world_points(cloud.fields[0].value1);
        const std::vector<uint8_t> &points = cloud.entries[0];
        if (points.size() != scanned.size() * 28 || scanned.empty())
            return {};
        scan_offset out{0, 0};
        for (size_t i = 0; i < scanned.size(); ++i) {
            int32_t xyz[3];
            memcpy(xyz, points.data() + 28 * i, sizeof xyz);
            double squared = 0;
            for (int axis = 0; axis < 3; ++axis) {
                const double d = xyz[axis] / 10000.0 - scanned[i][axis];
                out.worst_axis = std::max(out.worst_axis, std::fabs(d));
                squared += d * d;
            }
            out.mean += std::sqrt(squared) / static_cast<double>(scanned.size());
        }
        return out;
    }
    static testing::AssertionResult wait_count(uint32_t type, size_t n) {
        return eventually([&] { return count_records(type) >= n; },
                          std::to_string(n) + " records of type " + std::to_string(type));
    }
};

// The demo preset with only the streams a test looks at (and the device info):
// the others would only load a sanitizer build into dropping messages.
struct wanted_streams {
    bool clouds = false; // with their odometry and wiwc
    bool depth = false;
    bool pictures = false;
    bool motion = false; // the IMU and the high-frequency odometry
};
inline kest_sim::stream_settings demo_with_only(wanted_streams wanted) {
    kest_sim::stream_settings settings = kest_sim::stream_preset("demo");
    if (!wanted.motion) {
        settings.hf_odometry_hz = 0;
        settings.imu_hz = 0;
    }
    if (!wanted.clouds)
        settings.cloud_hz = 0;
    if (!wanted.depth)
        settings.dtof_hz = 0;
    if (!wanted.pictures)
        settings.image_hz = 0;
    return settings;
}

} // namespace kest_test
