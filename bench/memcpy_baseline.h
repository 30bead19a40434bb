// The baseline every benchmark here stands beside: copying the same number of
// bytes once, the floor of any pass over them.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

// Times memcpy of size bytes per iteration and reports bytes per second.
inline void measure_memcpy(benchmark::State &state, size_t size) {
    std::vector<uint8_t> source(size, 0x5A), target(size);
    for (auto _ : state) {
        memcpy(target.data(), source.data(), size);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
