// A connector prepared as start-up leaves it in software mode, without the receive loop: the
// day's snapshot loaded, the descriptors built, every instrument selected, both callbacks set.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "VornCffexMdApiImpl.h"
#include "synthetic_session.h"
#include "vorn_sim_card.h"

namespace vorn_bench {

// A new folder `<TMPDIR or /tmp>/<stem>_XXXXXX` for a benchmark's files; the caller removes it.
std::string PrivateDir(const char* stem);

struct PreparedConnector {
    explicit PreparedConnector(const vorn_sim::SessionConfig& config);
    ~PreparedConnector();
    // Parses `packet` (numbered `seqno`) through _processChunk as if it were new each time.
    void ParseAsNew(const std::vector<uint8_t>& packet, uint32_t seqno) {
        api.m_CurUdpNo = seqno - 1;
        benchmark::DoNotOptimize(api._processChunk(api.m_RspEncryptCodeSegmentField, packet.data(),
                                                   static_cast<uint32_t>(packet.size()), api));
    }

    CVornCffexMdApiImpl api;
    vorn_sim::SyntheticSession session;
    std::string snapshotPath;
};

// A simulated card, created once per process, with both receive channels open in this
// process's receive-channel singletons.
struct BenchCard {
    BenchCard();
    ~BenchCard();
    // Puts a frame on `port`, overwriting unread frames when the ring is full.
    void Put(int port, const std::vector<uint8_t>& frame);
    // Points the process's receive channels at this card again, after a benchmark that ran
    // init_connector on a card of its own replaced them.
    void Bind();

    std::string name;
    vorn_sim_card_t* card = nullptr;
    exanic_t* handle = nullptr;
    exanic_rx_t* rx0 = nullptr;
    exanic_rx_t* rx1 = nullptr;
};
// The card, bound as the receive channels.
BenchCard& Card();

// A typical packet: update time, best, last match and one more level field (bid 2-3).
// With `priceFields` below 3, only the first `priceFields` of best, last match and bid 2-3.
std::vector<uint8_t> TypicalPacket(const vorn_sim::SyntheticSession& session, uint32_t seqno, bool encrypted,
                                   int priceFields = 3);

// Callbacks that only touch their record, so the work measured is the library's.
void SinkV1(MarketDepthUpdate* record);
void SinkV2(VornCffexMdType* record);

// Baseline: the unavoidable work of one packet. Copy the payload once, then for each record
// fill it from a finished one, call its callback through a pointer and clear it, with the
// library's own record copy and clear (no inline string instructions).
// Records are placed as the library places its own, each within one 4 KiB page: a record
// straddling two pages makes its copy and clear several times slower, which made this
// baseline's speed depend on where the stack happened to start.
struct Baseline {
    alignas(2048) uint8_t scratch[2048] = {};
    alignas(kPageSafeAlignment) VornCffexMdType v2{};
    alignas(kPageSafeAlignment) MarketDepthUpdate v1{};
    alignas(kPageSafeAlignment) VornCffexMdType v2Source{};
    alignas(kPageSafeAlignment) MarketDepthUpdate v1Source{};
    void (*onV2)(VornCffexMdType*) = SinkV2;
    void (*onV1)(MarketDepthUpdate*) = SinkV1;
    // Copies the payload once, then Deliver.
    void Run(const uint8_t* payload, size_t size);
    // Fills, calls and clears both records.
    void Deliver();
};

// Calls per block of AlternateBlocks.
constexpr int kBlock = 64;

// Runs `baseline` and `measured` in alternating blocks of kBlock calls, each block after its
// (untimed) setup, so that both see the same load on a shared machine; reports the median of
// the blocks' ratios measured/baseline as "ratio", and both per-call times.
// The callables are template arguments so that no indirect call is timed with them.
template <typename Base, typename Measured, typename BaseSetup, typename MeasuredSetup>
void AlternateBlocks(benchmark::State& state, Base baseline, Measured measured, BaseSetup baselineSetup,
                     MeasuredSetup measuredSetup) {
    using Clock = std::chrono::steady_clock;
    const auto blockNs = [](auto& setup, auto& body) {
        setup();
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < kBlock; ++i) body();
        return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    };
    std::vector<double> ratios;
    double baseNs = 0, measuredNs = 0;
    for (auto _ : state) {
        const double a = blockNs(baselineSetup, baseline);
        const double b = blockNs(measuredSetup, measured);
        ratios.push_back(b / a);
        baseNs += a;
        measuredNs += b;
    }
    std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
    const double calls = static_cast<double>(state.iterations()) * kBlock;
    state.counters["ratio"] = ratios[ratios.size() / 2];
    state.counters["base_ns"] = baseNs / calls;
    state.counters["measured_ns"] = measuredNs / calls;
}
template <typename Base, typename Measured>
void AlternateBlocks(benchmark::State& state, Base baseline, Measured measured) {
    AlternateBlocks(
        state, baseline, measured, [] {}, [] {});
}

// Steady-clock nanoseconds, for handover-to-callback latencies.
inline uint64_t NowNs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// A version-2 callback that stamps its call in g_calledAt.
inline uint64_t g_calledAt = 0;
inline void StampV2(VornCffexMdType* record) {
    g_calledAt = NowNs();
    const int64_t price = record->bid1_price; // packed: read, not bound to a reference
    benchmark::DoNotOptimize(price);
}

} // namespace vorn_bench
