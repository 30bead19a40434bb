// What reading a recording costs: inspect and each kind of export, in bytes
// of recording per second, beside two baselines in the same run: memcpy of the
// cloud file's bytes and reading the file itself (from the page cache, as a
// recording just made or read once is). LAS and MCAP sit beside PLY. The recording is made here:
// 200 clouds of 20 000 points (60 MB), 2000 poses and 100 pictures.
#include "recording/record_layout.h"
#include "recording/recording_export.h"
#include "recording/recording_summary.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int clouds = 200, pointsPerCloud = 20000, poses = 2000, pictures = 100;

void append(std::ofstream &out, const std::vector<uint8_t> &record) {
    out.write(reinterpret_cast<const char *>(record.data()), std::streamsize(record.size()));
}

// Points on the walls of a 10 x 8 m room with a centimetre of noise.
std::vector<CloudPoint> roomScan(std::mt19937 &random) {
    std::uniform_real_distribution<float> along(0, 1), noise(-0.01f, 0.01f);
    std::vector<CloudPoint> out(pointsPerCloud);
    for (CloudPoint &point : out) {
        const float t = along(random), h = 3 * along(random);
        const int wall = int(random() % 4);
        point.x = (wall < 2 ? t * 10 : (wall == 2 ? 0 : 10)) + noise(random);
        point.y = (wall >= 2 ? t * 8 : (wall == 0 ? 0 : 8)) + noise(random);
        point.z = h;
        point.r = uint8_t(random()), point.g = uint8_t(random()), point.b = uint8_t(random());
    }
    return out;
}

class Recording {
public:
    Recording() {
        char pattern[] = "/tmp/kest-bench-recording-XXXXXX";
        root = mkdtemp(pattern);
        folder = root / "rec";
        fs::create_directories(folder / "image");
        std::mt19937 random(7);
        std::ofstream cloudFile(folder / "MTrec.kvx", std::ios::binary);
        for (uint32_t i = 0; i < clouds; ++i)
            append(cloudFile, StreamDecoding::buildCloudRecord(i, i * 0.1, roomScan(random)));
        std::ofstream poseFile(folder / "KestPose.bin", std::ios::binary);
        for (uint32_t i = 0; i < poses; ++i) {
            const float values[7] = {float(i) * 0.01f,    1, 1.5f, 0, 0, std::sin(i * 0.001f),
                                     std::cos(i * 0.001f)};
            append(poseFile, StreamDecoding::buildPoseRecord(i, i * 0.01, values));
        }
        cv::Mat noise(480, 640, CV_8UC3);
        cv::randu(noise, 0, 255);
        std::vector<uint8_t> jpeg;
        cv::imencode(".jpg", noise, jpeg);
        std::ofstream imageFile(folder / "KestImage.bin", std::ios::binary);
        for (uint32_t i = 0; i < pictures; ++i)
            append(imageFile, StreamDecoding::buildImageRecord(i, i * 0.2, jpeg.data(),
                                                               uint32_t(jpeg.size())));
    }
    ~Recording() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    uint64_t bytes(const char *name) const { return fs::file_size(folder / name); }

    fs::path root, folder;
};

const Recording &recording() {
    static const Recording made;
    return made;
}

