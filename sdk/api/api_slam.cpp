// The synchronized-set handler: a matched cloud, odometry and wiwc become one
// moved SLAM cloud record (type 16). Runs on the synchronizer's worker thread.
#include "sdk/api/api_context.h"
#include "sdk/api/slam_cloud.h"
#include "sdk/api/stream_layout.h"
#include "sdk/common/stats/counters.h"

#include <cstring>
#include <utility>

void slam_set_handler(std::vector<zev_sync::sample> &&set) {
    if (set.size() != SLAM_STREAM_COUNT ||
        set[SLAM_STREAM_CLOUD].data.size() < SLAM_SAMPLE_HEADER_BYTES) {
        sdk_counters::count_cloud_drops(1);
        return;
    }
    const std::vector<uint8_t> &cloud = set[SLAM_STREAM_CLOUD].data;
    lidar_stream_entry_t entry{};
    read_slam_sample_header(cloud.data(), entry);

    const uint8_t *odometry = set[SLAM_STREAM_ODOMETRY].data.size() == STREAM_RECORD_BYTES
                                  ? set[SLAM_STREAM_ODOMETRY].data.data()
                                  : nullptr;
    uint8_t wiwc[STREAM_RECORD_BYTES];
    bool have_wiwc = set[SLAM_STREAM_WIWC].data.size() == STREAM_RECORD_BYTES;
    if (have_wiwc) {
        memcpy(wiwc, set[SLAM_STREAM_WIWC].data.data(), sizeof wiwc);
    } else {
        sdk_context &ctx = context();
        std::lock_guard<std::mutex> lock(ctx.wiwc_mutex);
        have_wiwc = ctx.wiwc_valid;
        if (have_wiwc)
            memcpy(wiwc, ctx.latest_wiwc, sizeof wiwc);
        // A SLAM engine's world frame starts where the scan starts, so a cloud
        // from before the first wiwc is already near its place: it is delivered
        // as the device sent it rather than lost.
        else if (!std::exchange(ctx.wiwc_missing_told, true))
            log_print(WARN, "SLAM cloud passed on unmoved: no wiwc has arrived yet to move it "
                            "into the world frame (told once).\n");
    }

    std::vector<uint8_t> moved;
    cloud_transform(cloud.data() + SLAM_SAMPLE_HEADER_BYTES,
                    cloud.size() - SLAM_SAMPLE_HEADER_BYTES, odometry, have_wiwc ? wiwc : nullptr,
                    moved);
    entry.size = static_cast<uint32_t>(moved.size());
    entry.data = moved.empty() ? nullptr : moved.data();

    lidar_stream_data_t record{};
    record.type = LIDAR_STREAM_SLAM_CLOUD;
    record.count = 1;
    record.entries[0] = entry;
    deliver_record(&record);
}
