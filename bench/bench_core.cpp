// MD5 throughput next to memcpy of the same bytes, the floor any pass over
// the data pays. The calibration file the device sends is about 3 MiB.
#include "sdk/common/file/md5.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

std::vector<unsigned char> payload(size_t size) {
    std::vector<unsigned char> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>(i * 131 + 7);
    return bytes;
}

void BM_Md5(benchmark::State &state) {
    std::vector<unsigned char> bytes = payload(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        md5_context context;
        md5_init(&context);
        md5_update(&context, bytes.data(), bytes.size());
        md5_final(&context);
        benchmark::DoNotOptimize(context.digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Memcpy(benchmark::State &state) {
    std::vector<unsigned char> bytes = payload(static_cast<size_t>(state.range(0)));
    std::vector<unsigned char> copy(bytes.size());
    for (auto _ : state) {
        memcpy(copy.data(), bytes.data(), bytes.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

} // namespace

BENCHMARK(BM_Md5)->Arg(4096)->Arg(3 << 20);
BENCHMARK(BM_Memcpy)->Arg(4096)->Arg(3 << 20);
BENCHMARK_MAIN();