void BM_MemcpyBaseline(benchmark::State &state) {
    const uint64_t size = recording().bytes("MTrec.kvx");
    std::vector<char> from(size, 1), to(size);
    for (auto _ : state) {
        memcpy(to.data(), from.data(), size);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations() * size));
}
BENCHMARK(BM_MemcpyBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadFileBaseline(benchmark::State &state) {
    const fs::path path = recording().folder / "MTrec.kvx";
    std::vector<char> buffer(1 << 20);
    uint64_t read = 0;
    for (auto _ : state) {
        std::FILE *file = std::fopen(path.c_str(), "rb");
        size_t n;
        while ((n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0)
            read += n;
        std::fclose(file);
    }
    state.SetBytesProcessed(int64_t(read));
}
BENCHMARK(BM_ReadFileBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Inspect(benchmark::State &state) {
    const Recording &rec = recording();
    const uint64_t size =
        rec.bytes("MTrec.kvx") + rec.bytes("KestPose.bin") + rec.bytes("KestImage.bin");
    for (auto _ : state) {
        RecordingSummary summary = summariseRecording(rec.folder.string());
        if (summary.clouds.records != clouds)
            state.SkipWithError("the summary missed clouds");
        benchmark::DoNotOptimize(summary);
    }
    state.SetBytesProcessed(int64_t(state.iterations() * size));
}
BENCHMARK(BM_Inspect)->Unit(benchmark::kMillisecond)->UseRealTime();

// Clouds exported as asked: arg 0 the format, 1 text, 2 merge, 3 voxel in mm.
void BM_ExportClouds(benchmark::State &state) {
    const Recording &rec = recording();
    ExportRequest request;
    request.clouds.dir = (rec.root / "out").string();
    request.clouds.format = PointFileFormat(state.range(0));
    request.clouds.ascii = state.range(1) != 0;
    request.clouds.merge = state.range(2) != 0;
    request.clouds.voxel = float(state.range(3)) / 1000;
    for (auto _ : state) {
        ExportReport report = exportRecording(rec.folder.string(), request, {});
        if (!report.error.empty() || report.clouds != clouds)
            state.SkipWithError(("export failed: " + report.error).c_str());
        state.counters["points_written"] = double(report.pointsWritten);
    }
    state.SetBytesProcessed(int64_t(state.iterations() * rec.bytes("MTrec.kvx")));
}
BENCHMARK(BM_ExportClouds)
    ->ArgNames({"format", "ascii", "merge", "voxel_mm"})
    ->Args({int(PointFileFormat::Ply), 0, 0, 0})
    ->Args({int(PointFileFormat::Pcd), 0, 0, 0})
    ->Args({int(PointFileFormat::Las), 0, 0, 0})
    ->Args({int(PointFileFormat::Ply), 0, 1, 0})
    ->Args({int(PointFileFormat::Las), 0, 1, 0})
    ->Args({int(PointFileFormat::Ply), 0, 1, 50})
    ->Args({int(PointFileFormat::Ply), 1, 0, 0})
    ->Args({int(PointFileFormat::Csv), 0, 0, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_ExportTrajectoryAndImages(benchmark::State &state) {
    const Recording &rec = recording();
    ExportRequest request;
    request.tumPath = (rec.root / "trajectory.txt").string();
    request.imageDir = (rec.root / "images").string();
    for (auto _ : state) {
        ExportReport report = exportRecording(rec.folder.string(), request, {});
        if (!report.error.empty() || report.images != pictures)
            state.SkipWithError(("export failed: " + report.error).c_str());
    }
    state.SetBytesProcessed(
        int64_t(state.iterations() * (rec.bytes("KestPose.bin") + rec.bytes("KestImage.bin"))));
}
BENCHMARK(BM_ExportTrajectoryAndImages)->Unit(benchmark::kMillisecond)->UseRealTime();

// The whole recording as one MCAP file: every cloud, pose and picture, in
// bytes of recording per second (all three files).
void BM_ExportMcap(benchmark::State &state) {
    const Recording &rec = recording();
    ExportRequest request;
    request.mcapPath = (rec.root / "rec.mcap").string();
    for (auto _ : state) {
        ExportReport report = exportRecording(rec.folder.string(), request, {});
        if (!report.error.empty() || report.clouds != clouds || report.images != pictures)
            state.SkipWithError(("export failed: " + report.error).c_str());
        state.counters["file_MB"] = double(fs::file_size(request.mcapPath)) / 1e6;
    }
    state.SetBytesProcessed(
        int64_t(state.iterations() *
                (rec.bytes("MTrec.kvx") + rec.bytes("KestPose.bin") + rec.bytes("KestImage.bin"))));
}
BENCHMARK(BM_ExportMcap)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
