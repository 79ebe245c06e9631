// Field application: decodes each market-data field in place into the current instrument's
// depth record and kept output records, and keeps the trust mask (seeded, cleared and set
// here only).
#include <cmath>
#include <cstring>

#include "VornCffexMdApiImpl.h"
#include "byte_order.h"
#include "field_wire.h"

using namespace Vorn_R10;
using vorn_wire::DecodeWire;

namespace {

constexpr uint16_t kFirstVintField = static_cast<uint16_t>(FIELD_ID::vint_market_data_static);
constexpr int64_t kNoPriceTicks = 4294967295LL;

// Trust bits of the five depth-level fields, by field index (best is index 2).
constexpr int64_t kTrustBit[9] = {0, 0, 1, 2, 4, 8, 16, 0, 0};

int32_t Low32(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

int64_t TicksOf(double slot) {
    int64_t ticks;
    memcpy(&ticks, &slot, sizeof ticks);
    return ticks;
}

// The product is rounded before the base is added, as written.
double PriceOfTicks(int64_t ticks, double basePrice, double priceTick) {
    const double product = static_cast<double>(ticks) * priceTick;
    return product + basePrice;
}

double Adjusted(double value) {
    CVornCffexMdApiImpl::check_adjust_price(value);
    return value;
}

// The mask of `key`, or null. The key comes by value: inst_id is a packed member, which a
// reference (as map lookups take) must not bind to.
const int64_t* FindMask(const std::unordered_map<int32_t, int64_t>& masks, int32_t key) {
    const auto found = masks.find(key);
    return found == masks.end() ? nullptr : &found->second;
}

// A field's trace, where the caller may trace (see ApplyField).
#define FIELD_TRACE(fmt, ...)                                                                                          \
    do {                                                                                                               \
        if constexpr (kMayTrace) VORN_LOG(LOG_DEBUG_EX, fmt, __VA_ARGS__);                                             \
    } while (0)

// Static and update-time fields travel in clear even in an encrypted packet.
bool Encryptable(uint16_t fieldId) {
    return fieldId != static_cast<uint16_t>(FIELD_ID::vint_market_data_static) &&
           fieldId != static_cast<uint16_t>(FIELD_ID::vint_market_data_update_time);
}

} // namespace

// The slot of an instrument seen before is found here (one load for a small key); a new
// one is made when first needed.
void CVornCffexMdApiImpl::SetCurrentInstrument(int64_t inst_id) {
    m_last_inst_id = inst_id;
    m_curSlot = m_slots.Find(static_cast<int32_t>(inst_id));
}

// The maps were replaced: their trust words are plain masks again (epoch 0), and slots for
// every depth record are made without allocating on the data path.
void CVornCffexMdApiImpl::ResetInstrumentCache() {
    m_curSlot = nullptr;
    m_slots.Clear();
    m_slots.Reserve(m_depth_market_data_infos.size() + kSpareSlots);
    SetTrustEpoch(0);
}

// A new slot resolves the entries that exist; the data path fills in the rest as it enters them.
SInstrumentSlot& CVornCffexMdApiImpl::ResolveCurrentSlot() {
    const int32_t key = static_cast<int32_t>(m_last_inst_id);
    if ((m_curSlot = m_slots.Find(key))) return *m_curSlot;
    SInstrumentSlot& slot = m_slots.Add(key);
    const auto depth = m_depth_market_data_infos.find(key);
    if (depth != m_depth_market_data_infos.end()) SetDepth(slot, depth->second);
    const auto price = m_ins_price_infos.find(key);
    if (price != m_ins_price_infos.end()) SetPrice(slot, price->second);
    const auto trust = m_depth_market_trust_flag.find(key);
    if (trust != m_depth_market_trust_flag.end()) {
        slot.trust = &trust->second;
        slot.trustWord = trust->second;
    }
    m_curSlot = &slot;
    return slot;
}

void CVornCffexMdApiImpl::SetPrice(SInstrumentSlot& slot, const ins_price_encode_info_field& encoding) {
    slot.basePrice = encoding.base_price;
    slot.priceTick = encoding.price_tick;
    slot.hasPrice = true;
}

void CVornCffexMdApiImpl::SetDepth(SInstrumentSlot& slot, depth_market_data_field& depth) {
    slot.depth = &depth;
    slot.ownTrust = depth.inst_id == static_cast<int32_t>(m_last_inst_id);
}

// Entered all zero on first use, as a map lookup with insertion would.
depth_market_data_field& CVornCffexMdApiImpl::EnterCurrentDepth(SInstrumentSlot& slot) {
    SetDepth(slot, m_depth_market_data_infos[static_cast<int32_t>(m_last_inst_id)]);
    return *slot.depth;
}

// The word the outputs' trust flag is read from: see SInstrumentSlot::ownTrust.
int64_t CVornCffexMdApiImpl::OutputTrustWord(const SInstrumentSlot& slot) const {
    if (slot.ownTrust) return slot.trustWord;
    const int64_t* word = FindMask(m_depth_market_trust_flag, slot.depth->inst_id);
    return word ? *word : 0;
}

void CVornCffexMdApiImpl::SetTrustWord(SInstrumentSlot& slot, int64_t word) {
    slot.trustWord = word;
    *slot.trust = word;
}

// The encoding is entered empty when missing, as a map lookup with insertion would.
void CVornCffexMdApiImpl::EnterCurrentPrice(SInstrumentSlot& slot) {
    SetPrice(slot, m_ins_price_infos[static_cast<int32_t>(m_last_inst_id)]);
}

int64_t CVornCffexMdApiImpl::GetTrustFlag(int inst_id) const {
    const auto found = m_depth_market_trust_flag.find(inst_id);
    return found == m_depth_market_trust_flag.end() ? 0 : MaskOf(found->second);
}

void CVornCffexMdApiImpl::SeedTrustFlags(const std::vector<int32_t>& keys) {
    for (int32_t key : keys) m_depth_market_trust_flag[key] = m_trustComplete;
}

// Ciphertext decoded as clear text would be wrong prices and volumes: the field is dropped and
// the instrument's book is no longer trusted until its depth-level fields arrive again.
void CVornCffexMdApiImpl::RejectUndecryptable(int32_t code_len) {
    m_counters.FieldUndecryptable();
    SInstrumentSlot& slot = CurrentSlot();
    if (slot.trust) SetTrustWord(slot, m_trustComplete & ~kCompleteBook); // no bits, this epoch
    if (m_undecryptableLogged) return;
    m_undecryptableLogged = true;
    if (!FieldDescribe::code_len_runnable(code_len))
        VORN_LOG(LOG_ERROR, "[%s:%d] [%s] code_len is %d, outside 1 to 400: encrypted fields are not applied.",
                 code_len);
    else
        VORN_LOG(LOG_ERROR, "[%s:%d] [%s] no executable page for the code segment: encrypted fields are not applied.");
}

// O(1) whatever the number of instruments: every word of an earlier epoch reads as 0.
void CVornCffexMdApiImpl::ClearTrustFlags() { SetTrustEpoch(m_trustEpoch + 1); }

void CVornCffexMdApiImpl::SetTrustEpoch(uint64_t epoch) {
    m_trustEpoch = epoch;
    m_trustComplete = static_cast<int64_t>(epoch << kTrustEpochShift) | kCompleteBook;
}

double CVornCffexMdApiImpl::get_price(const int64_t* src_price, CVornCffexMdApiImpl& refCffexMdApiImpl) {
    int64_t ticks;
    memcpy(&ticks, src_price, sizeof ticks);
    if (ticks == kNoPriceTicks) return EMPTY_PRICE;
    const SInstrumentSlot& slot = refCffexMdApiImpl.PricedSlot();
    return PriceOfTicks(ticks, slot.basePrice, slot.priceTick);
}

void CVornCffexMdApiImpl::check_adjust_price(double& price) {
    // One test for both: NaN compares false.
    if (!(std::fabs(price) >= 1e-11)) price = 0.0;
}

namespace {

// Decoded price slots of one field hold tick counts; each becomes a price through the current
// instrument's encoding, looked up (and entered empty when missing) on the first price that
// needs it, as get_price does.
struct PriceMaker {
    CVornCffexMdApiImpl& api;
    SInstrumentSlot& slot;
    double operator()(double value) {
        const int64_t ticks = TicksOf(value);
        if (ticks == kNoPriceTicks) return EMPTY_PRICE;
        if (!slot.hasPrice) api.EnterCurrentPrice(slot);
        double price = PriceOfTicks(ticks, slot.basePrice, slot.priceTick);
        CVornCffexMdApiImpl::check_adjust_price(price);
        return price;
    }
};

} // namespace

// After the depth record's members of the field: its trust bit, on a word of the current
// epoch (a word of an earlier one starts again from no bits).
template <FIELD_ID kField>
__attribute__((always_inline)) inline void CVornCffexMdApiImpl::FinishField(SInstrumentSlot& slot) {
    constexpr int64_t bit = kTrustBit[static_cast<uint16_t>(kField) - kFirstVintField];
    if constexpr (bit != 0) {
        if (!slot.trust) AddTrustEntry(slot);
        const int64_t epochBits = m_trustComplete & ~kCompleteBook;
        int64_t word = slot.trustWord;
        if ((word & ~kCompleteBook) != epochBits) word = epochBits;
        word |= bit;
        if (word != slot.trustWord) SetTrustWord(slot, word);
    }
}

void CVornCffexMdApiImpl::processCompleteField(const encrypt_code_segment_field& EncryptCodeSegmentField,
                                               uint16_t fieldId, const uint8_t* data, uint16_t len, bool encrypted) {
    ApplyField<true>(EncryptCodeSegmentField, fieldId, data, len, encrypted);
}

uint32_t CVornCffexMdApiImpl::ApplyPacketFields(const encrypt_code_segment_field& code, const uint8_t* body,
                                                uint32_t bodyLen, bool encrypted, field_header& last) {
    uint32_t pos = 0;
    // More than a header's bytes left: a header ending the body (an empty last field) is the
    // steps' to take, as is a field longer than what is left.
    while (bodyLen - pos > sizeof(field_header)) {
        const uint16_t fieldId = LoadBe16(body + pos);
        const uint16_t fieldlen = LoadBe16(body + pos + 2);
        if (fieldlen > bodyLen - pos - sizeof(field_header)) break;
        last = field_header{fieldId, fieldlen};
        pos += sizeof(field_header);
        ApplyField<false>(code, fieldId, body + pos, fieldlen, encrypted);
        pos += fieldlen;
    }
    return pos;
}

template <bool kMayTrace>
inline void CVornCffexMdApiImpl::ApplyField(const encrypt_code_segment_field& EncryptCodeSegmentField, uint16_t fieldId,
                                            const uint8_t* data, uint16_t len, bool encrypted) {
    const uint16_t index = static_cast<uint16_t>(fieldId - kFirstVintField);
    if (index > 8) {
        m_counters.UnknownField();
        VORN_LOG(LOG_DEBUG, "[%s:%d] [%s], Unknown type: 0x[%x], length is [%d]", static_cast<unsigned>(fieldId),
                 static_cast<int>(len));
        return;
    }
    if (encrypted && Encryptable(fieldId)) {
        const encrypt_code_segment_field& code = EncryptCodeSegmentField;
        memcpy(m_FieldData.data(), data, len);
        if (!FieldDescribe::decrypt_data(m_FieldData.data(), len, code.compiled_code, code.code_len,
                                         const_cast<char*>(code.arg1))) {
            RejectUndecryptable(code.code_len);
            return;
        }
        data = m_FieldData.data();
    }
    if (fieldId == static_cast<uint16_t>(FIELD_ID::vint_market_data_update_time)) {
        ApplyUpdateTime<kMayTrace>(data, len);
        return;
    }
    SInstrumentSlot& slot = CurrentSlot();
    PriceMaker price{*this, slot};

    switch (static_cast<FIELD_ID>(fieldId)) {
    case FIELD_ID::vint_market_data_static: {
        const auto f = DecodeWire<vint_market_data_static_field>(data, len);
        const double open = price(f.open_price), high = price(f.high_price), low = price(f.low_price);
        const double close = price(f.close_price), upper = price(f.upper_limit_price);
        const double lower = price(f.lower_limit_price);
        const double settlement = Adjusted(f.settlement_price), delta = Adjusted(f.curr_delta);
        FIELD_TRACE("[%s:%d] [%s], vint_market_data_static_field,            open_price is [%f], high_price is [%f], "
                    "low_price is [%f], close_price is [%f], upper_limit_price is [%f],            lower_limit_price "
                    "is [%f], settlement_price is [%f], curr_delta is [%f]",
                    open, high, low, close, upper, lower, settlement, delta);
        depth_market_data_field& md = DepthOf(slot);
        md.open_price = open;
        md.high_price = high;
        md.low_price = low;
        md.close_price = close;
        md.upper_limit_price = upper;
        md.lower_limit_price = lower;
        md.settlement_price = settlement;
        md.curr_delta = delta;
        FinishField<FIELD_ID::vint_market_data_static>(slot);
        break;
    }
    case FIELD_ID::vint_market_data_last_match: {
        const auto f = DecodeWire<vint_market_data_last_match_field>(data, len);
        const double last = price(f.last_price), turnover = Adjusted(f.turn_over);
        const double interest = Adjusted(static_cast<double>(TicksOf(f.open_interest)));
        FIELD_TRACE("[%s:%d] [%s], vint_market_data_last_match_field,            last_price is [%f], volume is [%ld],  "
                    "turn_over is [%f], open_interest is [%f]",
                    last, static_cast<long>(f.volume), turnover, interest);
        depth_market_data_field& md = DepthOf(slot);
        md.last_price = last;
        md.volume = Low32(f.volume);
        md.turn_over = turnover;
        md.open_interest = interest;
        FinishField<FIELD_ID::vint_market_data_last_match>(slot);
        break;
    }
    case FIELD_ID::vint_market_data_best: {
        const auto f = DecodeWire<vint_market_data_best_field>(data, len);
        const double bid = price(f.bid1_price), ask = price(f.ask1_price);
        FIELD_TRACE("[%s:%d] [%s], vint_market_data_best_field,             bid1_price is [%f], bid1_volume is [%ld], "
                    "ask1_price is [%f], ask1_volume is [%ld]",
                    bid, static_cast<long>(f.bid1_volume), ask, static_cast<long>(f.ask1_volume));
        depth_market_data_field& md = DepthOf(slot);
        md.bid1_price = bid;
        md.bid1_volume = Low32(f.bid1_volume);
        md.ask1_price = ask;
        md.ask1_volume = Low32(f.ask1_volume);
        FinishField<FIELD_ID::vint_market_data_best>(slot);
        break;
    }
    case FIELD_ID::vint_market_data_bid23: {
        const auto f = DecodeWire<vint_market_data_bid23_field>(data, len);
        const double bid2 = price(f.bid2_price), bid3 = price(f.bid3_price);
        FIELD_TRACE("[%s:%d] [%s], vint_market_data_bid23_field,             bid2_price is [%f], bid2_volume is [%ld], "
                    "bid3_price is [%f], bid3_volume is [%ld]",
                    bid2, static_cast<long>(f.bid2_volume), bid3, static_cast<long>(f.bid3_volume));
        depth_market_data_field& md = DepthOf(slot);
        md.bid2_price = bid2;
        md.bid2_volume = Low32(f.bid2_volume);
        md.bid3_price = bid3;
        md.bid3_volume = Low32(f.bid3_volume);
        FinishField<FIELD_ID::vint_market_data_bid23>(slot);
        break;
    }
    case FIELD_ID::vint_market_data_ask23: {
        const auto f = DecodeWire<vint_market_data_ask23_field>(data, len);
        const double ask2 = price(f.ask2_price), ask3 = price(f.ask3_price);
        FIELD_TRACE("[%s:%d] [%s], vint_market_data_ask23_field,             ask2_price is [%f], ask2_volume is [%ld], "
                    "ask3_price is [%f], ask3_volume is [%ld]",
                    ask2, static_cast<long>(f.ask2_volume), ask3, static_cast<long>(f.ask3_volume));
        depth_market_data_field& md = DepthOf(slot);
        md.ask2_price = ask2;
        md.ask2_volume = Low32(f.ask2_volume);
        md.ask3_price = ask3;
        md.ask3_volume = Low32(f.ask3_volume);
        FinishField<FIELD_ID::vint_market_data_ask23>(slot);
        break;
    }
    case FIELD_ID::vint_market_data_bid45: {
        const auto f = DecodeWire<vint_market_data_bid45_field>(data, len);
        const double bid4 = price(f.bid4_price), bid5 = price(f.bid5_price);
        FIELD_TRACE(
            "[%s:%d] [%s], vint_market_data_bid45_field, bid4_price is [%f], bid4_volume is [%ld], bid5_price is "
            "[%f], bid5_volume is [%ld]",
            bid4, static_cast<long>(f.bid4_volume), bid5, static_cast<long>(f.bid5_volume));
        depth_market_data_field& md = DepthOf(slot);
        md.bid4_price = bid4;
        md.bid4_volume = Low32(f.bid4_volume);
        md.bid5_price = bid5;
        md.bid5_volume = Low32(f.bid5_volume);
        FinishField<FIELD_ID::vint_market_data_bid45>(slot);
        break;
    }
    case FIELD_ID::vint_market_data_ask45: {
        const auto f = DecodeWire<vint_market_data_ask45_field>(data, len);
        const double ask4 = price(f.ask4_price), ask5 = price(f.ask5_price);
        FIELD_TRACE("[%s:%d] [%s], vint_market_data_ask45_field,                 ask4_price is [%f], ask4_volume is "
                    "[%ld], ask5_price is [%f], ask5_volume is [%ld]",
                    ask4, static_cast<long>(f.ask4_volume), ask5, static_cast<long>(f.ask5_volume));
        depth_market_data_field& md = DepthOf(slot);
        md.ask4_price = ask4;
        md.ask4_volume = Low32(f.ask4_volume);
        md.ask5_price = ask5;
        md.ask5_volume = Low32(f.ask5_volume);
        FinishField<FIELD_ID::vint_market_data_ask45>(slot);
        break;
    }
    case FIELD_ID::vint_market_data_real_price_banding: {
        const auto f = DecodeWire<vint_market_data_real_price_banding_field>(data, len);
        const double upper = price(f.banding_upper_price), lower = price(f.banding_lower_price);
        FIELD_TRACE("[%s:%d] [%s], vint_market_data_real_price_banding_field, banding_upper_price is [%f], "
                    "banding_lower_price is [%f]",
                    upper, lower);
        depth_market_data_field& md = DepthOf(slot);
        md.banding_upper_price = upper;
        md.banding_lower_price = lower;
        break; // reaches neither output record nor the trust mask
    }
    default: break;
    }
}

// The update-time field makes its instrument the current one, then sets its time.
template <bool kMayTrace>
inline void CVornCffexMdApiImpl::ApplyUpdateTime(const uint8_t* data, uint16_t len) {
    const auto f = DecodeWire<vint_market_data_update_time_field>(data, len);
    if (f.ins_int_id != m_last_inst_id) SetCurrentInstrument(f.ins_int_id);
    FIELD_TRACE("[%s:%d] [%s], vint_market_data_update_time_field,                 ins_int_id is [%ld], update_time "
                "is [%ld], update_msec is [%ld]",
                static_cast<long>(f.ins_int_id), static_cast<long>(f.update_time), static_cast<long>(f.update_msec));
    SInstrumentSlot& slot = CurrentSlot();
    depth_market_data_field& md = DepthOf(slot);
    md.update_msec = Low32(f.update_msec);
    // Seconds beyond the day have no text: the previous time stays. The text is made once per
    // second of the instrument.
    const uint32_t seconds = static_cast<uint32_t>(f.update_time);
    if (seconds != slot.textSeconds) {
        if (const char* text = get_update_time(&seconds)) {
            memcpy(md.update_time, text, sizeof md.update_time);
            slot.textSeconds = seconds;
        }
    }
}

// Entered as 0, as a map lookup with insertion would; other instruments whose record carries
// this key read it per update.
void CVornCffexMdApiImpl::AddTrustEntry(SInstrumentSlot& slot) {
    slot.trust = &m_depth_market_trust_flag.try_emplace(static_cast<int32_t>(m_last_inst_id), 0).first->second;
    slot.trustWord = *slot.trust;
}
