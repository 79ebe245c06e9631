// A floor for the typical plain packet: code that knows the packet's layout in advance (update
// time, best, last match, bid 2-3) and does only its exact work, with the library's own field
// decoders and member conversions. No field dispatch, no length tests beyond the varints' own,
// no counters, every pointer resolved beforehand. No decoder that must read any packet can be
// faster; the benchmark checks first that it delivers the library's records.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>

#include "bench_fixture.h"
#include "byte_order.h"
#include "convert_field_members.h"
#include "field_wire.h"
#include "output_records.h"

using namespace vorn_bench;

namespace {

constexpr uint32_t kSeqNo = 1000;
constexpr uint32_t kHeaderBytes = 20;
constexpr uint32_t kFieldHeaderBytes = 4;

struct KnownLayoutDecoder {
    alignas(kPageSafeAlignment) MarketDepthUpdate v1{}; // kept current, as the library's slot
    alignas(kPageSafeAlignment) VornCffexMdType v2{};
    alignas(kPageSafeAlignment) MarketDepthUpdate out1{}; // handed to the callbacks
    alignas(kPageSafeAlignment) VornCffexMdType out2{};
    depth_market_data_field md{};
    ins_price_encode_info_field encoding{};
    int64_t trust = 0;
    uint32_t seqno = 0;
    void (*onV2)(VornCffexMdType*) = SinkV2;
    void (*onV1)(MarketDepthUpdate*) = SinkV1;

    static double Adjusted(double price) { return std::fabs(price) >= 1e-11 ? price : 0.0; }
    double Price(double slot) const {
        int64_t ticks;
        memcpy(&ticks, &slot, sizeof ticks);
        if (ticks == 4294967295LL) return EMPTY_PRICE;
        const double product = static_cast<double>(ticks) * encoding.price_tick;
        return Adjusted(product + encoding.base_price);
    }
    template <typename Group>
    Group Next(const uint8_t*& field) {
        const uint16_t len = LoadBe16(field + 2);
        const Group group = vorn_wire::DecodeWire<Group>(field + kFieldHeaderBytes, len);
        field += kFieldHeaderBytes + len;
        return group;
    }

    __attribute__((noinline)) void Run(const uint8_t* packet) {
        const uint32_t packetSeqno = LoadBe32(packet + 8);
        if (packetSeqno <= seqno) return;
        seqno = packetSeqno;
        const uint8_t* field = packet + kHeaderBytes;
        // The same second as the text held: only the milliseconds change.
        md.update_msec = static_cast<int32_t>(Next<vint_market_data_update_time_field>(field).update_msec);
        vorn_output::ConvertUpdateTime(md, v2.UpdateTime, v1, v2);

        const auto best = Next<vint_market_data_best_field>(field);
        md.bid1_price = Price(best.bid1_price);
        md.bid1_volume = static_cast<int32_t>(best.bid1_volume);
        md.ask1_price = Price(best.ask1_price);
        md.ask1_volume = static_cast<int32_t>(best.ask1_volume);
        vorn_output::ConvertFieldMembers<FIELD_ID::vint_market_data_best>(md, v1, v2);
        trust |= 1;

        const auto match = Next<vint_market_data_last_match_field>(field);
        int64_t interest;
        memcpy(&interest, &match.open_interest, sizeof interest);
        md.last_price = Price(match.last_price);
        md.volume = static_cast<int32_t>(match.volume);
        md.turn_over = Adjusted(match.turn_over);
        md.open_interest = Adjusted(static_cast<double>(interest));
        vorn_output::ConvertFieldMembers<FIELD_ID::vint_market_data_last_match>(md, v1, v2);

        const auto bid23 = Next<vint_market_data_bid23_field>(field);
        md.bid2_price = Price(bid23.bid2_price);
        md.bid2_volume = static_cast<int32_t>(bid23.bid2_volume);
        md.bid3_price = Price(bid23.bid3_price);
        md.bid3_volume = static_cast<int32_t>(bid23.bid3_volume);
        vorn_output::ConvertFieldMembers<FIELD_ID::vint_market_data_bid23>(md, v1, v2);
        trust |= 2;

        const int64_t trusted = trust == 31 ? 1 : 0;
        CopyRecord(&out2, &v2, sizeof out2);
        out2.trust_flag = trusted;
        onV2(&out2);
        ClearRecord(&out2, sizeof out2);
        CopyRecord(&out1, &v1, sizeof out1);
        out1.Trust_flag = trusted;
        onV1(&out1);
        ClearRecord(&out1, sizeof out1);
    }
};

// Both start from the state an update-time-only packet leaves, then take the typical packet.
bool SameRecords(PreparedConnector& prepared, KnownLayoutDecoder& decoder, const std::vector<uint8_t>& packet) {
    prepared.ParseAsNew(TypicalPacket(prepared.session, kSeqNo, false, 0), kSeqNo);
    const SInstrumentSlot& slot = *prepared.api.m_curSlot;
    decoder.md = *slot.depth;
    decoder.v1 = slot.v1;
    decoder.v2 = slot.v2;
    decoder.trust = *slot.trust;
    decoder.encoding = *slot.price;
    prepared.ParseAsNew(packet, kSeqNo);
    decoder.seqno = kSeqNo - 1;
    decoder.Run(packet.data());
    return memcmp(&decoder.md, slot.depth, sizeof decoder.md) == 0 &&
           memcmp(&decoder.v1, &slot.v1, sizeof decoder.v1) == 0 &&
           memcmp(&decoder.v2, &slot.v2, sizeof decoder.v2) == 0 && decoder.trust == *slot.trust;
}

void BM_PacketKnownLayoutRatio(benchmark::State& state) {
    vorn_sim::SessionConfig config;
    PreparedConnector prepared(config);
    const std::vector<uint8_t> packet = TypicalPacket(prepared.session, kSeqNo, false);
    static KnownLayoutDecoder decoder; // page-aligned members: not on the stack
    if (!SameRecords(prepared, decoder, packet)) {
        state.SkipWithError("the known-layout decoder disagrees with the library");
        return;
    }
    benchmark::DoNotOptimize(decoder.onV1);
    benchmark::DoNotOptimize(decoder.onV2);
    Baseline baseline;
    AlternateBlocks(
        state, [&] { baseline.Run(packet.data(), packet.size()); },
        [&] {
            decoder.seqno = kSeqNo - 1;
            decoder.Run(packet.data());
        });
}
BENCHMARK(BM_PacketKnownLayoutRatio);

} // namespace
