#include "synthetic_session.h"

#include <cmath>

#include "sample_code.h"

namespace vorn_sim {
namespace {

constexpr int32_t kFirstKey = 1001;

// Options quote a thin book: only levels 1 to 3.
int DeepestLevel(const SimInstrument& instrument) { return instrument.option ? 3 : 5; }

} // namespace

std::vector<SimInstrument> DefaultInstruments() {
    std::vector<SimInstrument> all = {
        MakeInstrument("IF2612", "IF", 4000.0, 0.2, 300, 4012.4, false),
        MakeInstrument("IH2612", "IH", 2700.0, 0.2, 300, 2712.6, false),
        MakeInstrument("IC2612", "IC", 5800.0, 0.2, 200, 5820.8, false),
        MakeInstrument("IM2612", "IM", 6200.0, 0.2, 200, 6240.2, false),
        MakeInstrument("T2703", "T", 108.0, 0.005, 10000, 108.245, false),
        MakeInstrument("TF2703", "TF", 105.0, 0.005, 10000, 105.62, false),
        MakeInstrument("TS2703", "TS", 102.0, 0.002, 20000, 102.118, false),
        MakeInstrument("IO2612-C-4000", "IO", 0.0, 0.2, 100, 95.6, true),
        MakeInstrument("MO2612-P-6000", "MO", 0.0, 0.2, 100, 182.4, true),
        MakeInstrument("HO2612-C-2700", "HO", 0.0, 0.2, 100, 41.2, true),
    };
    for (size_t i = 0; i < all.size(); ++i) all[i].key = kFirstKey + static_cast<int32_t>(i);
    return all;
}

ins_price_encode_info_field PriceEncodingOf(const SimInstrument& instrument) {
    ins_price_encode_info_field p =
        MakePriceEncoding(instrument.instrument_id, instrument.key, instrument.product_id, instrument.base_price,
                          instrument.price_tick, instrument.volume_multiple);
    return p;
}

SyntheticSession::SyntheticSession(SessionConfig config)
    : config_(std::move(config)), rng_(config_.seed), seqno_(config_.first_seqno),
      timeMsec_(static_cast<int64_t>(config_.start_seconds) * 1000) {
    for (const SimInstrument& instrument : config_.instruments) {
        Book book;
        book.mid = std::llround((instrument.pre_settlement_price - instrument.base_price) / instrument.price_tick);
        book.volume = static_cast<int64_t>(Below(1000));
        book.turnover = static_cast<double>(book.volume) * instrument.pre_settlement_price * instrument.volume_multiple;
        book.openInterest = 10000 + static_cast<int64_t>(Below(50000));
        books_[instrument.key] = book;
        initial_[instrument.key] = InitialDepth(instrument, book);
    }
    expected_ = initial_;
}

uint64_t SyntheticSession::Random() {
    // splitmix64: the same stream on every platform.
    uint64_t z = (rng_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::string SyntheticSession::ChannelAddress() const {
    return "udp://" + config_.group_ip + ":" + std::to_string(config_.port) + "/" + config_.source_ip;
}

encrypt_code_segment_field SyntheticSession::CodeSegment() const {
    if (config_.code_segment < 0) return SampleCipherSegment(config_.key_arg0);
    return KnownSegmentRecord(config_.code_segment, config_.key_arg0);
}

int64_t SyntheticSession::LevelTicks(const SimInstrument& instrument, const Book& book, bool bid, int n) const {
    if (n > DeepestLevel(instrument)) return kNoPriceTicks;
    return bid ? book.mid - n : book.mid + n;
}

depth_market_data_field SyntheticSession::InitialDepth(const SimInstrument& instrument, const Book& book) const {
    const ins_price_encode_info_field encoding = PriceEncodingOf(instrument);
    DepthSpec inputs;
    inputs.instrument_id = instrument.instrument_id;
    inputs.inst_id = instrument.key;
    inputs.trading_day = std::to_string(config_.trade_date);
    inputs.pre_settlement_price = TicksToPrice(book.mid, encoding);
    inputs.pre_close_price = inputs.pre_settlement_price;
    inputs.pre_open_interest = static_cast<double>(book.openInterest);
    const int64_t limitTicks = std::llround(instrument.pre_settlement_price * 0.1 / instrument.price_tick);
    inputs.upper_limit_price = TicksToPrice(book.mid + limitTicks, encoding);
    inputs.lower_limit_price = TicksToPrice(book.mid - limitTicks, encoding);
    inputs.last_price = inputs.pre_settlement_price;
    inputs.volume = static_cast<int32_t>(book.volume);
    inputs.turn_over = book.turnover;
    inputs.open_interest = static_cast<double>(book.openInterest);
    for (int n = 1; n <= DeepestLevel(instrument); ++n) {
        inputs.bid[n - 1] = {TicksToPrice(LevelTicks(instrument, book, true, n), encoding), 10 * n};
        inputs.ask[n - 1] = {TicksToPrice(LevelTicks(instrument, book, false, n), encoding), 12 * n};
    }
    inputs.update_seconds = config_.start_seconds - 60;
    return MakeDepth(inputs);
}

void SyntheticSession::ApplyLevel(depth_market_data_field& depth, const ins_price_encode_info_field& encoding, bool bid,
                                  int n, int64_t ticks, int64_t volume) {
    SetLevel(depth, bid, n, Level{TicksToPrice(ticks, encoding), static_cast<int32_t>(volume)});
}

// Levels first..first+1 of both sides (first is 2 or 4), with the expected depth.
void SyntheticSession::AddLevels(PacketBuilder& packet, const SimInstrument& instrument, const Book& book, int first) {
    const ins_price_encode_info_field encoding = PriceEncodingOf(instrument);
    depth_market_data_field& depth = expected_[instrument.key];
    int64_t ticks[2][2], volumes[2][2]; // [side: bid, ask][level first, first+1]
    for (int side = 0; side < 2; ++side) {
        for (int j = 0; j < 2; ++j) {
            ticks[side][j] = LevelTicks(instrument, book, side == 0, first + j);
            volumes[side][j] = ticks[side][j] == kNoPriceTicks ? 0 : 1 + static_cast<int64_t>(Below(80));
            ApplyLevel(depth, encoding, side == 0, first + j, ticks[side][j], volumes[side][j]);
        }
    }
    if (first == 2) {
        packet.Bid23(ticks[0][0], volumes[0][0], ticks[0][1], volumes[0][1]);
        packet.Ask23(ticks[1][0], volumes[1][0], ticks[1][1], volumes[1][1]);
    } else {
        packet.Bid45(ticks[0][0], volumes[0][0], ticks[0][1], volumes[0][1]);
        packet.Ask45(ticks[1][0], volumes[1][0], ticks[1][1], volumes[1][1]);
    }
}

std::vector<uint8_t> SyntheticSession::NextPacket() {
    const SimInstrument& instrument = config_.instruments[Below(config_.instruments.size())];
    const ins_price_encode_info_field encoding = PriceEncodingOf(instrument);
    Book& book = books_[instrument.key];
    depth_market_data_field& depth = expected_[instrument.key];
    book.mid += static_cast<int64_t>(Below(5)) - 2;
    timeMsec_ += 1 + static_cast<int64_t>(Below(200));

    PacketBuilder packet(seqno_++, config_.topicid);
    if (config_.encrypted) {
        const encrypt_code_segment_field segment = CodeSegment();
        packet.Encrypted(true, segment.arg1,
                         config_.code_segment < 0 ? FieldEncryptor(EncryptFieldData)
                                                  : KnownSegmentEncryptor(config_.code_segment));
    }
    const int64_t secs = timeMsec_ / 1000 % 86400, msec = timeMsec_ % 1000;
    packet.UpdateTime(instrument.key, secs, msec);
    SetUpdateTime(depth.update_time, static_cast<int32_t>(secs));
    depth.update_msec = static_cast<int32_t>(msec);

    const int64_t bid1 = LevelTicks(instrument, book, true, 1), ask1 = LevelTicks(instrument, book, false, 1);
    const int64_t bidVolume = 1 + static_cast<int64_t>(Below(50)), askVolume = 1 + static_cast<int64_t>(Below(50));
    packet.Best(bid1, bidVolume, ask1, askVolume);
    ApplyLevel(depth, encoding, true, 1, bid1, bidVolume);
    ApplyLevel(depth, encoding, false, 1, ask1, askVolume);

    if (Below(10) < 6) {
        const int64_t price = Below(2) ? bid1 : ask1;
        const int64_t traded = 1 + static_cast<int64_t>(Below(20));
        book.volume += traded;
        book.turnover += TicksToPrice(price, encoding) * static_cast<double>(traded) * instrument.volume_multiple;
        book.openInterest = std::max<int64_t>(0, book.openInterest + static_cast<int64_t>(Below(11)) - 5);
        packet.LastMatch(price, book.volume, book.turnover, book.openInterest);
        depth.last_price = TicksToPrice(price, encoding);
        depth.volume = static_cast<int32_t>(book.volume);
        depth.turn_over = book.turnover;
        depth.open_interest = static_cast<double>(book.openInterest);
    }
    if (Below(10) < 3) AddLevels(packet, instrument, book, 2);
    if (Below(100) < 15) AddLevels(packet, instrument, book, 4);
    lastKey_ = instrument.key;
    return packet.Bytes();
}

std::vector<uint8_t> SyntheticSession::Frame(const std::vector<uint8_t>& payload) const {
    return MakeFrame(config_.source_ip, config_.group_ip, config_.port, payload);
}

std::vector<uint8_t> SyntheticSession::NextFrame() { return Frame(NextPacket()); }

SnapshotWriter SyntheticSession::Snapshot() const {
    SnapshotWriter writer;
    writer.AddChannel(ChannelAddress(), 1, config_.topicid);
    writer.SetTradeDate(config_.trade_date);
    writer.SetLastSeqNo(static_cast<int32_t>(config_.first_seqno - 1));
    writer.SetCodeSegment(CodeSegment());
    for (const SimInstrument& instrument : config_.instruments)
        writer.AddInstrument(instrument.key, PriceEncodingOf(instrument), initial_.at(instrument.key));
    return writer;
}

SimInstrument MakeInstrument(const std::string& id, const std::string& product, double base, double tick,
                             int32_t multiple, double preSettlement, bool option) {
    SimInstrument i;
    i.instrument_id = id;
    i.product_id = product;
    i.base_price = base;
    i.price_tick = tick;
    i.volume_multiple = multiple;
    i.pre_settlement_price = preSettlement;
    i.option = option;
    return i;
}

} // namespace vorn_sim
