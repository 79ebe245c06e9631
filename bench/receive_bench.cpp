// One frame through the receive operations on a simulated card: a feed frame through
// ExanicCffexDMA0 (software mode) and a decoded record through ExanicCffexDMA1 (hardware
// mode). The card's put is part of each iteration; its own cost is measured alone beside.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>

#include "bench_fixture.h"
#include "exanic_dma.h"
#include "feed_encoder.h"
#include "vorn_sim_card.h"

using namespace vorn_bench;

namespace {

constexpr uint32_t kSeqNo = 1000;

// A simulated card with both channels open in this process.
struct BenchCard {
    BenchCard() {
        name = "vbench" + std::to_string(getpid());
        vorn_sim_create(name.c_str());
        card = vorn_sim_open(name.c_str());
        handle = exanic_acquire_handle(name.c_str());
        Vorn_R10::CExanicDMA::GetInstance().exanic_dma0_init(handle);
        Vorn_R10::CExanicDMA::GetInstance().exanic_dma1_init(handle);
    }
    ~BenchCard() {
        vorn_sim_close(card);
        vorn_sim_remove(name.c_str());
    }
    void Put(int port, const std::vector<uint8_t>& frame) {
        vorn_sim_put_frame(card, port, frame.data(), frame.size(), VORN_SIM_OVERWRITE, 0);
    }

    std::string name;
    vorn_sim_card_t* card = nullptr;
    exanic_t* handle = nullptr;
};

BenchCard& Card() {
    static BenchCard card;
    return card;
}

// Baseline for a frame: the card's put and receive, then the packet baseline.
void BM_FrameBaseline(benchmark::State& state) {
    vorn_sim::SessionConfig config;
    PreparedConnector prepared(config);
    const std::vector<uint8_t> frame = prepared.session.Frame(TypicalPacket(prepared.session, kSeqNo, false));
    Baseline baseline;
    char buffer[2048];
    Card();
    exanic_rx_t* rx = Vorn_R10::CExanicDMA::GetInstance().get_dma0_ptr();
    for (auto _ : state) {
        Card().Put(0, frame);
        const ssize_t size = exanic_receive_frame(rx, buffer, sizeof buffer, nullptr);
        baseline.Run(reinterpret_cast<const uint8_t*>(buffer) + vorn_sim::kFrameHeadersSize,
                     static_cast<size_t>(size) - vorn_sim::kFrameHeadersSize);
    }
}
BENCHMARK(BM_FrameBaseline);

void RunFrame(benchmark::State& state, bool buffered) {
    vorn_sim::SessionConfig config;
    PreparedConnector prepared(config);
    CVornCffexMdApiImpl& api = prepared.api;
    api.m_r10ConfigInfo.exanic_cache_flag = buffered ? 1 : 0;
    const std::vector<uint8_t> frame = prepared.session.Frame(TypicalPacket(prepared.session, kSeqNo, false));
    Card();
    for (auto _ : state) {
        api.m_CurUdpNo = kSeqNo - 1;
        Card().Put(0, frame);
        benchmark::DoNotOptimize(api.ExanicCffexDMA0());
    }
}

void BM_FrameDirect(benchmark::State& state) { RunFrame(state, false); }
BENCHMARK(BM_FrameDirect);

void BM_FrameBuffered(benchmark::State& state) { RunFrame(state, true); }
BENCHMARK(BM_FrameBuffered);

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
    Card();
    exanic_rx_t* rx = Vorn_R10::CExanicDMA::GetInstance().get_dma1_ptr();
    for (auto _ : state) {
        Card().Put(1, frame);
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
    Card();
    for (auto _ : state) {
        Card().Put(1, frame);
        benchmark::DoNotOptimize(api.ExanicCffexDMA1());
    }
}
BENCHMARK(BM_RecordHardware);

} // namespace
