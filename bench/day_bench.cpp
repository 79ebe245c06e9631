// The two workloads of day_workload.h through ExanicCffexDMA0 on a simulated card (default
// configuration: the reorder list on), each beside the same-run floor on the same frames: take
// the frame off the card (its one copy), fill, call and clear both records. Ratios are the
// median of alternating blocks; latencies are handover -> version-2 callback, p50 and p99.
// Last, what a gap costs on the day's snapshot: a gap every 100 packets against none.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>

#include "bench_fixture.h"
#include "byte_order.h"
#include "day_workload.h"
#include "exanic_dma.h"
#include "feed_encoder.h"

using namespace vorn_bench;

namespace {

constexpr size_t kFrames = 8192;
constexpr size_t kSeqNoAt = vorn_sim::kFrameHeadersSize + 8;

struct WorkloadRun {
    PreparedConnector prepared;
    std::vector<std::vector<uint8_t>> frames;
    uint32_t before; // the snapshot's last sequence number
    WorkloadRun(Workload workload, bool encrypted)
        : prepared(WorkloadConfig(workload)), frames(WorkloadFrames(prepared.session, workload, kFrames, encrypted)),
          before(prepared.api.m_CurUdpNo) {}
};

// Puts the next block of frames on the card from `next`, wrapping at the end; true on a wrap.
bool PutBlock(BenchCard& card, const std::vector<std::vector<uint8_t>>& frames, size_t& next) {
    bool wrapped = false;
    for (int i = 0; i < kBlock; ++i) {
        if (next == frames.size()) next = 0, wrapped = true;
        card.Put(0, frames[next++]);
    }
    return wrapped;
}

void RunRatio(benchmark::State& state, Workload workload, bool encrypted) {
    WorkloadRun run(workload, encrypted);
    CVornCffexMdApiImpl& api = run.prepared.api;
    Baseline baseline;
    char buffer[2048];
    BenchCard& card = Card();
    exanic_rx_t* rx = Vorn_R10::CExanicDMA::GetInstance().get_dma0_ptr();
    size_t baseNext = 0, libraryNext = 0;
    AlternateBlocks(
        state,
        [&] {
            benchmark::DoNotOptimize(exanic_receive_frame(rx, buffer, sizeof buffer, nullptr));
            baseline.Deliver();
        },
        [&] { benchmark::DoNotOptimize(api.ExanicCffexDMA0()); }, [&] { PutBlock(card, run.frames, baseNext); },
        [&] {
            // A new lap of the frames starts from the snapshot's sequence number again.
            if (libraryNext == run.frames.size() || libraryNext == 0) api.m_CurUdpNo = run.before;
            PutBlock(card, run.frames, libraryNext);
        });
    if (api.m_CurUdpNo == run.before) state.SkipWithError("no frame was taken");
}

void BM_FuturesPlainRatio(benchmark::State& state) { RunRatio(state, Workload::Futures, false); }
BENCHMARK(BM_FuturesPlainRatio);
void BM_FuturesEncryptedRatio(benchmark::State& state) { RunRatio(state, Workload::Futures, true); }
BENCHMARK(BM_FuturesEncryptedRatio);
void BM_DayPlainRatio(benchmark::State& state) { RunRatio(state, Workload::Day, false); }
BENCHMARK(BM_DayPlainRatio);
void BM_DayEncryptedRatio(benchmark::State& state) { RunRatio(state, Workload::Day, true); }
BENCHMARK(BM_DayEncryptedRatio);

void ReportPercentiles(benchmark::State& state, std::vector<uint64_t>& ns) {
    if (ns.empty()) return;
    std::sort(ns.begin(), ns.end());
    state.counters["p50_ns"] = static_cast<double>(ns[ns.size() / 2]);
    state.counters["p99_ns"] = static_cast<double>(ns[ns.size() * 99 / 100]);
}

// One frame at a time: put, then handed to the receive operation (or the floor's receive).
void RunLatency(benchmark::State& state, Workload workload, bool floor) {
    WorkloadRun run(workload, false);
    CVornCffexMdApiImpl& api = run.prepared.api;
    gfunc_parser_verison_2 = StampV2;
    Baseline baseline;
    baseline.onV2 = StampV2;
    char buffer[2048];
    BenchCard& card = Card();
    exanic_rx_t* rx = Vorn_R10::CExanicDMA::GetInstance().get_dma0_ptr();
    std::vector<uint64_t> samples;
    samples.reserve(1 << 20);
    size_t next = 0;
    for (auto _ : state) {
        if (next == run.frames.size()) next = 0, api.m_CurUdpNo = run.before;
        card.Put(0, run.frames[next++]);
        const uint64_t handedAt = NowNs();
        if (floor) {
            benchmark::DoNotOptimize(exanic_receive_frame(rx, buffer, sizeof buffer, nullptr));
            baseline.Deliver();
        } else {
            api.ExanicCffexDMA0();
        }
        if (samples.size() < samples.capacity()) samples.push_back(g_calledAt - handedAt);
    }
    gfunc_parser_verison_2 = SinkV2;
    ReportPercentiles(state, samples);
}

void BM_FuturesLatencyFloor(benchmark::State& state) { RunLatency(state, Workload::Futures, true); }
BENCHMARK(BM_FuturesLatencyFloor);
void BM_FuturesLatency(benchmark::State& state) { RunLatency(state, Workload::Futures, false); }
BENCHMARK(BM_FuturesLatency);
void BM_DayLatencyFloor(benchmark::State& state) { RunLatency(state, Workload::Day, true); }
BENCHMARK(BM_DayLatencyFloor);
void BM_DayLatency(benchmark::State& state) { RunLatency(state, Workload::Day, false); }
BENCHMARK(BM_DayLatency);

// The day's frames straight to the parser (reorder list off), numbered without a gap (the
// baseline) and with one sequence number skipped after every 100th packet: each gap clears
// every instrument's trust. "ratio" is gap run over gapless run.
void BM_DayGapEvery100Ratio(benchmark::State& state) {
    WorkloadRun run(Workload::Day, false);
    CVornCffexMdApiImpl& api = run.prepared.api;
    api.m_r10ConfigInfo.exanic_cache_flag = 0;
    std::vector<std::vector<uint8_t>> gapped = run.frames;
    for (size_t i = 0; i < gapped.size(); ++i) {
        const uint32_t seqno = run.before + 1 + static_cast<uint32_t>(i + i / 100);
        for (int b = 0; b < 4; ++b) gapped[i][kSeqNoAt + b] = static_cast<uint8_t>(seqno >> (24 - 8 * b));
    }
    BenchCard& card = Card();
    size_t plainNext = 0, gappedNext = 0;
    const auto setup = [&](const std::vector<std::vector<uint8_t>>& frames, size_t& next) {
        if (next == frames.size() || next == 0)
            api.m_CurUdpNo = run.before;
        else
            api.m_CurUdpNo = LoadBe32(frames[next - 1].data() + kSeqNoAt);
        PutBlock(card, frames, next);
    };
    const auto take = [&] { benchmark::DoNotOptimize(api.ExanicCffexDMA0()); };
    AlternateBlocks(
        state, take, take, [&] { setup(run.frames, plainNext); }, [&] { setup(gapped, gappedNext); });
}
BENCHMARK(BM_DayGapEvery100Ratio);

} // namespace
