// The application's hot path: the stream decoders per stream type, in items
// (points or pictures) and bytes per second, and the recorder's write
// throughput, each beside the rate at which the virtual KestOne's "full"
// preset sends that stream ("x_full": how many times that rate one core
// handles; the library prints it with "/s", but it is a plain multiple), and
// memcpy of the same bytes in the same run.
//
// The decoders print progress lines on standard output, as the application
// does; here that output goes to /dev/null and the figures to the real one.
#include "app/binary_data_logger.h"
#include "app/replay_buffer.h"
#include "app/stream_decoding.h"
#include "bench/memcpy_baseline.h"
#include "sim/kestone.h"
#include "sim/kestone_camera.h"

#include <benchmark/benchmark.h>

#include <ext/stdio_filebuf.h>

#include <QDir>
#include <QTemporaryDir>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const kest_sim::stream_settings full = kest_sim::stream_preset("full");
constexpr size_t slam_point_bytes = 28;
constexpr size_t dtof_point_bytes = 16; // the wide form: float x, y, z and a fourth
constexpr size_t dtof_intensity_bytes = 2;
constexpr size_t odometry_bytes = 688;

void put_le32(uint8_t *p, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// A room-sized SLAM cloud in the device's units (0.1 mm) with colours.
Bytes slam_payload(size_t points) {
    Bytes out(points * slam_point_bytes);
    for (size_t i = 0; i < points; ++i) {
        uint8_t *p = out.data() + i * slam_point_bytes;
        double a = 0.001 * static_cast<double>(i);
        put_le32(p + 0, static_cast<uint32_t>(static_cast<int32_t>(40000 * std::cos(a))));
        put_le32(p + 4, static_cast<uint32_t>(static_cast<int32_t>(30000 * std::sin(a))));
        put_le32(p + 8, static_cast<uint32_t>(static_cast<int32_t>(i % 25000)));
        put_le32(p + 12, static_cast<uint32_t>(i & 0xFF));
        put_le32(p + 16, static_cast<uint32_t>((i >> 3) & 0xFF));
        put_le32(p + 20, static_cast<uint32_t>((i >> 5) & 0xFF));
    }
    return out;
}

Bytes dtof_points(size_t n) {
    Bytes out(n * dtof_point_bytes);
    for (size_t i = 0; i < n; ++i) {
        float xyz[4] = {static_cast<float>(i % 224) - 112.0f, static_cast<float>(i / 224) - 86.0f,
                        1500.0f + static_cast<float>(i % 97), 0.0f};
        memcpy(out.data() + i * dtof_point_bytes, xyz, sizeof xyz);
    }
    return out;
}

Bytes dtof_intensities(size_t n) {
    Bytes out(n * dtof_intensity_bytes);
    for (size_t i = 0; i < n; ++i) {
        uint16_t value = static_cast<uint16_t>((i * 37) % 14000);
        memcpy(out.data() + i * dtof_intensity_bytes, &value, sizeof value);
    }
    return out;
}

lidar_stream_entry_t entry_of(const Bytes &bytes, uint32_t param1 = 0, uint32_t param2 = 0) {
    lidar_stream_entry_t entry{};
    entry.data = bytes.data();
    entry.size = static_cast<uint32_t>(bytes.size());
    entry.timestamp = 1234567890123456789ull;
    entry.value1 = 7;
    entry.param1 = param1;
    entry.param2 = param2;
    return entry;
}

Bytes camera_picture(bool nv12) {
    kest_sim::camera_settings camera = full.camera;
    camera.nv12 = nv12;
    return kest_sim::camera_picture(camera, full.motion, 1.0);
}

// "x_full": bytes per second handled over the bytes per second the "full"
// preset sends on this stream.
void report(benchmark::State &state, size_t bytes, size_t items, double full_hz) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * items));
    state.counters["x_full"] =
        benchmark::Counter(1.0 / full_hz, benchmark::Counter::kIsIterationInvariantRate);
}

std::atomic<uint32_t> pose_seq{0}, cloud_seq{0}, image_seq{0};

