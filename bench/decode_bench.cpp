// One typical packet through the parser to both callbacks, plain and encrypted.
#include <benchmark/benchmark.h>

#include "bench_fixture.h"

using namespace vorn_bench;

namespace {

constexpr uint32_t kSeqNo = 1000;

void BM_PacketBaseline(benchmark::State& state) {
    vorn_sim::SessionConfig config;
    PreparedConnector prepared(config);
    const std::vector<uint8_t> packet = TypicalPacket(prepared.session, kSeqNo, false);
    Baseline baseline;
    for (auto _ : state) baseline.Run(packet.data(), packet.size());
}
BENCHMARK(BM_PacketBaseline);

void RunPacket(benchmark::State& state, bool encrypted) {
    vorn_sim::SessionConfig config;
    PreparedConnector prepared(config);
    const std::vector<uint8_t> packet = TypicalPacket(prepared.session, kSeqNo, encrypted);
    for (auto _ : state) {
        prepared.ParseAsNew(packet, kSeqNo);
    }
}

void BM_PacketPlain(benchmark::State& state) { RunPacket(state, false); }
BENCHMARK(BM_PacketPlain);

void BM_PacketEncrypted(benchmark::State& state) { RunPacket(state, true); }
BENCHMARK(BM_PacketEncrypted);

// The packet against the packet baseline in alternating blocks (median block ratio).
void RunRatio(benchmark::State& state, bool encrypted) {
    vorn_sim::SessionConfig config;
    PreparedConnector prepared(config);
    const std::vector<uint8_t> packet = TypicalPacket(prepared.session, kSeqNo, encrypted);
    Baseline baseline;
    AlternateBlocks(
        state, [&] { baseline.Run(packet.data(), packet.size()); }, [&] { prepared.ParseAsNew(packet, kSeqNo); });
}

void BM_PacketPlainRatio(benchmark::State& state) { RunRatio(state, false); }
BENCHMARK(BM_PacketPlainRatio);

void BM_PacketEncryptedRatio(benchmark::State& state) { RunRatio(state, true); }
BENCHMARK(BM_PacketEncryptedRatio);

// Where the plain packet's time goes: the update time alone (argument 0), then with best,
// last match and bid 2-3 added one by one (3 is the typical packet), each against the baseline.
// The first figure is the cost every delivered update carries; each step after it, one field's.
void BM_PacketFieldsRatio(benchmark::State& state) {
    vorn_sim::SessionConfig config;
    PreparedConnector prepared(config);
    const std::vector<uint8_t> packet =
        TypicalPacket(prepared.session, kSeqNo, false, static_cast<int>(state.range(0)));
    Baseline baseline;
    AlternateBlocks(
        state, [&] { baseline.Run(packet.data(), packet.size()); }, [&] { prepared.ParseAsNew(packet, kSeqNo); });
}
BENCHMARK(BM_PacketFieldsRatio)->DenseRange(0, 3);

} // namespace
