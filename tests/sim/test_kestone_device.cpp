// Frames a virtual KestOne may send that the host must take: reserved bytes and
// filler not zero, without checksums or split into small frames.
#include "sim/kestone_frames.h"
#include "tests/sim/streams_test.h"
#include "tests/support/temp_dir.h"

#include <algorithm>

using namespace kest_test;

namespace {

// A message of n bytes: a command header, then a payload of 1, 2, 3, ...
kest_sim::byte_vector message_of(size_t n) {
    kest_sim::byte_vector payload(n - kest_sim::wire::cmd_header_bytes);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i + 1);
    return kest_sim::device_message(kest_sim::wire::type_info, payload);
}

uint32_t payload_length(const kest_sim::byte_vector &frame) {
    return static_cast<uint32_t>(
        kest_sim::wire::get_be(frame.data() + kest_sim::wire::frame_length_at, 4));
}

} // namespace

TEST(DeviceFrames, StyleShapesTheFramesAsAsked) {
    using namespace kest_sim::wire;
    const kest_sim::byte_vector message = message_of(1000);

    kest_sim::frame_style noisy;
    noisy.reserved_noise = true;
    const kest_sim::byte_vector lone = kest_sim::device_frames(message, 262144, 5, noisy).at(0);
    EXPECT_NE(lone[frame_type_at], 0);
    EXPECT_NE(lone[frame_reserved_at], 0);
    for (size_t at = cmd_reserved_at; at < cmd_length_at; ++at)
        ASSERT_NE(lone[frame_payload_at + at], 0) << "command header byte " << at;
    EXPECT_GT(lone.size(), frame_overhead + message.size()) << "filler after the tail";
    EXPECT_NE(lone.back(), 0);

    kest_sim::frame_style unchecked;
    unchecked.unchecked = true;
    const kest_sim::byte_vector bare = kest_sim::device_frames(message, 262144, 5, unchecked).at(0);
    EXPECT_NE(bare[frame_flags_at] & frame_flag_unchecked, 0);
    EXPECT_NE(bare[frame_pad_at(message.size())], 0) << "the byte a checked frame keeps zero";

    kest_sim::frame_style small;
    small.group_frame_bytes = 100;
    const std::vector<kest_sim::byte_vector> group =
        kest_sim::device_frames(message, 262144, 5, small);
    ASSERT_EQ(group.size(), 10u);
    kest_sim::byte_vector joined;
    for (size_t i = 0; i < group.size(); ++i) {
        EXPECT_NE(group[i][frame_flags_at] & frame_flag_group, 0);
        EXPECT_EQ(group[i][frame_index_at], i + 1);
        EXPECT_LE(payload_length(group[i]), 100u);
        joined.insert(joined.end(), group[i].begin() + frame_payload_at,
                      group[i].begin() + frame_payload_at + payload_length(group[i]));
    }
    EXPECT_EQ(joined, message);
    EXPECT_EQ(kest_sim::frames_needed(message.size(), 262144, small), group.size());
    EXPECT_EQ(kest_sim::device_frames(message_of(100000), 262144, 5, small).size(), 255u)
        << "never more frames than a group may have";
}

// The calibration file (one large message), answers and every stream, all
// framed in every way a device may: the host takes all of it and drops nothing.
TEST_F(Streams, HostTakesEverythingFramedAsADeviceMay) {
    kest_sim::stream_settings settings = demo_with_only({true, true, true, true});
    settings.cloud_points = 500;
    settings.dtof_cols = 32;
    settings.dtof_rows = 24;
    settings.camera.width = 64;
    settings.camera.height = 48;
    settings.frames.reserved_noise = true;
    settings.frames.unchecked = true;
    settings.frames.group_frame_bytes = 4096;
    bring_up_streaming(settings);
    {
        std::lock_guard<std::mutex> lock(handle_mutex);
        ASSERT_NE(handle, nullptr);
        temp_dir dir;
        EXPECT_EQ(lidar_get_calib_file(handle, dir.path().string().c_str()), 0);
    }
    for (uint32_t type : {LIDAR_STREAM_SLAM_CLOUD, LIDAR_STREAM_DTOF, LIDAR_STREAM_IMAGE,
                          LIDAR_STREAM_IMU, LIDAR_STREAM_ODOMETRY})
        EXPECT_TRUE(wait_count(type, 3));
    lidar_statistics_t statistics{};
    ASSERT_EQ(lidar_get_statistics(&statistics), 0);
    EXPECT_EQ(statistics.device_dropped, 0u) << "frames, groups or messages refused";
}
