// The player's own rules, on a small recording written here: its outline, the
// order and time of what it sends, waiting for room, and looping with numbers
// and stamps running on. That the host gets it back is kestctl's playback test.
#include "sim/kestone.h"
#include "sim/kestone_playback.h"
#include "sim/kestone_wire.h"
#include "tests/support/temp_dir.h"

#include <gmock/gmock.h>

#include <array>
#include <filesystem>
#include <fstream>

using namespace kest_sim;
using namespace kest_test;
namespace fs = std::filesystem;

namespace {

template <typename... T>
std::string packed(const T &...values) {
    std::string out;
    (out.append(reinterpret_cast<const char *>(&values), sizeof values), ...);
    return out;
}

// Records of the recording's files: a sequence number and a time in seconds first.
std::string pose(uint32_t sequence, double seconds) {
    return packed(sequence, seconds, std::array<float, 7>{1, 2, 3, 0, 0, 0, 1});
}
std::string cloud(uint32_t sequence, double seconds) { // one point, its colour last
    return packed(sequence, seconds, uint32_t{1}, std::array<float, 3>{1, 2, 3}) + "\x0a\x14\x1e";
}
std::string image(uint32_t sequence, double seconds) { // a JPEG's start and frame header
    const std::string jpeg("\xff\xd8\xff\xc0\x00\x11\x08\x00\x30\x00\x40", 11);
    return packed(sequence, seconds, uint32_t(jpeg.size())) + jpeg;
}

// Poses at 10.0, 10.1, 10.2 s, clouds at 10.05 and 10.15 s, a picture at 10.1 s.
struct small_recording {
    temp_dir dir;
    fs::path root = dir.path() / "rec";
    small_recording() {
        fs::create_directories(root);
        write_file((root / "KestPose.bin").string(), pose(0, 10.0) + pose(1, 10.1) + pose(2, 10.2));
        write_file((root / "MTrec.kvx").string(), cloud(0, 10.05) + cloud(1, 10.15));
        write_file((root / "KestImage.bin").string(), image(0, 10.1));
    }
};

int64_t stamp_of(const byte_vector &message) {
    const size_t payload = message.size() - wire::message_payload_length(message);
    if (wire::message_type(message) == wire::type_odometry ||
        wire::message_type(message) == wire::type_wiwc)
        return int64_t(wire::get_le(message.data() + payload, 8));
    return int64_t(wire::get_be(message.data() + payload + wire::buffer_time_at, 8));
}

std::vector<uint16_t> types_of(const std::vector<std::pair<uint8_t, byte_vector>> &messages) {
    std::vector<uint16_t> out;
    for (const auto &[endpoint, message] : messages)
        out.push_back(wire::message_type(message));
    return out;
}

} // namespace

TEST(Playback, TheOutlineGivesTheRecordingsRatesAndPictureSize) {
    small_recording rec;
    recording_outline outline;
    std::string error;
    ASSERT_TRUE(outline_recording(rec.root.string() + "/", outline, error)) << error;
    EXPECT_EQ(outline.poses, 3u);
    EXPECT_NEAR(outline.pose_hz, 10, 1e-9);
    EXPECT_NEAR(outline.cloud_hz, 10, 1e-9);
    EXPECT_EQ(outline.image_width, 64u);
    EXPECT_EQ(outline.image_height, 48u);

    stream_settings settings;
    ASSERT_TRUE(virtual_device_settings("play:" + rec.root.string(), {"speed=2"}, settings, error))
        << error;
    EXPECT_NEAR(settings.cloud_hz, 20, 1e-9) << "the rates the device reports, at its speed";
    EXPECT_EQ(settings.imu_hz, 0) << "no stream the recording lacks";
    EXPECT_EQ(settings.camera.width, 64u);
    EXPECT_TRUE(settings.playback.outline) << "read once, when the playback is chosen";

    EXPECT_FALSE(outline_recording(rec.dir.path().string(), outline, error));
    EXPECT_THAT(error, testing::HasSubstr("holds no recorded pose, cloud or picture"));
    EXPECT_FALSE(virtual_device_settings("play:" + rec.dir.file("absent"), {}, settings, error));
    EXPECT_FALSE(virtual_device_settings("demo", {"loop=1"}, settings, error));
    EXPECT_FALSE(virtual_device_settings("bogus", {}, settings, error));
}

TEST(Playback, SendsEachItemAtItsTimeAndPairsEachCloudWithAnOdometry) {
    small_recording rec;
    recording_player player;
    std::string error;
    ASSERT_TRUE(player.open({rec.root.string(), 1, false, std::nullopt}, error)) << error;
    // Nothing before its time: 0.01 s in, the first pose only (the picture's
    // stamp lies 719060 ns before its recorded time, which is the start).
    EXPECT_THAT(types_of(player.take_due(0.0, 32)), testing::IsEmpty());
    auto first = player.take_due(0.01, 32);
    ASSERT_EQ(types_of(first), std::vector<uint16_t>({wire::type_odometry}));
    EXPECT_EQ(stamp_of(first[0].second), 10000000000);
    // The rest, in time order; each cloud after its wiwc.
    auto rest = player.take_due(1.0, 32);
    EXPECT_EQ(types_of(rest),
              std::vector<uint16_t>({wire::type_wiwc, wire::type_cloud, wire::type_image,
                                     wire::type_odometry, wire::type_wiwc, wire::type_cloud,
                                     wire::type_odometry}));
    EXPECT_EQ(stamp_of(rest[1].second), 10050000000);
    EXPECT_EQ(stamp_of(rest[2].second), 10100000000 - 719060);
    EXPECT_TRUE(player.finished());
}

TEST(Playback, WaitsForRoomAndLoopsWithNumbersAndTimesRunningOn) {
    small_recording rec;
    recording_player player;
    std::string error;
    ASSERT_TRUE(player.open({rec.root.string(), 1, true, std::nullopt}, error)) << error;
    std::vector<std::pair<uint8_t, byte_vector>> all;
    for (int call = 0; call < 20; ++call) {
        auto some = player.take_due(0.5, 3); // room for one cloud's messages at a time
        EXPECT_LE(some.size(), 3u);
        all.insert(all.end(), some.begin(), some.end());
    }
    EXPECT_FALSE(player.finished());
    std::vector<int64_t> clouds;
    std::vector<uint64_t> numbers;
    for (const auto &[endpoint, message] : all) {
        if (wire::message_type(message) != wire::type_cloud)
            continue;
        clouds.push_back(stamp_of(message));
        const size_t payload = message.size() - wire::message_payload_length(message);
        numbers.push_back(wire::get_be(message.data() + payload + wire::buffer_number_at, 8));
    }
    EXPECT_THAT(numbers, testing::ElementsAre(0, 1, 2, 3));
    // Two passes fit half a second: the second 0.2 s + 719060 ns + 0.1 s later.
    const int64_t pass = 200000000 + 719060 + 100000000;
    EXPECT_THAT(clouds, testing::ElementsAre(10050000000, 10150000000, 10050000000 + pass,
                                             10150000000 + pass));
    for (size_t i = 1; i < all.size(); ++i)
        EXPECT_LE(stamp_of(all[i - 1].second), stamp_of(all[i].second) + 719060)
            << "message " << i << " goes back in time";
}
