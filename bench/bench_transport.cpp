// Receiving 262144-byte transfers: validation and delivery of lone frames and of
// 5-frame groups (staged into one buffer), next to memcpy of the same bytes.
#include "bench/memcpy_baseline.h"
#include "sdk/comm/interface/data_xfer.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr size_t transfer_size = 262144;
constexpr size_t cap = transfer_size - PKT_OVERHEAD;

std::vector<std::vector<uint8_t>> transfers(const data_xfer &xfer, unsigned frames) {
    std::vector<uint8_t> payload(cap);
    for (size_t i = 0; i < cap; ++i)
        payload[i] = static_cast<uint8_t>(i * 31 + 5);
    std::vector<std::vector<uint8_t>> out;
    for (unsigned i = 0; i < frames; ++i) {
        std::vector<uint8_t> transfer(transfer_size, 0);
        uint8_t flags = frames > 1 ? PKT_FLAG_GROUP : 0;
        xfer.packet_construct(transfer.data(), 0, 0, flags,
                              static_cast<uint16_t>(frames << 8 | (i + 1)), 0, payload.data(),
                              static_cast<uint32_t>(cap));
        out.push_back(std::move(transfer));
    }
    return out;
}

void count(void *context, uint8_t *, uint32_t length) {
    *static_cast<uint64_t *>(context) += length;
}

void BM_Receive(benchmark::State &state) {
    std::unique_ptr<data_xfer> xfer(data_xfer_create(0));
    auto frames = static_cast<unsigned>(state.range(0));
    std::vector<std::vector<uint8_t>> input = transfers(*xfer, frames);
    packet_group group{};
    uint64_t delivered = 0;
    for (auto _ : state) {
        for (const std::vector<uint8_t> &transfer : input)
            xfer->packet_receive(transfer.data(), transfer.size(), &group, count, &delivered);
    }
    if (delivered != static_cast<uint64_t>(state.iterations()) * frames * cap)
        state.SkipWithError("not every frame was delivered");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frames * transfer_size));
}

void BM_MemcpyBaseline(benchmark::State &state) {
    measure_memcpy(state, transfer_size * static_cast<size_t>(state.range(0)));
}

} // namespace

BENCHMARK(BM_Receive)->Arg(1)->Arg(5);
BENCHMARK(BM_MemcpyBaseline)->Arg(1)->Arg(5);
BENCHMARK_MAIN();
