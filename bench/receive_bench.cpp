// One frame through the receive operations on a simulated card: a feed frame through
// ExanicCffexDMA0 (software mode) and a decoded record through ExanicCffexDMA1 (hardware
// mode). In the ratios the frames wait on the card before each timed block, as a card's
// frames arrive without the receiver's work; the other figures put each frame in the loop.
#include <benchmark/benchmark.h>
#include <cstring>

#include "bench_fixture.h"
#include "exanic_dma.h"
#include "feed_encoder.h"

using namespace vorn_bench;

namespace {

constexpr uint32_t kSeqNo = 1000;

// Baseline for a frame: the card's put and receive, then the packet baseline.
void BM_FrameBaseline(benchmark::State& state) {
    vorn_sim::SessionConfig config;
    PreparedConnector prepared(config);
    const std::vector<uint8_t> frame = prepared.session.Frame(TypicalPacket(prepared.session, kSeqNo, false));
    Baseline baseline;
    char buffer[2048];
    BenchCard& card = Card();
    exanic_rx_t* rx = Vorn_R10::CExanicDMA::GetInstance().get_dma0_ptr();
    for (auto _ : state) {
        card.Put(0, frame);
        const ssize_t size = exanic_receive_frame(rx, buffer, sizeof buffer, nullptr);
        baseline.Run(reinterpret_cast<const uint8_t*>(buffer) + vorn_sim::kFrameHeadersSize,
                     static_cast<size_t>(size) - vorn_sim::kFrameHeadersSize);
    }
}
BENCHMARK(BM_FrameBaseline);

// A typical packet's frame taken off the card through ExanicCffexDMA0 (default configuration:
// the reorder list on), against the unavoidable work: the frame taken off the card (its one
// copy), both records filled, called and cleared. Alternating blocks, median block ratio.
void RunFrameRatio(benchmark::State& state, bool encrypted) {
    vorn_sim::SessionConfig config;
    PreparedConnector prepared(config);
    CVornCffexMdApiImpl& api = prepared.api;
    const std::vector<uint8_t> frame = prepared.session.Frame(TypicalPacket(prepared.session, kSeqNo, encrypted));
    Baseline baseline;
    char buffer[2048];
    BenchCard& card = Card();
    exanic_rx_t* rx = Vorn_R10::CExanicDMA::GetInstance().get_dma0_ptr();
    const auto putBlock = [&] {
        for (int i = 0; i < kBlock; ++i) card.Put(0, frame);
    };
    AlternateBlocks(
        state,
        [&] {
            benchmark::DoNotOptimize(exanic_receive_frame(rx, buffer, sizeof buffer, nullptr));
            baseline.Deliver();
        },
        [&] {
            api.m_CurUdpNo = kSeqNo - 1;
            benchmark::DoNotOptimize(api.ExanicCffexDMA0());
        },
        putBlock, putBlock);
}

void BM_FramePlainRatio(benchmark::State& state) { RunFrameRatio(state, false); }
BENCHMARK(BM_FramePlainRatio);

void BM_FrameEncryptedRatio(benchmark::State& state) { RunFrameRatio(state, true); }
BENCHMARK(BM_FrameEncryptedRatio);

void RunFrame(benchmark::State& state, bool buffered) {
    vorn_sim::SessionConfig config;
    PreparedConnector prepared(config);
    CVornCffexMdApiImpl& api = prepared.api;
    api.m_r10ConfigInfo.exanic_cache_flag = buffered ? 1 : 0;
    const std::vector<uint8_t> frame = prepared.session.Frame(TypicalPacket(prepared.session, kSeqNo, false));
    BenchCard& card = Card();
    for (auto _ : state) {
        api.m_CurUdpNo = kSeqNo - 1;
        card.Put(0, frame);
        benchmark::DoNotOptimize(api.ExanicCffexDMA0());
    }
}

void BM_FrameDirect(benchmark::State& state) { RunFrame(state, false); }
BENCHMARK(BM_FrameDirect);

void BM_FrameBuffered(benchmark::State& state) { RunFrame(state, true); }
BENCHMARK(BM_FrameBuffered);

// The receive loop on one core: a ring of session frames waits on the card (put untimed),
// and the loop's passes take them one by one through the whole software path.
void BM_LoopOneCore(benchmark::State& state) {
    vorn_sim::SessionConfig config;
    PreparedConnector prepared(config);
    CVornCffexMdApiImpl& api = prepared.api;
    const uint32_t before = api.m_CurUdpNo;
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < 4000; ++i) frames.push_back(prepared.session.NextFrame());
    BenchCard& card = Card();
    for (auto _ : state) {
        state.PauseTiming();
        api.m_CurUdpNo = before;
        for (const auto& frame : frames) card.Put(0, frame);
        state.ResumeTiming();
        for (size_t i = 0; i < frames.size(); ++i) api.VornRecv();
    }
    if (api.m_CurUdpNo != before + frames.size()) state.SkipWithError("frames were lost");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames.size()));
}
BENCHMARK(BM_LoopOneCore);

// Hardware mode: a 280-byte record frame to both callbacks (version 1 converted).
std::vector<uint8_t> RecordFrame() {
    VornCffexMdType record{};
    record.inst_no = 1001;
    memcpy(record.instrument_id, "IF2612", 6);
    record.UpdateTime = 34205;
    record.last_price = 3800200;
    record.bid1_price = 3800000;
    record.ask1_price = 3800400;
    record.trust_flag = 1;
    std::vector<uint8_t> frame(4 + sizeof record);
    memcpy(frame.data() + 4, &record, sizeof record);
    return frame;
}

void BM_RecordBaseline(benchmark::State& state) {
    const std::vector<uint8_t> frame = RecordFrame();
    Baseline baseline;
    char buffer[2048];
    BenchCard& card = Card();
    exanic_rx_t* rx = Vorn_R10::CExanicDMA::GetInstance().get_dma1_ptr();
    for (auto _ : state) {
        card.Put(1, frame);
        const ssize_t size = exanic_receive_frame(rx, buffer, sizeof buffer, nullptr);
        baseline.Run(reinterpret_cast<const uint8_t*>(buffer), static_cast<size_t>(size));
    }
}
BENCHMARK(BM_RecordBaseline);

void BM_RecordHardware(benchmark::State& state) {
    CVornCffexMdApiImpl api;
    gfunc_parser = SinkV1;
    gfunc_parser_verison_2 = SinkV2;
    const std::vector<uint8_t> frame = RecordFrame();
    BenchCard& card = Card();
    for (auto _ : state) {
        card.Put(1, frame);
        benchmark::DoNotOptimize(api.ExanicCffexDMA1());
    }
}
BENCHMARK(BM_RecordHardware);

} // namespace