void BM_DecodeSlamCloud(benchmark::State &state) {
    const bool recording = state.range(0) != 0;
    Bytes payload = slam_payload(full.cloud_points);
    lidar_stream_data_t record{};
    record.type = LIDAR_STREAM_SLAM_CLOUD;
    record.count = 1;
    record.entries[0] = entry_of(payload);
    for (auto _ : state) {
        StreamDecoding::DecodedCloud cloud =
            StreamDecoding::decodeSlamCloud(record, 0, recording ? &cloud_seq : nullptr);
        benchmark::DoNotOptimize(cloud.points.data());
        benchmark::DoNotOptimize(cloud.record.data());
    }
    report(state, payload.size(), full.cloud_points, full.cloud_hz);
}
BENCHMARK(BM_DecodeSlamCloud)->ArgName("recording")->Arg(0)->Arg(1);

void BM_DecodeDtofFrame(benchmark::State &state) {
    const size_t n = size_t{full.dtof_cols} * full.dtof_rows;
    Bytes points = dtof_points(n), intensities = dtof_intensities(n);
    lidar_stream_data_t record{};
    record.type = LIDAR_STREAM_DTOF;
    record.count = 3;
    record.entries[0] = entry_of(points, full.dtof_cols, full.dtof_rows);
    record.entries[1] = entry_of(points, full.dtof_cols, full.dtof_rows);
    record.entries[2] = entry_of(intensities, full.dtof_cols, full.dtof_rows);
    for (auto _ : state) {
        std::vector<CloudPoint> cloud = StreamDecoding::decodeDtofCloud(record);
        benchmark::DoNotOptimize(cloud.data());
    }
    report(state, points.size() + intensities.size(), n, full.dtof_hz);
}
BENCHMARK(BM_DecodeDtofFrame);

// A picture decoded to BGR for the preview; while recording, an NV12 picture
// is also encoded as a JPEG file at quality 80 and a JPEG picture copied.
void BM_DecodePicture(benchmark::State &state) {
    const bool nv12 = state.range(0) != 0;
    const bool recording = state.range(1) != 0;
    Bytes picture = camera_picture(nv12);
    lidar_stream_entry_t entry = entry_of(picture, full.camera.width, full.camera.height);
    for (auto _ : state) {
        StreamDecoding::DecodedImage image =
            StreamDecoding::decodeImage(entry, recording ? &image_seq : nullptr);
        benchmark::DoNotOptimize(image.image.data);
        benchmark::DoNotOptimize(image.record.data());
    }
    report(state, picture.size(), 1, full.image_hz);
}
BENCHMARK(BM_DecodePicture)
    ->ArgNames({"nv12", "recording"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1});

void BM_DecodeOdometry(benchmark::State &state) {
    Bytes payload(odometry_bytes, 0);
    put_le32(payload.data() + 56, 1000000); // qw 1
    lidar_stream_data_t record{};
    record.type = LIDAR_STREAM_ODOMETRY;
    record.count = 1;
    record.entries[0] = entry_of(payload);
    for (auto _ : state) {
        StreamDecoding::DecodedPose pose = StreamDecoding::decodePose(record, &pose_seq);
        benchmark::DoNotOptimize(pose.record.data());
    }
    report(state, payload.size(), 1, full.cloud_hz + full.hf_odometry_hz);
}
BENCHMARK(BM_DecodeOdometry);

