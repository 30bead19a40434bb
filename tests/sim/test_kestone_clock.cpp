// The virtual KestOne's one clock as the host meets it: time stamps and frame
// numbers that run on across a stop and start of streaming and, when set,
// across a replug.
#include "sim/kestone_payloads.h"
#include "tests/sim/streams_test.h"

#include <algorithm>
#include <cstring>
#include <thread>

using namespace kest_test;

namespace {

struct imu_seen {
    uint64_t number;
    int64_t stamp;
};

std::vector<imu_seen> imu_samples(const std::vector<seen_record> &records) {
    std::vector<imu_seen> out;
    for (const seen_record &record : records) {
        if (record.type != LIDAR_STREAM_IMU)
            continue;
        lidar_imu_record_t imu;
        memcpy(&imu, record.entries[0].data(), sizeof imu);
        out.push_back({imu.words[1], static_cast<int64_t>(imu.words[0])});
    }
    return out;
}

kest_sim::stream_settings imu_only() {
    kest_sim::stream_settings settings = demo_with_only({false, false, false, true});
    settings.hf_odometry_hz = 0;
    settings.imu_hz = 100;
    return settings;
}

} // namespace

// The device is stopped for a moment (the moment is the scenario, not a wait
// for anything); the samples after the restart are told from those before by
// the gap in their stamps, which must cover at least the time stopped.
TEST_F(Streams, ClockAndNumbersRunOnAcrossStopAndStart) {
    bring_up_streaming(imu_only());
    ASSERT_TRUE(wait_count(LIDAR_STREAM_IMU, 20));
    using steady = std::chrono::steady_clock;
    steady::time_point stopped, restarted;
    {
        std::lock_guard<std::mutex> lock(handle_mutex);
        ASSERT_EQ(lidar_stop_stream(handle, 0), 0);
        stopped = steady::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        uint32_t rate = 0;
        restarted = steady::now();
        ASSERT_EQ(lidar_start_stream(handle, 0, &rate), 0);
    }
    const size_t seen_at_restart = count_records(LIDAR_STREAM_IMU);
    ASSERT_TRUE(wait_count(LIDAR_STREAM_IMU, seen_at_restart + 20));
    const std::vector<imu_seen> all = imu_samples(records());
    std::vector<size_t> gaps; // where the stamps step by more than ten periods
    for (size_t i = 1; i < all.size(); ++i)
        if (all[i].stamp - all[i - 1].stamp > 100000000)
            gaps.push_back(i);
    ASSERT_EQ(gaps.size(), 1u) << "the one stop";
    const imu_seen &last = all[gaps[0] - 1], &first = all[gaps[0]];
    EXPECT_GT(first.number, last.number) << "numbers run on";
    EXPECT_LE(first.number, last.number + 5 * time_scale())
        << "only items made but not sent before the stop are skipped";
    // Item times sit on the stream's 10 ms grid, so one period is lost to rounding.
    EXPECT_GE(first.stamp - last.stamp + 10000000,
              std::chrono::duration_cast<std::chrono::nanoseconds>(restarted - stopped).count())
        << "the clock ran on while streaming was stopped";
    for (size_t i = gaps[0] + 1; i < all.size(); ++i) {
        EXPECT_EQ(all[i].number, all[i - 1].number + 1);
        EXPECT_EQ(all[i].stamp - all[i - 1].stamp, 10000000) << "100 Hz";
    }
}

TEST_F(Streams, ClockStartsAgainAtPlugInUnlessItSurvivesTheReplug) {
    for (bool survives : {false, true}) {
        SCOPED_TRACE(survives ? "survives" : "starts again");
        kest_sim::stream_settings settings = imu_only();
        settings.clock_survives_replug = survives;
        stream_with(settings);
        const size_t seen_before = count_records(LIDAR_STREAM_IMU);
        ASSERT_TRUE(wait_count(LIDAR_STREAM_IMU, seen_before + 20));
        const size_t attaches_before = attaches().size();
        kest_sim::bus_unplug(device_id);
        ASSERT_TRUE(wait_attach_events(attaches_before + 1));
        const imu_seen last = imu_samples(records()).back();
        const size_t seen_unplugged = count_records(LIDAR_STREAM_IMU);
        device_id = kest_sim::bus_plug(kest_sim::kestone_desc(), device);
        ASSERT_TRUE(wait_attach_events(attaches_before + 2));
        ASSERT_TRUE(wait_count(LIDAR_STREAM_IMU, seen_unplugged + 5));
        const imu_seen first = imu_samples(records())[seen_unplugged];
        if (survives) {
            EXPECT_GT(first.number, last.number);
            EXPECT_GT(first.stamp, last.stamp);
        } else {
            EXPECT_EQ(first.number, 0u);
            EXPECT_LT(first.stamp, last.stamp);
            EXPECT_LT(first.stamp - kest_sim::device_time(0), 2000000000LL * time_scale())
                << "near plug-in";
        }
    }
}
