// Handover-to-callback latency: from the moment a waiting frame is handed to the receive
// operation to the version-2 callback, per frame, as p50 and p99 beside the baseline's (take
// the frame from the card, then the packet baseline). Both include one clock read each side.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "bench_fixture.h"
#include "exanic_dma.h"
#include "feed_encoder.h"

using namespace vorn_bench;

namespace {

constexpr uint32_t kSeqNo = 1000;
constexpr size_t kMaxSamples = 1u << 20;

struct Samples {
    std::vector<uint64_t> ns;
    Samples() { ns.reserve(kMaxSamples); }
    void Add(uint64_t value) {
        if (ns.size() < kMaxSamples) ns.push_back(value);
    }
    void Report(benchmark::State& state) {
        if (ns.empty()) return;
        std::sort(ns.begin(), ns.end());
        state.counters["p50_ns"] = static_cast<double>(ns[ns.size() / 2]);
        state.counters["p99_ns"] = static_cast<double>(ns[ns.size() * 99 / 100]);
    }
};

void BM_LatencyBaseline(benchmark::State& state) {
    vorn_sim::SessionConfig config;
    PreparedConnector prepared(config);
    const std::vector<uint8_t> frame = prepared.session.Frame(TypicalPacket(prepared.session, kSeqNo, false));
    Baseline baseline;
    baseline.onV2 = StampV2;
    char buffer[2048];
    BenchCard& card = Card(); // binds the receive channel read below
    exanic_rx_t* rx = Vorn_R10::CExanicDMA::GetInstance().get_dma0_ptr();
    Samples samples;
    for (auto _ : state) {
        card.Put(0, frame);
        const uint64_t handedAt = NowNs();
        const ssize_t size = exanic_receive_frame(rx, buffer, sizeof buffer, nullptr);
        baseline.Run(reinterpret_cast<const uint8_t*>(buffer) + vorn_sim::kFrameHeadersSize,
                     static_cast<size_t>(size) - vorn_sim::kFrameHeadersSize);
        samples.Add(g_calledAt - handedAt);
    }
    samples.Report(state);
}
BENCHMARK(BM_LatencyBaseline);

void BM_LatencyDirect(benchmark::State& state) {
    vorn_sim::SessionConfig config;
    PreparedConnector prepared(config);
    CVornCffexMdApiImpl& api = prepared.api;
    api.m_r10ConfigInfo.exanic_cache_flag = 0;
    gfunc_parser_verison_2 = StampV2;
    const std::vector<uint8_t> frame = prepared.session.Frame(TypicalPacket(prepared.session, kSeqNo, false));
    Samples samples;
    BenchCard& card = Card();
    for (auto _ : state) {
        api.m_CurUdpNo = kSeqNo - 1;
        card.Put(0, frame);
        const uint64_t handedAt = NowNs();
        api.ExanicCffexDMA0();
        samples.Add(g_calledAt - handedAt);
    }
    samples.Report(state);
}
BENCHMARK(BM_LatencyDirect);

} // namespace