// One second of the "full" preset's records (clouds, poses, pictures as the
// decoders build them) through a recorder, from the first push until stop has
// the files closed on the disk: the recorder's write throughput.
void BM_RecorderWrite(benchmark::State &state) {
    Bytes payload = slam_payload(full.cloud_points);
    lidar_stream_data_t cloud{};
    cloud.type = LIDAR_STREAM_SLAM_CLOUD;
    cloud.count = 1;
    cloud.entries[0] = entry_of(payload);
    std::atomic<uint32_t> seq{0};
    const Bytes cloud_record = StreamDecoding::decodeSlamCloud(cloud, 0, &seq).record;
    Bytes picture = camera_picture(false);
    const Bytes image_record =
        StreamDecoding::decodeImage(entry_of(picture, full.camera.width, full.camera.height), &seq)
            .record;
    const Bytes pose_record(40, 1);
    const int clouds = static_cast<int>(full.cloud_hz), images = static_cast<int>(full.image_hz);
    const size_t second_bytes =
        clouds * (cloud_record.size() + pose_record.size()) + images * image_record.size();

    QTemporaryDir root;
    for (auto _ : state) {
        RecorderConfig config;
        config.root = root.path();
        BinaryDataLogger logger(config);
        for (int i = 0; i < images; ++i) {
            if (i < clouds) {
                logger.cloudWriter->push(Bytes(cloud_record));
                logger.poseWriter->push(Bytes(pose_record));
            }
            logger.imageWriter->push(Bytes(image_record));
        }
        logger.stop();
        state.PauseTiming();
        QDir(logger.recordDir).removeRecursively();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * second_bytes));
    // Seconds of "full" recording written per second.
    state.counters["x_full"] =
        benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_RecorderWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

// The instant-replay buffer at the "full" preset's rates: each iteration pushes
// one second of its records (clouds, poses and JPEG pictures, as built for the
// recorder) into a 5 s buffer. "held_per_s" is the memory the buffer holds per
// second of buffer (its budget must cover seconds times this).
void BM_ReplayBufferFullRate(benchmark::State &state) {
    const Bytes payload = slam_payload(full.cloud_points);
    lidar_stream_data_t record{};
    record.type = LIDAR_STREAM_SLAM_CLOUD;
    record.count = 1;
    record.entries[0] = entry_of(payload);
    const Bytes cloud = StreamDecoding::decodeSlamCloud(record, 0, &cloud_seq).record;
    const Bytes jpeg = camera_picture(false);
    const float values[StreamDecoding::POSE_RECORD_VALUES] = {1, 2, 3, 0, 0, 0, 1};
    const int poses = int(std::lround(full.cloud_hz * full.slam.odometry_per_cloud));
    ReplayBuffer buffer;
    buffer.setLimits(5, ReplayBuffer::defaultBudgetBytes);
    double second = 0;
    for (auto _ : state) {
        for (int i = 0; i < int(full.cloud_hz); ++i) {
            Bytes copy = cloud;
            const double t = second + i / full.cloud_hz;
            memcpy(copy.data() + 4, &t, sizeof t);
            buffer.push(1, std::move(copy));
        }
        for (int i = 0; i < poses; ++i)
            buffer.push(0, StreamDecoding::buildPoseRecord(0, second + double(i) / poses, values));
        for (int i = 0; i < int(full.image_hz); ++i)
            buffer.push(2, StreamDecoding::buildImageRecord(0, second + i / full.image_hz,
                                                            jpeg.data(), uint32_t(jpeg.size())));
        second += 1;
    }
    state.counters["held_per_s"] =
        double(buffer.bytesHeld()) / std::max(buffer.secondsHeld(), 1e-9);
    state.counters["x_full"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ReplayBufferFullRate)->MinTime(2);

void BM_MemcpyBaseline(benchmark::State &state) {
    measure_memcpy(state, full.cloud_points * slam_point_bytes); // one SLAM cloud's bytes
}
BENCHMARK(BM_MemcpyBaseline);

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    // The figures go to the real standard output; the decoders' lines to /dev/null.
    const int results_fd = dup(STDOUT_FILENO);
    const bool terminal = isatty(results_fd) != 0;
    __gnu_cxx::stdio_filebuf<char> results(results_fd, std::ios::out);
    std::ostream out(&results);
    if (freopen("/dev/null", "w", stdout) == nullptr)
        return 1;
    benchmark::ConsoleReporter reporter(terminal ? benchmark::ConsoleReporter::OO_Defaults
                                                 : benchmark::ConsoleReporter::OO_Tabular);
    reporter.SetOutputStream(&out);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    out.flush();
    return 0;
}
