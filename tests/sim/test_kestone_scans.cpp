// The virtual KestOne's range sensors measure as real ones do: a SLAM cloud is
// what the scanner sees from its pose (its field of view, the nearest surface,
// range noise, fewer points far away), and dark, grazing and far surfaces and
// the sky through the window often or always return nothing.
#include "sim/kestone_scan.h"
#include "sim/kestone_scene.h"
#include "tests/sim/streams_test.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

using namespace kest_test;

namespace {

constexpr double pi = 3.14159265358979323846;

std::array<double, 3> minus(const std::array<double, 3> &a, const std::array<double, 3> &b) {
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

double length(const std::array<double, 3> &v) {
    return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

// Neighbours within radius of each of the points picked, among all.
double mean_neighbours(const std::vector<std::array<double, 3>> &all,
                       const std::vector<size_t> &picked, double radius) {
    size_t total = 0;
    for (size_t i : picked)
        for (const std::array<double, 3> &other : all)
            total += length(minus(all[i], other)) < radius;
    return static_cast<double>(total) / std::max<size_t>(picked.size(), 1) - 1;
}

} // namespace

// Every delivered point, taken back to the sensor through the cloud's odometry,
// lies within the scanner's field of view and on the first surface along its
// ray, a centimetre or so off it; near surfaces get more points than far ones.
TEST_F(Streams, SlamCloudIsWhatTheSensorSeesFromItsPose) {
    kest_sim::stream_settings settings = demo_with_only({true, false, false});
    settings.cloud_points = 2000;
    const kest_sim::scan_settings &scan = settings.scan;
    ASSERT_TRUE(scan.scans) << "the demo preset scans";
    bring_up_streaming(settings);
    ASSERT_TRUE(wait_count(LIDAR_STREAM_SLAM_CLOUD, 6));
    const std::vector<seen_record> seen = records();
    std::map<uint64_t, std::vector<uint8_t>> odometry; // by stamp
    for (const seen_record &record : seen)
        if (record.type == LIDAR_STREAM_ODOMETRY) {
            uint64_t stamp;
            memcpy(&stamp, record.entries[0].data(), sizeof stamp);
            odometry[stamp] = record.entries[0];
        }

    // The engine's world frame, taken back into the room the rays are traced in.
    const kest_sim::pose room_from_world = device->slam_world_now();
    size_t clouds = 0, points = 0, off_surface = 0, outside_view = 0;
    double squared_z = 0, near_density = 0, far_density = 0;
    for (const seen_record &record : seen) {
        // The first clouds come before any wiwc, unmoved: near the room, not on it.
        if (record.type != LIDAR_STREAM_SLAM_CLOUD ||
            record.fields[0].value1 < settings.slam.clouds_before_wiwc)
            continue;
        const uint64_t stamp = record.fields[0].timestamp;
        auto match = odometry.lower_bound(stamp - 8000000);
        ASSERT_TRUE(match != odometry.end() && match->first <= stamp + 8000000);
        const kest_sim::pose sensor =
            room_from_world.after(kest_sim::odometry_pose(odometry_of(match->second)));
        const kest_sim::pose to_sensor = sensor.inverse();
        std::vector<std::array<double, 3>> world;
        std::vector<std::pair<double, size_t>> by_range;
        for (size_t i = 0; i < record.entries[0].size() / 28; ++i) {
            int32_t xyz[3];
            memcpy(xyz, record.entries[0].data() + 28 * i, sizeof xyz);
            world.push_back(room_from_world.apply({xyz[0] / 1e4, xyz[1] / 1e4, xyz[2] / 1e4}));
            const std::array<double, 3> ray = minus(world.back(), sensor.t);
            const double range = length(ray);
            const std::array<double, 3> along = {ray[0] / range, ray[1] / range, ray[2] / range};
            const std::array<double, 3> seen_as = to_sensor.rotate(along);
            const double azimuth = std::atan2(seen_as[1], seen_as[0]) * 180 / pi;
            const double elevation = std::asin(std::clamp(seen_as[2], -1.0, 1.0)) * 180 / pi;
            outside_view += std::fabs(azimuth) > scan.hfov_deg / 2 + 0.5 ||
                            std::fabs(elevation) > scan.vfov_deg / 2 + 0.5;
            const kest_sim::ray_hit first = kest_sim::trace_ray(sensor.t, along);
            const double sigma = kest_sim::range_sigma(scan, first.distance);
            const double error = range - first.distance;
            off_surface += first.distance <= 0 || std::fabs(error) > 6 * sigma + 0.002;
            squared_z += error * error / (sigma * sigma);
            by_range.emplace_back(range, i);
        }
        std::sort(by_range.begin(), by_range.end());
        const size_t quarter = by_range.size() / 4;
        std::vector<size_t> nearest, farthest;
        for (size_t k = 0; k < quarter; ++k) {
            nearest.push_back(by_range[k].second);
            farthest.push_back(by_range[by_range.size() - 1 - k].second);
        }
        near_density += mean_neighbours(world, nearest, 0.15);
        far_density += mean_neighbours(world, farthest, 0.15);
        points += world.size();
        ++clouds;
    }
    ASSERT_GE(clouds, 3u);
    EXPECT_EQ(outside_view, 0u) << "points outside the field of view";
    EXPECT_EQ(off_surface, 0u) << "points not on the first surface along their ray (hidden ones)";
    const double rms_z = std::sqrt(squared_z / points);
    EXPECT_GT(rms_z, 0.7) << "range noise of the stated size";
    EXPECT_LT(rms_z, 1.3);
    EXPECT_GT(near_density, 2 * far_density) << "points thin out with range";
    EXPECT_LT(points, clouds * settings.cloud_points) << "some rays return nothing";
}

namespace {

// Of count rays from origin towards target (spread over a 2 cm patch), the
// share that returns, and their mean range.
std::pair<double, double> returns(const kest_sim::scan_settings &settings,
                                  const std::array<double, 3> &origin,
                                  const std::array<double, 3> &target, size_t count = 2000) {
    const kest_sim::frame_dice dice(1, 9), jitter(1, 10);
    size_t back = 0;
    double sum = 0;
    for (size_t i = 0; i < count; ++i) {
        std::array<double, 3> ray = minus(target, origin);
        for (size_t c = 0; c < 3; ++c)
            ray[c] += 0.02 * jitter.uniform(3 * i + c) - 0.01;
        const double n = length(ray);
        const kest_sim::ray_return got =
            kest_sim::measure_ray(settings, origin, {ray[0] / n, ray[1] / n, ray[2] / n},
                                  kest_sim::slam_max_range_m, dice, i);
        back += got.distance > 0;
        sum += got.distance;
    }
    return {static_cast<double>(back) / count, back > 0 ? sum / back : 0};
}

} // namespace

TEST(Scans, DarkGrazingAndFarSurfacesReturnLessAndTheSkyNothing) {
    const kest_sim::scan_settings real = kest_sim::untidy_scan(), tidy;
    // The black screen on the west wall, and the red wall just above it.
    EXPECT_LT(returns(real, {0, -0.1, 1.3}, {-3, -0.1, 1.3}).first, 0.5);
    EXPECT_GT(returns(real, {0, -0.1, 2.4}, {-3, -0.1, 2.4}).first, 0.97);
    // Along the south wall, met at about a degree.
    EXPECT_LT(returns(real, {2.8, -1.9, 1.5}, {-2.2, -2.0, 1.5}).first, 0.2);
    // Through the window onto the facade 12 m away: half come back, from there.
    const auto [facade_share, facade_range] = returns(real, {1.1, 0, 1.5}, {1.1, 2, 1.5});
    EXPECT_GT(facade_share, 0.3);
    EXPECT_LT(facade_share, 0.8);
    EXPECT_NEAR(facade_range, 12.0, 0.05);
    // Up through the window: the sky.
    EXPECT_EQ(returns(real, {1.1, 1.0, 1.0}, {1.1, 2.0, 2.0}).first, 0.0);
    // Without scans every surface returns, at its exact range.
    EXPECT_EQ(returns(tidy, {0, -0.1, 1.3}, {-3, -0.1, 1.3}).first, 1.0);
    const auto [exact_share, exact_range] = returns(tidy, {1.1, 0, 1.5}, {1.1, 2, 1.5});
    EXPECT_EQ(exact_share, 1.0);
    EXPECT_NEAR(exact_range, 12.0, 1e-3);
}
