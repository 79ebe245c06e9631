// What the live counters cost on the hot path, as ratios to the plain packet or frame measured
// in the same run. Under load (other processes on the cores) the two sides alternate in short blocks
// and the ratio reported is the median of the blocks' ratios, so both see the same machine.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench_fixture.h"
#include "counters_writer.h"

using namespace vorn_bench;

namespace {

constexpr uint32_t kSeqNo = 1000;
// The typical plain packet bracketed as a received frame, latency sampled one frame in
// `sampleEvery`, against the same with sampling off.
void BM_LatencySampling(benchmark::State& state) {
    vorn_sim::SessionConfig config;
    PreparedConnector prepared(config);
    CVornCffexMdApiImpl& api = prepared.api;
    const std::vector<uint8_t> packet = TypicalPacket(prepared.session, kSeqNo, false);
    const auto frame = [&] {
        api.m_counters.FrameBegin();
        prepared.ParseAsNew(packet, kSeqNo);
        api.m_counters.FrameEnd();
    };
    const uint64_t every = static_cast<uint64_t>(state.range(0));
    AlternateBlocks(
        state, frame, frame, [&] { api.m_counters.SetLatencySampling(0); },
        [&] { api.m_counters.SetLatencySampling(every); });
}
BENCHMARK(BM_LatencySampling)->Arg(1)->Arg(64);

// The counter hooks a plain feed frame passes (frame bracket, frame counts, packet, delivery
// with its instrument entry), alone, against the whole plain frame taken off the card.
void BM_CounterHooksPerFrame(benchmark::State& state) {
    vorn_sim::SessionConfig config;
    PreparedConnector prepared(config);
    CVornCffexMdApiImpl& api = prepared.api;
    const std::vector<uint8_t> frame = prepared.session.Frame(TypicalPacket(prepared.session, kSeqNo, false));
    BenchCard& card = Card();
    Vorn_R10::CCountersWriter counters;
    std::string error;
    counters.SetInstruments({{"IF2612", 1001}}, error);
    counters.SetLatencySampling(0);
    AlternateBlocks(
        state,
        [&] {
            api.m_CurUdpNo = kSeqNo - 1;
            benchmark::DoNotOptimize(api.ExanicCffexDMA0());
        },
        [&] {
            counters.FrameBegin();
            counters.FrameReceived();
            counters.FrameOfFeed();
            counters.PacketParsed();
            counters.Delivered(1001, 34200000, 1, true, true);
            counters.FrameEnd();
            benchmark::ClobberMemory();
        },
        [&] {
            for (int i = 0; i < kBlock; ++i) card.Put(0, frame);
        },
        [] {});
}
BENCHMARK(BM_CounterHooksPerFrame);

} // namespace
