// Floors for the typical packet (update time, best, last match, bid 2-3): decoders that do only
// its exact work, with the library's own field decoders and record conversions, every pointer
// resolved beforehand and no counters.
// - Known layout: the fields are taken in the order the packet is known to hold them, with no
//   length tests beyond the varints' own.
// - Dispatched: each field's id and length are read, the length tested against the body and
//   the id dispatched on, as any decoder that reads any packet must at least do. In an
//   encrypted packet, each field but the update time is copied and decrypted by the library's
//   code segment runner, as the library does.
// Each benchmark checks first that its decoder delivers the library's records.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>

#include "bench_fixture.h"
#include "byte_order.h"
#include "df_udp.h"
#include "feed_encoder.h"
#include "field_wire.h"
#include "output_records.h"

using namespace vorn_bench;

namespace {

constexpr uint32_t kSeqNo = 1000;
constexpr uint32_t kHeaderBytes = 20;
constexpr uint32_t kFieldHeaderBytes = 4;

struct FloorDecoder {
    alignas(kPageSafeAlignment) MarketDepthUpdate out1{}; // handed to the callbacks
    alignas(kPageSafeAlignment) VornCffexMdType out2{};
    depth_market_data_field md{};
    ins_price_encode_info_field encoding{};
    int64_t trust = 0;
    int64_t seconds = 0; // of md.update_time
    uint32_t seqno = 0;
    void (*onV2)(VornCffexMdType*) = SinkV2;
    void (*onV1)(MarketDepthUpdate*) = SinkV1;
    encrypt_code_segment_field code{};
    uint8_t scratch[CVornCffexMdApiImpl::kFieldScratchBytes] = {}; // the longest field

    // As CVornCffexMdApiImpl::check_adjust_price, inline.
    static double Adjusted(double price) { return std::fabs(price) >= 1e-11 ? price : 0.0; }
    double Price(double slot) const {
        int64_t ticks;
        memcpy(&ticks, &slot, sizeof ticks);
        if (ticks == vorn_sim::kNoPriceTicks) return EMPTY_PRICE;
        const double product = static_cast<double>(ticks) * encoding.price_tick;
        return Adjusted(product + encoding.base_price);
    }

    // The same second as the text held: only the milliseconds change.
    void UpdateTime(const uint8_t* data, uint16_t len) {
        const auto time = vorn_wire::DecodeWire<vint_market_data_update_time_field>(data, len);
        md.update_msec = static_cast<int32_t>(time.update_msec);
    }
    void Best(const uint8_t* data, uint16_t len) {
        const auto best = vorn_wire::DecodeWire<vint_market_data_best_field>(data, len);
        md.bid1_price = Price(best.bid1_price);
        md.bid1_volume = static_cast<int32_t>(best.bid1_volume);
        md.ask1_price = Price(best.ask1_price);
        md.ask1_volume = static_cast<int32_t>(best.ask1_volume);
        trust |= 1;
    }
    void LastMatch(const uint8_t* data, uint16_t len) {
        const auto match = vorn_wire::DecodeWire<vint_market_data_last_match_field>(data, len);
        int64_t interest;
        memcpy(&interest, &match.open_interest, sizeof interest);
        md.last_price = Price(match.last_price);
        md.volume = static_cast<int32_t>(match.volume);
        md.turn_over = Adjusted(match.turn_over);
        md.open_interest = Adjusted(static_cast<double>(interest));
    }
    void Bid23(const uint8_t* data, uint16_t len) {
        const auto bid23 = vorn_wire::DecodeWire<vint_market_data_bid23_field>(data, len);
        md.bid2_price = Price(bid23.bid2_price);
        md.bid2_volume = static_cast<int32_t>(bid23.bid2_volume);
        md.bid3_price = Price(bid23.bid3_price);
        md.bid3_volume = static_cast<int32_t>(bid23.bid3_volume);
        trust |= 2;
    }

    void Deliver() {
        const int64_t trusted = trust == 31 ? 1 : 0;
        CVornCffexMdApiImpl::FillV2(out2, md, seconds);
        out2.trust_flag = trusted;
        onV2(&out2);
        ClearRecord(&out2, sizeof out2);
        CVornCffexMdApiImpl::FillV1(out1, md);
        out1.Trust_flag = trusted;
        onV1(&out1);
        ClearRecord(&out1, sizeof out1);
    }

    // The packet's sequence number is new: taken.
    bool Take(const uint8_t* packet) {
        const uint32_t packetSeqno = LoadBe32(packet + 8);
        if (packetSeqno <= seqno) return false;
        seqno = packetSeqno;
        return true;
    }

