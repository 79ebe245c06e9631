// The firmware's decoder for the simulated exchange's feed: packet and field framing,
// ZigZag varints, known-segment decryption and prices in thousandths from the table row.
#include <cstring>

#include "feed_encoder.h"
#include "price_convert.h"
#include "sample_code.h"
#include "synthetic_session.h"
#include "vorn_firmware.h"

namespace vorn_firmware {

namespace {

constexpr size_t kPacketHeaderSize = 20;

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) { return static_cast<uint32_t>(Be16(p)) << 16 | Be16(p + 2); }

// Reads the values of one field in order; a value cut short reads 0.
class FieldReader {
public:
    explicit FieldReader(const std::vector<uint8_t>& data) : data_(data) {}
    int64_t Varint() {
        uint64_t raw = 0;
        for (int shift = 0; at_ < data_.size() && shift < 70; shift += 7) {
            const uint8_t byte = data_[at_++];
            raw |= static_cast<uint64_t>(byte & 0x7F) << shift;
            if (!(byte & 0x80)) return static_cast<int64_t>(raw >> 1) ^ -static_cast<int64_t>(raw & 1);
        }
        return 0;
    }
    double Double() {
        if (data_.size() - at_ < 8) {
            at_ = data_.size();
            return 0.0;
        }
        const uint64_t bits = static_cast<uint64_t>(Be32(&data_[at_])) << 32 | Be32(&data_[at_ + 4]);
        at_ += 8;
        double value;
        memcpy(&value, &bits, sizeof value);
        return value;
    }

private:
    const std::vector<uint8_t>& data_;
    size_t at_ = 0;
};

int32_t Low32(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

VornCffexMdType RecordFromRow(const SCffexInstTableType& row) {
    VornCffexMdType r;
    memset(&r, 0, sizeof r);
    r.inst_no = static_cast<int32_t>(row.inst_id);
    memcpy(r.trading_day, row.trading_day, sizeof row.trading_day);
    memcpy(r.instrument_id, row.instrument_id, sizeof r.instrument_id - 1);
    r.UpdateTime = static_cast<int64_t>(row.update_time);
    r.update_msec = static_cast<int32_t>(row.update_msec);
    r.volume = static_cast<int32_t>(row.volume);
    r.last_price = row.last_price;
    r.turn_over = row.turn_over;
    r.open_interest = row.open_interest;
    r.bid1_volume = static_cast<int32_t>(row.bid1_volume);
    r.ask1_volume = static_cast<int32_t>(row.ask1_volume);
    r.bid2_volume = static_cast<int32_t>(row.bid2_volume);
    r.ask2_volume = static_cast<int32_t>(row.ask2_volume);
    r.bid3_volume = static_cast<int32_t>(row.bid3_volume);
    r.ask3_volume = static_cast<int32_t>(row.ask3_volume);
    r.bid4_volume = static_cast<int32_t>(row.bid4_volume);
    r.ask4_volume = static_cast<int32_t>(row.ask4_volume);
    r.bid5_volume = static_cast<int32_t>(row.bid5_volume);
    r.ask5_volume = static_cast<int32_t>(row.ask5_volume);
    r.bid1_price = row.bid1_price;
    r.ask1_price = row.ask1_price;
    r.bid2_price = row.bid2_price;
    r.ask2_price = row.ask2_price;
    r.bid3_price = row.bid3_price;
    r.ask3_price = row.ask3_price;
    r.bid4_price = row.bid4_price;
    r.ask4_price = row.ask4_price;
    r.bid5_price = row.bid5_price;
    r.ask5_price = row.ask5_price;
    r.high_price = row.high_price;
    r.low_price = row.low_price;
    r.open_price = row.open_price;
    r.close_price = row.close_price;
    r.upper_limit_price = row.upper_limit_price;
    r.lower_limit_price = row.lower_limit_price;
    r.settlement_price = row.settlement_price;
    r.curr_delta = row.curr_delta;
    r.trust_flag = 1;
    return r;
}

} // namespace

void FeedDecoder::SetTable(const std::vector<SCffexInstTableType>& rows) {
    instruments_.clear();
    current_ = nullptr;
    for (const SCffexInstTableType& row : rows) {
        Instrument& instrument = instruments_[static_cast<int32_t>(row.inst_id)];
        instrument.basePrice = row.base_price;
        instrument.priceTick = row.price_tick;
        instrument.selected = row.config == kSelected;
        instrument.record = RecordFromRow(row);
    }
}

void FeedDecoder::SetInstruments(const vorn_sim::SyntheticSession& session) {
    std::vector<SCffexInstTableType> rows;
    for (const vorn_sim::SimInstrument& instrument : session.Instruments())
        rows.push_back(MakeTableRow(instrument.key, vorn_sim::PriceEncodingOf(instrument),
                                    session.Initial(instrument.key), kSelected));
    SetTable(rows);
    const vorn_sim::SessionConfig& config = session.Config();
    SetKey(config.code_segment < 0 ? 3 : config.code_segment, config.key_arg0);
    SetLastSeqNo(config.first_seqno - 1);
}

void FeedDecoder::SetKey(int keyType, uint8_t keyArg0) {
    keyType_ = keyType;
    keyArg0_ = keyArg0;
}

int64_t FeedDecoder::Price(int64_t ticks) const {
    if (ticks == vorn_sim::kNoPriceTicks || !current_) return 0;
    return static_cast<int64_t>(static_cast<uint64_t>(ticks) * static_cast<uint64_t>(current_->priceTick) +
                                static_cast<uint64_t>(current_->basePrice));
}

std::vector<VornCffexMdType> FeedDecoder::Decode(const uint8_t* payload, size_t len) {
    std::vector<VornCffexMdType> out;
    size_t at = 0;
    while (len - at >= kPacketHeaderSize) {
        size_t used = 0;
        if (!DecodePacket(payload + at, len - at, used, out)) break;
        at += used;
    }
    return out;
}

// One packet; false when it is cut short (nothing after it is read).
bool FeedDecoder::DecodePacket(const uint8_t* packet, size_t len, size_t& used, std::vector<VornCffexMdType>& out) {
    const uint32_t seqno = Be32(packet + 8);
    const uint16_t numFields = Be16(packet + 12);
    const uint16_t bodylen = Be16(packet + 14);
    const bool encrypted = (Be32(packet + 16) & DF_ENCRYPT_FLAG) != 0;
    if (len - kPacketHeaderSize < bodylen) return false;
    used = kPacketHeaderSize + bodylen;
    if (seqno <= lastSeqNo_) return true;
    lastSeqNo_ = seqno;

    const uint8_t* body = packet + kPacketHeaderSize;
    size_t at = 0;
    uint16_t applied = 0;
    std::vector<uint8_t> data;
    while (applied < numFields && bodylen - at >= 4) {
        const uint16_t fieldId = Be16(body + at), fieldLen = Be16(body + at + 2);
        if (bodylen - at - 4 < fieldLen) return true;
        data.assign(body + at + 4, body + at + 4 + fieldLen);
        at += 4u + fieldLen;
        ApplyField(fieldId, data, encrypted && vorn_sim::IsEncryptableField(fieldId));
        ++applied;
    }
    if (applied == 0 || applied < numFields || !current_ || !current_->selected) return true;
    out.push_back(current_->record);
    return true;
}

void FeedDecoder::ApplyField(uint16_t fieldId, std::vector<uint8_t>& data, bool encrypted) {
    if (encrypted && keyType_ >= 0 && keyType_ < vorn_sim::kKnownSegmentCount)
        vorn_sim::KnownSegmentDecrypt(keyType_, data.data(), data.size(), keyArg0_);
    FieldReader in(data);
    const auto id = static_cast<FIELD_ID>(fieldId);
    if (id == FIELD_ID::vint_market_data_update_time) {
        const int64_t key = in.Varint(), seconds = in.Varint(), msec = in.Varint();
        const auto found = instruments_.find(Low32(key));
        current_ = found == instruments_.end() ? nullptr : &found->second;
        if (!current_) return;
        if (seconds >= 0 && seconds <= 86399) current_->record.UpdateTime = seconds;
        current_->record.update_msec = Low32(msec);
        return;
    }
    if (!current_) return;
    VornCffexMdType& r = current_->record;
    switch (id) {
    case FIELD_ID::vint_market_data_static:
        r.open_price = Price(in.Varint());
        r.high_price = Price(in.Varint());
        r.low_price = Price(in.Varint());
        r.close_price = Price(in.Varint());
        r.upper_limit_price = Price(in.Varint());
        r.lower_limit_price = Price(in.Varint());
        r.settlement_price = vorn_price::Thousandths(in.Double());
        r.curr_delta = vorn_price::Count(in.Double());
        break;
    case FIELD_ID::vint_market_data_last_match:
        r.last_price = Price(in.Varint());
        r.volume = Low32(in.Varint());
        r.turn_over = in.Double();
        r.open_interest = in.Varint();
        break;
    case FIELD_ID::vint_market_data_best:
        r.bid1_price = Price(in.Varint());
        r.bid1_volume = Low32(in.Varint());
        r.ask1_price = Price(in.Varint());
        r.ask1_volume = Low32(in.Varint());
        break;
    case FIELD_ID::vint_market_data_bid23:
        r.bid2_price = Price(in.Varint());
        r.bid2_volume = Low32(in.Varint());
        r.bid3_price = Price(in.Varint());
        r.bid3_volume = Low32(in.Varint());
        break;
    case FIELD_ID::vint_market_data_ask23:
        r.ask2_price = Price(in.Varint());
        r.ask2_volume = Low32(in.Varint());
        r.ask3_price = Price(in.Varint());
        r.ask3_volume = Low32(in.Varint());
        break;
    case FIELD_ID::vint_market_data_bid45:
        r.bid4_price = Price(in.Varint());
        r.bid4_volume = Low32(in.Varint());
        r.bid5_price = Price(in.Varint());
        r.bid5_volume = Low32(in.Varint());
        break;
    case FIELD_ID::vint_market_data_ask45:
        r.ask4_price = Price(in.Varint());
        r.ask4_volume = Low32(in.Varint());
        r.ask5_price = Price(in.Varint());
        r.ask5_volume = Low32(in.Varint());
        break;
    default: break; // price banding and other fields are not part of the record
    }
}

int HardwareFeed::Deliver(const std::vector<uint8_t>& payload) {
    int put = 0;
    for (const VornCffexMdType& record : Decode(payload)) {
        if (!card_.PutRecord(record, kRecordFrameSize, LastSeqNo())) return -1;
        ++put;
    }
    return put;
}

int HardwareFeed::DeliverFrame(const std::vector<uint8_t>& frame) {
    constexpr size_t kEthernet = 14, kUdp = 8;
    if (frame.size() < kEthernet + 20 + kUdp) return 0;
    const size_t ipHeader = static_cast<size_t>(frame[kEthernet] & 0x0F) * 4;
    const size_t start = kEthernet + ipHeader + kUdp;
    if (ipHeader < 20 || frame.size() < start) return 0;
    return Deliver(std::vector<uint8_t>(frame.begin() + static_cast<std::ptrdiff_t>(start), frame.end()));
}

} // namespace vorn_firmware
