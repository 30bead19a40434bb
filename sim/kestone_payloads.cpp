#include "sim/kestone_payloads.h"
#include "sim/kestone.h"
#include "sim/kestone_wire.h"

#include <algorithm>
#include <cmath>

namespace kest_sim {

using namespace wire;

namespace {

constexpr int64_t epoch_ns = 1700000000000000000;
constexpr size_t room_points = 200000;
constexpr unsigned room_seed = 7;
constexpr double cloud_units_per_metre = 10000;
constexpr double dtof_hfov = 1.6, dtof_vfov = 1.2; // radians
constexpr uint32_t dtof_fallback_cols = 160, dtof_fallback_rows = 120;
constexpr double imu_scale = 1e8;

const std::vector<scene_point> &room() {
    static const std::vector<scene_point> points = make_room(room_points, room_seed);
    return points;
}

// Point j of cloud frame k: a window sliding over the room's points, so a few
// seconds of clouds cover the whole room.
const scene_point &cloud_point(uint64_t frame, size_t count, size_t j) {
    const std::vector<scene_point> &points = room();
    const size_t first = (frame * count) % points.size();
    return points[(first + j) % points.size()];
}

void put_buffer_header(byte_vector &out, size_t block_bytes, uint64_t number, int64_t timestamp,
                       uint64_t param1, uint64_t param2) {
    put_be(out, buffer_size_at, block_bytes, 4);
    put_be(out, buffer_number_at, number, 8);
    put_be(out, buffer_time_at, static_cast<uint64_t>(timestamp), 8);
    put_be(out, buffer_time2_at, static_cast<uint64_t>(timestamp), 8);
    put_be(out, buffer_param1_at, param1, 4);
    put_be(out, buffer_param2_at, param2, 4);
}

void put_matrix(byte_vector &out, size_t at, const pose &p) {
    const double m[12] = {p.r[0], p.r[1], p.r[2], p.t[0], p.r[3], p.r[4],
                          p.r[5], p.t[1], p.r[6], p.r[7], p.r[8], p.t[2]};
    for (size_t i = 0; i < 12; ++i)
        put_le_f64(out, at + 8 * i, m[i]);
}

} // namespace

int64_t device_time(double seconds) {
    return epoch_ns + std::llround(seconds * 1e9);
}

byte_vector odometry_payload(int64_t timestamp, const odometry_sample &sample) {
    byte_vector out(record_bytes, 0);
    put_le(out, odometry_time_at, static_cast<uint64_t>(timestamp), 8);
    for (size_t i = 0; i < 3; ++i)
        put_le(out, odometry_position_at + 8 * i, static_cast<uint64_t>(sample.position_um[i]), 8);
    for (size_t i = 0; i < 4; ++i)
        put_le(out, odometry_quaternion_at + 8 * i, static_cast<uint64_t>(sample.quaternion_e6[i]),
               8);
    return out;
}

byte_vector wiwc_payload(int64_t timestamp, const wiwc_pair &wiwc) {
    byte_vector out(record_bytes, 0);
    put_le(out, wiwc_time_at, static_cast<uint64_t>(timestamp), 8);
    put_matrix(out, wiwc_a_at, wiwc.a);
    put_matrix(out, wiwc_b_at, wiwc.b);
    return out;
}

byte_vector cloud_payload(uint64_t frame, int64_t timestamp, const odometry_sample &odometry,
                          const std::vector<scan_point> &points, const wiwc_pair &wiwc) {
    pose to_sensor = wiwc.a.after(wiwc.b.inverse()).after(odometry_pose(odometry).inverse());
    const size_t count = points.size();
    byte_vector out(buffer_header_bytes + count * cloud_point_bytes, 0);
    // A cloud is count points by one.
    put_buffer_header(out, count * cloud_point_bytes, frame, timestamp, count, 1);
    for (size_t j = 0; j < count; ++j) {
        const scan_point &p = points[j];
        std::array<double, 3> s = to_sensor.apply(p.world);
        const int32_t words[cloud_point_words] = {
            static_cast<int32_t>(std::lround(s[0] * cloud_units_per_metre)),
            static_cast<int32_t>(std::lround(s[1] * cloud_units_per_metre)),
            static_cast<int32_t>(std::lround(s[2] * cloud_units_per_metre)),
            p.rgb[0],
            p.rgb[1],
            p.rgb[2],
            0};
        for (size_t w = 0; w < cloud_point_words; ++w)
            put_le(out, buffer_header_bytes + j * cloud_point_bytes + 4 * w,
                   static_cast<uint32_t>(words[w]), 4);
    }
    return out;
}

std::vector<scan_point> cloud_scan(const stream_settings &settings, uint64_t frame, double t) {
    if (settings.scan.scans)
        return slam_scan(settings.scan, odometry_pose(sensor_odometry(t, settings.motion)), frame,
                         settings.cloud_points);
    std::vector<scan_point> out;
    out.reserve(settings.cloud_points);
    for (size_t j = 0; j < settings.cloud_points; ++j) {
        const scene_point &p = cloud_point(frame, settings.cloud_points, j);
        out.push_back({{p.x, p.y, p.z}, {p.r, p.g, p.b}});
    }
    return out;
}

// The IMU's accelerometer and gyroscope, as the motion makes them, in the sensor frame.
byte_vector imu_payload(uint64_t index, int64_t timestamp, double t,
                        const motion_settings &motion) {
    const imu_reading reading = sensor_imu(t, motion);
    const double values[6] = {reading.accel[0], reading.accel[1], reading.accel[2],
                              reading.gyro[0],  reading.gyro[1],  reading.gyro[2]};
    byte_vector out(imu_payload_bytes, 0);
    for (size_t i = 0; i < 6; ++i)
        put_be(out, imu_values_at + 8 * i,
               static_cast<uint64_t>(std::llround(values[i] * imu_scale)), 8);
    put_be(out, imu_time_at, static_cast<uint64_t>(timestamp), 8);
    put_be(out, imu_number_at, index, 8);
    return out;
}

// Points in millimetres in the device's axes (x right, y up, z forward), row by row.
byte_vector dtof_payload(const stream_settings &settings, uint64_t frame, int64_t timestamp,
                         double t) {
    const bool four = settings.dtof_four_entries;
    const dtof_form &form = four ? dtof_four : dtof_three;
    size_t cols = settings.dtof_cols, rows = settings.dtof_rows;
    if (cols * rows > dtof_max_points || cols < 2 || rows < 2)
        cols = dtof_fallback_cols, rows = dtof_fallback_rows;
    byte_vector out(form.payload_bytes, 0);
    put_buffer_header(out, form.block_bytes, frame, timestamp, cols, rows);
    const size_t points_at = buffer_header_bytes + form.block_bytes,
                 intensity_at = points_at + form.point_area;
    pose sensor = odometry_pose(sensor_odometry(t, settings.motion));
    const frame_dice dice(frame, 2);
    for (size_t row = 0; row < rows; ++row) {
        for (size_t col = 0; col < cols; ++col) {
            double h = (0.5 - static_cast<double>(col) / (cols - 1)) * dtof_hfov;
            double v = (0.5 - static_cast<double>(row) / (rows - 1)) * dtof_vfov;
            std::array<double, 3> ray = {std::cos(v) * std::cos(h), std::cos(v) * std::sin(h),
                                         std::sin(v)};
            std::array<double, 3> world = sensor.rotate(ray);
            // No return (the sky, a dropout, out of range) is an invalid pixel: all zero.
            const ray_return got = measure_ray(settings.scan, sensor.t, world, depth_max_range_m,
                                               dice, row * cols + col);
            const double d = got.distance;
            const std::array<uint8_t, 3> &rgb = got.rgb;
            // Device axes: x to the right (-left), y up, z forward; millimetres.
            const float point[4] = {static_cast<float>(-d * ray[1] * 1000),
                                    static_cast<float>(d * ray[2] * 1000),
                                    static_cast<float>(d * ray[0] * 1000), 0.0f};
            size_t i = row * cols + col;
            for (size_t f = 0; f < form.point_bytes / 4; ++f)
                put_le_f32(out, points_at + i * form.point_bytes + 4 * f, point[f]);
            double brightness = (rgb[0] + rgb[1] + rgb[2]) / (3.0 * 255.0) / (1.0 + 0.2 * d);
            const long level = d <= 0 ? 0
                               : four ? std::lround(brightness * 255)
                                      : std::lround(10 + brightness * 12490);
            put_le(out, intensity_at + i * form.intensity_bytes, static_cast<uint64_t>(level),
                   form.intensity_bytes);
        }
    }
    return out;
}

byte_vector image_payload(const camera_settings &camera, uint64_t k, int64_t timestamp,
                          const byte_vector &picture) {
    const camera_settings real = camera_sanitised(camera);
    byte_vector out(buffer_header_bytes + picture.size(), 0);
    put_buffer_header(out, picture.size(), k, timestamp, real.width, real.height);
    std::copy(picture.begin(), picture.end(), out.begin() + buffer_header_bytes);
    return out;
}

// Temperatures and loads drift slowly; rates are the configured ones.
byte_vector info_payload(const stream_settings &settings, double t) {
    byte_vector out(info_payload_bytes, 0);
    auto field = [&](size_t record_offset, int64_t value, size_t bytes = 4) {
        put_le(out, info_payload_at(record_offset), static_cast<uint64_t>(value), bytes);
    };
    auto millihertz = [](double hz) { return std::llround(hz * 1000); };
    const double drift = std::sin(t / 30);
    const int temps[5] = {52, 48, 45, 44, 41}; // package, cpu, centre, gpu, npu; degrees C
    for (size_t i = 0; i < 5; ++i)
        field(info_temperatures_at + 4 * i, temps[i] + std::lround(3 * drift));
    for (int core = 0; core < 8; ++core)
        field(info_core_loads_at + 4 * core,
              20 + 5 * core + std::lround(10 * std::sin(t / 7 + core)));
    field(info_ram_at, 37 + std::lround(2 * drift));
    for (size_t at : {info_image_rate_at, info_image_rate_at + 4})
        field(at, millihertz(settings.image_hz));
    for (size_t at : {info_dtof_rate_at, info_dtof_rate_at + 4})
        field(at, millihertz(settings.dtof_hz));
    field(info_dtof_subframe_rate_at, millihertz(settings.dtof_hz * 4)); // four per depth frame
    field(info_transmitter_temp_at, 41, 2);
    field(info_receiver_temp_at, 39, 2);
    for (size_t at : {info_imu_rate_at, info_imu_rate_at + 4})
        field(at, millihertz(settings.imu_hz));
    field(info_cloud_rate_at, millihertz(settings.cloud_hz));
    field(info_slam_odometry_rate_at,
          millihertz(settings.slam.odometry_per_cloud > 0
                         ? settings.cloud_hz * settings.slam.odometry_per_cloud
                         : settings.cloud_hz));
    field(info_hf_odometry_rate_at, millihertz(settings.hf_odometry_hz));
    return out;
}

void restamp_message(byte_vector &message, uint64_t k, int64_t timestamp) {
    const uint16_t type = message_type(message);
    const auto ts = static_cast<uint64_t>(timestamp);
    if (type == type_cloud || type == type_dtof || type == type_image) {
        put_be(message, cmd_header_bytes + buffer_number_at, k, 8);
        put_be(message, cmd_header_bytes + buffer_time_at, ts, 8);
        put_be(message, cmd_header_bytes + buffer_time2_at, ts, 8);
    } else if (type == type_odometry || type == type_hf_odometry) {
        put_le(message, cmd_header_bytes + odometry_time_at, ts, 8);
    } else if (type == type_wiwc) {
        put_le(message, cmd_header_bytes + wiwc_time_at, ts, 8);
    } else if (type == type_imu) {
        put_be(message, cmd_header_bytes + imu_time_at, ts, 8);
        put_be(message, cmd_header_bytes + imu_number_at, k, 8);
    }
}

} // namespace kest_sim
