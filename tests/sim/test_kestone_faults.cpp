// The faults a soak throws at the host, one of each kind on purpose: after
// every one the host streams again. And a seeded campaign draws every kind.
#include "sim/kestone_faults.h"
#include "tests/sim/streams_test.h"
#include "tests/support/wait.h"

#include <algorithm>
#include <mutex>

using namespace kest_test;

TEST_F(Streams, StreamingComesBackAfterEveryKindOfFault) {
    device->set_streams(demo_with_only({true}));
    keep_a_handle(starting::may_fail); // the lost answer is the start's
    bring_up();
    ASSERT_TRUE(wait_count(LIDAR_STREAM_SLAM_CLOUD, 1));
    std::mutex replugging; // the fixture unplugs device_id at the end
    kest_sim::fault_settings settings;
    settings.lost_answer_s = 1;
    settings.silence_max_s = 1;
    kest_sim::fault_injector faults(
        device,
        [&] {
            std::lock_guard<std::mutex> lock(replugging);
            kest_sim::bus_unplug(device_id);
            device_id = kest_sim::bus_plug(kest_sim::kestone_desc(), device);
        },
        settings);
    for (size_t kind = 0; kind < kest_sim::fault_kinds; ++kind) {
        const auto fault = static_cast<kest_sim::fault_kind>(kind);
        const size_t before = count_records(LIDAR_STREAM_SLAM_CLOUD);
        // On the endpoint the clouds come on, and for the request the fixture makes.
        faults.inject(fault, kest_sim::kestone::ep_dtof, kest_sim::wire::code_start);
        EXPECT_TRUE(wait_count(LIDAR_STREAM_SLAM_CLOUD, before + 3))
            << "no clouds after a " << kest_sim::fault_name(fault);
    }
    EXPECT_EQ(faults.injected(), (std::array<uint64_t, kest_sim::fault_kinds>{1, 1, 1, 1, 1, 1}));
    EXPECT_GE(attaches().size(), 5u) << "the replugs and the silence were seen as detaches";
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

// Whichever request of the attach sequence a lost answer cut short by stopping hit, it is answered.
TEST_F(Streams, ALostAnswerCutShortByStoppingIsAnsweredAgain) {
    kest_sim::fault_settings settings;
    settings.every_s = 0.002;
    settings.lost_answer_s = 600;
    settings.silence_max_s = 0.01;
    {
        kest_sim::fault_injector faults(
            device, [] {}, settings);
        ASSERT_TRUE(eventually([&] { return faults.injected()[5] >= 1; }, "a lost answer"));
    }
    bring_up();
    handle = make_device();
    uint32_t rate = 0;
    EXPECT_EQ(lidar_set_mode(handle, 0), 0);
    EXPECT_EQ(lidar_set_mode(handle, 1), 0);
    EXPECT_EQ(lidar_get_version(handle), 0);
    EXPECT_EQ(lidar_start_stream(handle, 0, &rate), 0);
}