    __attribute__((noinline)) void RunKnownLayout(const uint8_t* packet, uint32_t) {
        if (!Take(packet)) return;
        const uint8_t* field = packet + kHeaderBytes;
        const auto next = [&field] {
            const uint16_t len = LoadBe16(field + 2);
            const uint8_t* data = field + kFieldHeaderBytes;
            field = data + len;
            return std::make_pair(data, len);
        };
        auto [time, timeLen] = next();
        UpdateTime(time, timeLen);
        auto [best, bestLen] = next();
        Best(best, bestLen);
        auto [match, matchLen] = next();
        LastMatch(match, matchLen);
        auto [bid23, bid23Len] = next();
        Bid23(bid23, bid23Len);
        Deliver();
    }

    __attribute__((noinline)) void RunDispatched(const uint8_t* packet, uint32_t size) {
        if (size < kHeaderBytes || !Take(packet)) return;
        const uint32_t bodyLen = LoadBe16(packet + 14);
        if (bodyLen > size - kHeaderBytes) return;
        const bool encrypted = (LoadBe32(packet + 16) & DF_ENCRYPT_FLAG) != 0;
        const uint8_t* body = packet + kHeaderBytes;
        for (uint32_t pos = 0; bodyLen - pos > kFieldHeaderBytes;) {
            const uint16_t id = LoadBe16(body + pos);
            const uint16_t len = LoadBe16(body + pos + 2);
            if (len > bodyLen - pos - kFieldHeaderBytes) break;
            const uint8_t* data = body + pos + kFieldHeaderBytes;
            pos += kFieldHeaderBytes + len;
            if (encrypted && id != static_cast<uint16_t>(FIELD_ID::vint_market_data_update_time)) {
                memcpy(scratch, data, len);
                FieldDescribe::decrypt_data(scratch, len, code.compiled_code, code.code_len, code.arg1);
                data = scratch;
            }
            switch (static_cast<FIELD_ID>(id)) {
            case FIELD_ID::vint_market_data_update_time: UpdateTime(data, len); break;
            case FIELD_ID::vint_market_data_best: Best(data, len); break;
            case FIELD_ID::vint_market_data_last_match: LastMatch(data, len); break;
            case FIELD_ID::vint_market_data_bid23: Bid23(data, len); break;
            default: break; // no other field in this packet
            }
        }
        Deliver();
    }
};

using Run = void (FloorDecoder::*)(const uint8_t*, uint32_t);

// Both start from the state an update-time-only packet leaves, then take the typical packet.
bool SameRecords(PreparedConnector& prepared, FloorDecoder& decoder, Run run, const std::vector<uint8_t>& packet) {
    prepared.ParseAsNew(TypicalPacket(prepared.session, kSeqNo, false, 0), kSeqNo);
    const SInstrumentSlot* current = prepared.api.m_curSlot;
    if (!current || !current->depth || !current->hasPrice || !current->trust) return false;
    const SInstrumentSlot& slot = *current;
    decoder.md = *slot.depth;
    decoder.seconds = set_update_time(slot.depth->update_time);
    decoder.trust = *slot.trust;
    decoder.encoding.base_price = slot.basePrice;
    decoder.encoding.price_tick = slot.priceTick;
    decoder.code = prepared.api.m_RspEncryptCodeSegmentField;
    prepared.ParseAsNew(packet, kSeqNo);
    decoder.seqno = kSeqNo - 1;
    (decoder.*run)(packet.data(), static_cast<uint32_t>(packet.size()));
    return memcmp(&decoder.md, slot.depth, sizeof decoder.md) == 0 && decoder.trust == *slot.trust;
}

template <Run kRun, bool kEncrypted = false>
void RunFloor(benchmark::State& state) {
    vorn_sim::SessionConfig config;
    PreparedConnector prepared(config);
    const std::vector<uint8_t> packet = TypicalPacket(prepared.session, kSeqNo, kEncrypted);
    static FloorDecoder decoder; // page-aligned members: not on the stack
    if (!SameRecords(prepared, decoder, kRun, packet)) {
        state.SkipWithError("the floor decoder disagrees with the library");
        return;
    }
    benchmark::DoNotOptimize(decoder.onV1);
    benchmark::DoNotOptimize(decoder.onV2);
    Baseline baseline;
    AlternateBlocks(
        state, [&] { baseline.Run(packet.data(), packet.size()); },
        [&] {
            decoder.seqno = kSeqNo - 1;
            (decoder.*kRun)(packet.data(), static_cast<uint32_t>(packet.size()));
        });
}

void BM_PacketKnownLayoutRatio(benchmark::State& state) { RunFloor<&FloorDecoder::RunKnownLayout>(state); }
BENCHMARK(BM_PacketKnownLayoutRatio);

void BM_PacketDispatchedFloorRatio(benchmark::State& state) { RunFloor<&FloorDecoder::RunDispatched>(state); }
BENCHMARK(BM_PacketDispatchedFloorRatio);

void BM_PacketEncryptedFloorRatio(benchmark::State& state) { RunFloor<&FloorDecoder::RunDispatched, true>(state); }
BENCHMARK(BM_PacketEncryptedFloorRatio);

} // namespace
