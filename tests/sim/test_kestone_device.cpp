// The virtual KestOne's parts on their own: the frames it may send (reserved bytes and filler not
// zero, without checksums or split into small frames), its fault campaign, and its player's rules
// on a small recording written here (that the host gets a playback back is kestctl's test).
#include "sim/kestone.h"
#include "sim/kestone_faults.h"
#include "sim/kestone_frames.h"
#include "sim/kestone_playback.h"
#include "sim/kestone_wire.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <array>
#include <filesystem>

using namespace kest_sim;
using namespace kest_test;
namespace fs = std::filesystem;

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

TEST(FaultCampaign, DrawsEveryKindAndReplugsForReplugsAndLostAnswers) {
    auto device = std::make_shared<kest_sim::kestone>();
    kest_sim::fault_settings settings;
    settings.every_s = 0.002;
    settings.lost_answer_s = 0.001;
    settings.silence_max_s = 0.01;
    std::array<uint64_t, kest_sim::fault_kinds> counts{};
    int replugs = 0;
    {
        kest_sim::fault_injector faults(
            device, [&] { ++replugs; }, settings);
        ASSERT_TRUE(eventually(
            [&] {
                counts = faults.injected();
                return std::all_of(counts.begin(), counts.end(),
                                   [](uint64_t count) { return count >= 2; });
            },
            "two faults of every kind"));
    }
    EXPECT_GE(replugs, counts[4] + counts[5]) << "a replug for each, a lost answer included";
}

