// The synchronized-set handler: a matched cloud, odometry and wiwc become one
// moved SLAM cloud record (type 16). Runs on the synchronizer's worker thread.
#include "sdk/api/api_context.h"
#include "sdk/api/slam_cloud.h"
#include "sdk/comm/protocol/byte_order.h"

#include <cstring>

namespace {

constexpr size_t sample_header = 36;

} // namespace

void slam_set_handler(std::vector<zev_sync::sample> &&set) {
    if (set.size() != 3 || set[0].data.size() < sample_header)
        return;
    const std::vector<uint8_t> &cloud = set[0].data;
    lidar_stream_entry_t entry{};
    entry.timestamp = get_le64(cloud.data());
    entry.value1 = get_le64(cloud.data() + 8);
    entry.timestamp2 = get_le64(cloud.data() + 16);
    entry.param1 = get_le32(cloud.data() + 28);
    entry.param2 = get_le32(cloud.data() + 32);

    const uint8_t *odometry =
        set[1].data.size() == STREAM_RECORD_BYTES ? set[1].data.data() : nullptr;
    uint8_t wiwc[STREAM_RECORD_BYTES];
    bool have_wiwc = set[2].data.size() == STREAM_RECORD_BYTES;
    if (have_wiwc) {
        memcpy(wiwc, set[2].data.data(), sizeof wiwc);
    } else {
        sdk_context &ctx = context();
        std::lock_guard<std::mutex> lock(ctx.wiwc_mutex);
        have_wiwc = ctx.wiwc_valid;
        if (have_wiwc)
            memcpy(wiwc, ctx.latest_wiwc, sizeof wiwc);
    }

    std::vector<uint8_t> moved;
    cloud_transform(cloud.data() + sample_header, cloud.size() - sample_header, odometry,
                    have_wiwc ? wiwc : nullptr, moved);
    entry.size = static_cast<uint32_t>(moved.size());
    entry.data = moved.empty() ? nullptr : moved.data();

    lidar_stream_data_t record{};
    record.type = LIDAR_STREAM_SLAM_CLOUD;
    record.count = 1;
    record.entries[0] = entry;
    deliver_record(&record);
}