TEST(Playback, WaitsForRoomAndLoopsWithNumbersAndTimesRunningOn) {
    small_recording rec;
    recording_player player;
    std::string error;
    ASSERT_TRUE(player.open({rec.root.string(), 1, true, std::nullopt}, error)) << error;
    std::vector<std::pair<uint8_t, byte_vector>> all;
    player.advance(0.5);
    for (int call = 0; call < 20; ++call) {
        auto some = player.take_due(3); // room for one cloud's messages at a time
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

// What the user reads when a folder cannot be played: what the folder is, not a phrase to decode.
TEST(Playback, AFolderThatIsNotARecordingIsNamedSo) {
    temp_dir dir;
    stream_settings settings;
    std::string error;
    EXPECT_FALSE(virtual_device_settings("play:" + dir.path().string(), {}, settings, error));
    EXPECT_EQ(error, dir.path().string() +
                         " is not a recording: it holds no recorded pose, cloud or picture");
    EXPECT_FALSE(virtual_device_settings("play:", {}, settings, error));
    EXPECT_EQ(error, "play: names no recording to play");
}

namespace {

// Three segments of 3 s, the device clock starting again near 1 s at each: poses at 10 Hz, clouds
// at 5 Hz, pictures at 2 Hz.
struct restarted_recording {
    temp_dir dir;
    fs::path root = dir.path() / "rec";
    std::vector<double> cloud_times;
    restarted_recording() {
        fs::create_directories(root);
        std::string poses, clouds, images;
        uint32_t numbers[3] = {0, 0, 0};
        for (int s = 0; s < 3; ++s) {
            const double start = 1 + 0.01 * s;
            for (int i = 0; i <= 30; ++i)
                poses += pose(numbers[0]++, start + i * 0.1);
            for (int i = 0; i < 15; ++i) {
                cloud_times.push_back(start + 0.02 + i * 0.2);
                clouds += cloud(numbers[1]++, cloud_times.back());
            }
            for (int i = 0; i < 6; ++i)
                images += image(numbers[2]++, start + 0.03 + i * 0.5);
        }
        write_file((root / "KestPose.bin").string(), poses);
        write_file((root / "MTrec.kvx").string(), clouds);
        write_file((root / "KestImage.bin").string(), images);
    }
};

// The time stamps of the messages of one type.
std::vector<int64_t> stamps_of(const std::vector<std::pair<uint8_t, byte_vector>> &messages,
                               uint16_t type) {
    std::vector<int64_t> out;
    for (const auto &[endpoint, message] : messages)
        if (wire::message_type(message) == type)
            out.push_back(stamp_of(message));
    return out;
}

std::vector<int64_t> cloud_stamps(const std::vector<std::pair<uint8_t, byte_vector>> &messages) {
    return stamps_of(messages, wire::type_cloud);
}

int64_t stamp_at(double seconds) {
    return std::llround(seconds * 1e9);
}

} // namespace

// Each cloud goes out once the clock reaches its place in its segment, never all of a later
// segment at once, and the segments in recorded order.
TEST(Playback, SegmentsWhereTheClockRestartedPlayInRecordedOrderEachAtItsPlace) {
    restarted_recording rec;
    recording_player player;
    std::string error;
    ASSERT_TRUE(player.open({rec.root.string(), 1, false, std::nullopt}, error)) << error;
    EXPECT_NEAR(player.length_s(), 9.0, 0.05);
    std::vector<int64_t> stamps;
    const double tick = 0.05;
    for (int step = 0; step < 200 && !player.finished(); ++step) {
        for (int64_t stamp : cloud_stamps(player.take_due(64))) {
            stamps.push_back(stamp);
            const size_t segment = (stamps.size() - 1) / 15;
            const double in_segment = stamp * 1e-9 - (1 + 0.01 * segment);
            EXPECT_NEAR(player.position_s(), 3.0 * segment + in_segment, tick + 0.02)
                << "cloud " << stamps.size() - 1;
        }
        player.advance(tick);
    }
    std::vector<int64_t> expected;
    for (double t : rec.cloud_times)
        expected.push_back(stamp_at(t));
    EXPECT_EQ(stamps, expected);
    EXPECT_TRUE(player.finished());
}

TEST(Playback, SeekingHalfwaySendsTheCloudRecordedThereAndStepsGoCloudByCloud) {
    restarted_recording rec;
    recording_player player;
    std::string error;
    ASSERT_TRUE(player.open({rec.root.string(), 1, false, std::nullopt}, error)) << error;
    player.advance(1.0);
    ASSERT_EQ(cloud_stamps(player.take_due(64)).size(), 5u);
    // Halfway, 4.5 s, is 1.5 s into the second segment: the next cloud is the one recorded
    // 1.62 s into it (at 2.63 s), number 23, due 0.12 s on.
    player.seek(player.length_s() / 2);
    EXPECT_THAT(cloud_stamps(player.take_due(64)), testing::IsEmpty());
    player.advance(0.15);
    std::vector<int64_t> stamps = cloud_stamps(player.take_due(64));
    ASSERT_THAT(stamps, testing::ElementsAre(stamp_at(rec.cloud_times[23])));
    EXPECT_EQ(player.last_cloud(), 23u);
    // Paused (the clock stands still): one cloud a step, forward and back.
    player.step(1);
    EXPECT_THAT(cloud_stamps(player.take_due(64)),
                testing::ElementsAre(stamp_at(rec.cloud_times[24])));
    player.step(1);
    EXPECT_THAT(cloud_stamps(player.take_due(64)),
                testing::ElementsAre(stamp_at(rec.cloud_times[25])));
    player.step(-1);
    EXPECT_THAT(cloud_stamps(player.take_due(64)),
                testing::ElementsAre(stamp_at(rec.cloud_times[24])));
    player.step(-1);
    EXPECT_THAT(cloud_stamps(player.take_due(64)),
                testing::ElementsAre(stamp_at(rec.cloud_times[23])));
    EXPECT_THAT(cloud_stamps(player.take_due(64)), testing::IsEmpty())
        << "nothing more while paused";
    // Back to the first segment, past the end: the first and last clouds come again.
    player.seek(0);
    EXPECT_THAT(cloud_stamps(player.take_due(64)), testing::IsEmpty()) << "the first is at 0.02 s";
    player.step(1);
    EXPECT_THAT(cloud_stamps(player.take_due(64)),
                testing::ElementsAre(stamp_at(rec.cloud_times[0])));
    // A step back from a seek: the cloud before the position.
    player.seek(4.5);
    player.step(-1);
    EXPECT_THAT(cloud_stamps(player.take_due(64)),
                testing::ElementsAre(stamp_at(rec.cloud_times[22])));
    player.seek(1e9);
    player.step(-1);
    player.step(1);
    EXPECT_EQ(cloud_stamps(player.take_due(64)).size(), 1u);
}

// At a high rate the pictures give way: with no room for them, they are left out, clouds are not.
TEST(Playback, AtHighRatesPicturesAreSkippedWhereTheyWouldHoldUpClouds) {
    restarted_recording rec;
    recording_player player;
    std::string error;
    ASSERT_TRUE(player.open({rec.root.string(), 8, false, std::nullopt}, error)) << error;
    player.advance(100);
    std::vector<std::pair<uint8_t, byte_vector>> all;
    for (int call = 0; call < 200 && !player.finished(); ++call) {
        auto some = player.take_due(6, true);
        all.insert(all.end(), some.begin(), some.end());
    }
    EXPECT_EQ(cloud_stamps(all).size(), rec.cloud_times.size());
    EXPECT_EQ(player.pictures_skipped(), 17u) << "all but the last of the 18, due together";
}

namespace {

// Poses every 20 ms from 10 s, clouds at 10.05, 10.1, 10.1 and 10.2 s.
struct shared_moment_recording {
    temp_dir dir;
    fs::path root = dir.path() / "rec";
    shared_moment_recording() {
        fs::create_directories(root);
        std::string poses;
        for (uint32_t i = 0; i < 20; ++i)
            poses += pose(i, 10.0 + i * 0.02);
        write_file((root / "KestPose.bin").string(), poses);
        write_file((root / "MTrec.kvx").string(),
                   cloud(0, 10.05) + cloud(1, 10.1) + cloud(2, 10.1) + cloud(3, 10.2));
    }
};

} // namespace

// Clouds that share a moment are stepped back one by one, and a jump forward sends no pose twice.
TEST(Playback, StepsBackThroughCloudsThatShareAMomentAndSeeksOnWithoutRepeatingPoses) {
    shared_moment_recording rec;
    recording_player player;
    std::string error;
    ASSERT_TRUE(player.open({rec.root.string(), 1, false, std::nullopt}, error)) << error;
    player.advance(0.2);
    ASSERT_EQ(cloud_stamps(player.take_due(64)).size(), 4u);
    for (size_t expected : {2u, 1u, 0u}) {
        player.step(-1);
        EXPECT_THAT(cloud_stamps(player.take_due(64)), testing::SizeIs(expected == 1 ? 2u : 1u));
        EXPECT_EQ(player.last_cloud(), expected == 1 ? 2u : expected);
    }

    player.seek(0.1);
    const std::vector<int64_t> before = stamps_of(player.take_due(64), wire::type_odometry);
    ASSERT_FALSE(before.empty());
    player.seek(0.11);
    for (int64_t stamp : stamps_of(player.take_due(64), wire::type_odometry))
        EXPECT_GT(stamp, before.back()) << "a pose sent again";
}
