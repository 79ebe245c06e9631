// Field application: decodes each market-data field into the current instrument's depth
// record, keeps its trust mask, and converts a depth record into both output records.
#define VORN_LOG_FILE "VornCffexMdApiImpl.cpp"
#include <cmath>
#include <cstdio>
#include <cstring>

#include "VornCffexMdApiImpl.h"
#include "output_records.h"
#include "price_convert.h"

using namespace Vorn_R10;

namespace {

constexpr uint16_t kFirstVintField = static_cast<uint16_t>(FIELD_ID::vint_market_data_static);
constexpr int64_t kNoPriceTicks = 4294967295LL;
constexpr int64_t kCompleteBook = 31;

char sz_time[9];

// Trust bits of the five depth-level fields, by field index (best is index 2).
constexpr int64_t kTrustBit[9] = {0, 0, 1, 2, 4, 8, 16, 0, 0};

int32_t Low32(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

using vorn_price::OrZero;
using vorn_price::Thousandths;
using vorn_price::Count;

template <typename T>
T Decode(const FieldDescribe& desc, std::vector<uint8_t>& data, bool encrypted,
         const encrypt_code_segment_field& code) {
    T group{}; // zero even before the descriptors are built
    desc.init_from_stream(data.data(), data.size(), &group, true, encrypted, code.compiled_code, code.code_len,
                          const_cast<char*>(code.arg1));
    return group;
}

} // namespace

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the time text is composed as one little-endian word");

// The eight characters are stored as one word, so the caller's 8-byte read of the text is
// forwarded from that store instead of stalling on eight byte stores.
char* get_update_time(const uint32_t* src_time) {
    const uint32_t s = *src_time;
    if (s > 86399) return nullptr;
    const uint32_t hours = s / 3600, minutes = s % 3600 / 60, seconds = s % 60;
    const auto at = [](uint32_t character, int place) { return static_cast<uint64_t>(character) << (8 * place); };
    const uint64_t text = at('0' + hours / 10, 0) | at('0' + hours % 10, 1) | at(':', 2) | at('0' + minutes / 10, 3) |
                          at('0' + minutes % 10, 4) | at(':', 5) | at('0' + seconds / 10, 6) |
                          at('0' + seconds % 10, 7);
    memcpy(sz_time, &text, sizeof text);
    sz_time[8] = '\0';
    return sz_time;
}

int64_t set_update_time(const char* update_time) {
    const auto digit = [update_time](int at) {
        return static_cast<int32_t>(static_cast<int8_t>(update_time[at])) - 48;
    };
    const int32_t hours = 10 * digit(0) + digit(1);
    const int32_t minutes = 10 * digit(3) + digit(4);
    const int32_t seconds = 10 * digit(6) + digit(7);
    return static_cast<int64_t>(hours * 3600 + minutes * 60 + seconds);
}

void CVornCffexMdApiImpl::SetCurrentInstrument(int64_t inst_id) {
    m_last_inst_id = inst_id;
    m_curDepth = nullptr;
    m_curPriceInfo = nullptr;
    m_curTrust = nullptr;
    m_curSelected = -1;
}

// Entered all zero on first use, as a map lookup with insertion would.
depth_market_data_field& CVornCffexMdApiImpl::CurrentDepth() {
    if (!m_curDepth) m_curDepth = &m_depth_market_data_infos[static_cast<int32_t>(m_last_inst_id)];
    return *m_curDepth;
}

const ins_price_encode_info_field& CVornCffexMdApiImpl::CurrentPriceInfo() {
    if (!m_curPriceInfo) m_curPriceInfo = &m_ins_price_infos[static_cast<int32_t>(m_last_inst_id)];
    return *m_curPriceInfo;
}

int64_t CVornCffexMdApiImpl::GetTrustFlag(int inst_id) const {
    const auto found = m_depth_market_trust_flag.find(inst_id);
    return found == m_depth_market_trust_flag.end() ? 0 : found->second;
}

double CVornCffexMdApiImpl::get_price(const int64_t* src_price, CVornCffexMdApiImpl& refCffexMdApiImpl) {
    int64_t ticks;
    memcpy(&ticks, src_price, sizeof ticks);
    if (ticks == kNoPriceTicks) return EMPTY_PRICE;
    const ins_price_encode_info_field& encoding = refCffexMdApiImpl.CurrentPriceInfo();
    const double product = static_cast<double>(ticks) * encoding.price_tick;
    return product + encoding.base_price;
}

void CVornCffexMdApiImpl::check_adjust_price(double& price) {
    if (std::isnan(price) || std::fabs(price) < 1e-11) price = 0.0;
}

namespace {

// A decoded price slot holds a tick count; it becomes a price through the encoding.
struct PriceMaker {
    CVornCffexMdApiImpl& api;
    double operator()(const double& slot) const {
        int64_t ticks;
        memcpy(&ticks, &slot, sizeof ticks);
        double price = api.get_price(&ticks, api);
        CVornCffexMdApiImpl::check_adjust_price(price);
        return price;
    }
};

// The output trust flag of a record's own instrument id; the current instrument's entry is
// at hand once a depth-level field resolved it.
int64_t OutputTrust(const CVornCffexMdApiImpl& api, int32_t inst_id) {
    const int64_t mask = api.m_curTrust && inst_id == static_cast<int32_t>(api.m_last_inst_id)
                             ? *api.m_curTrust
                             : api.GetTrustFlag(inst_id);
    return mask == kCompleteBook ? 1 : 0;
}

double Adjusted(double value) {
    CVornCffexMdApiImpl::check_adjust_price(value);
    return value;
}

} // namespace

void CVornCffexMdApiImpl::processCompleteField(const encrypt_code_segment_field& EncryptCodeSegmentField,
                                               CVornCffexMdApiImpl& refCffexMdApiImpl) {
    CVornCffexMdApiImpl& p = refCffexMdApiImpl;
    const uint16_t fieldId = p.m_FieldHeader.fieldId;
    const uint16_t index = static_cast<uint16_t>(fieldId - kFirstVintField);
    if (index > 8) {
        p.m_counters.UnknownField();
        VORN_LOG(LOG_DEBUG, "[%s:%d] [%s], Unknown type: 0x[%x], length is [%d]", static_cast<unsigned>(fieldId),
                 static_cast<int>(p.m_FieldData.size()));
        return;
    }
    const bool encrypted = (p.m_UdpHeader.encrypt & DF_ENCRYPT_FLAG) != 0;
    const encrypt_code_segment_field& code = EncryptCodeSegmentField;
    std::vector<uint8_t>& data = p.m_FieldData;
    const PriceMaker price{p};

    switch (static_cast<FIELD_ID>(fieldId)) {
    case FIELD_ID::vint_market_data_static: {
        const auto f = Decode<vint_market_data_static_field>(g_vint_market_data_static_field_desc, data, false, code);
        const double open = price(f.open_price), high = price(f.high_price), low = price(f.low_price);
        const double close = price(f.close_price), upper = price(f.upper_limit_price);
        const double lower = price(f.lower_limit_price);
        const double settlement = Adjusted(f.settlement_price), delta = Adjusted(f.curr_delta);
        VORN_LOG(LOG_DEBUG_EX,
                 "[%s:%d] [%s], vint_market_data_static_field,            open_price is [%f], high_price is [%f], "
                 "low_price is [%f], close_price is [%f], upper_limit_price is [%f],            lower_limit_price "
                 "is [%f], settlement_price is [%f], curr_delta is [%f]",
                 open, high, low, close, upper, lower, settlement, delta);
        depth_market_data_field& md = p.CurrentDepth();
        md.open_price = open;
        md.high_price = high;
        md.low_price = low;
        md.close_price = close;
        md.upper_limit_price = upper;
        md.lower_limit_price = lower;
        md.settlement_price = settlement;
        md.curr_delta = delta;
        break;
    }
    case FIELD_ID::vint_market_data_last_match: {
        const auto f = Decode<vint_market_data_last_match_field>(g_vint_market_data_last_match_field_desc, data,
                                                                 encrypted, code);
        const double last = price(f.last_price), turnover = Adjusted(f.turn_over);
        int64_t interestCount;
        memcpy(&interestCount, &f.open_interest, sizeof interestCount);
        const double interest = Adjusted(static_cast<double>(interestCount));
        VORN_LOG(LOG_DEBUG_EX,
                 "[%s:%d] [%s], vint_market_data_last_match_field,            last_price is [%f], volume is [%ld],  "
                 "turn_over is [%f], open_interest is [%f]",
                 last, static_cast<long>(f.volume), turnover, interest);
        depth_market_data_field& md = p.CurrentDepth();
        md.last_price = last;
        md.volume = Low32(f.volume);
        md.turn_over = turnover;
        md.open_interest = interest;
        break;
    }
    case FIELD_ID::vint_market_data_best: {
        const auto f = Decode<vint_market_data_best_field>(g_vint_market_data_best_field_desc, data, encrypted, code);
        const double bid = price(f.bid1_price), ask = price(f.ask1_price);
        VORN_LOG(LOG_DEBUG_EX,
                 "[%s:%d] [%s], vint_market_data_best_field,             bid1_price is [%f], bid1_volume is [%ld], "
                 "ask1_price is [%f], ask1_volume is [%ld]",
                 bid, static_cast<long>(f.bid1_volume), ask, static_cast<long>(f.ask1_volume));
        depth_market_data_field& md = p.CurrentDepth();
        md.bid1_price = bid;
        md.bid1_volume = Low32(f.bid1_volume);
        md.ask1_price = ask;
        md.ask1_volume = Low32(f.ask1_volume);
        break;
    }
    case FIELD_ID::vint_market_data_bid23: {
        const auto f = Decode<vint_market_data_bid23_field>(g_vint_market_data_bid23_field_desc, data, encrypted, code);
        const double bid2 = price(f.bid2_price), bid3 = price(f.bid3_price);
        VORN_LOG(LOG_DEBUG_EX,
                 "[%s:%d] [%s], vint_market_data_bid23_field,             bid2_price is [%f], bid2_volume is [%ld], "
                 "bid3_price is [%f], bid3_volume is [%ld]",
                 bid2, static_cast<long>(f.bid2_volume), bid3, static_cast<long>(f.bid3_volume));
        depth_market_data_field& md = p.CurrentDepth();
        md.bid2_price = bid2;
        md.bid2_volume = Low32(f.bid2_volume);
        md.bid3_price = bid3;
        md.bid3_volume = Low32(f.bid3_volume);
        break;
    }
    case FIELD_ID::vint_market_data_ask23: {
        const auto f = Decode<vint_market_data_ask23_field>(g_vint_market_data_ask23_field_desc, data, encrypted, code);
        const double ask2 = price(f.ask2_price), ask3 = price(f.ask3_price);
        VORN_LOG(LOG_DEBUG_EX,
                 "[%s:%d] [%s], vint_market_data_ask23_field,             ask2_price is [%f], ask2_volume is [%ld], "
                 "ask3_price is [%f], ask3_volume is [%ld]",
                 ask2, static_cast<long>(f.ask2_volume), ask3, static_cast<long>(f.ask3_volume));
        depth_market_data_field& md = p.CurrentDepth();
        md.ask2_price = ask2;
        md.ask2_volume = Low32(f.ask2_volume);
        md.ask3_price = ask3;
        md.ask3_volume = Low32(f.ask3_volume);
        break;
    }
    case FIELD_ID::vint_market_data_bid45: {
        const auto f = Decode<vint_market_data_bid45_field>(g_vint_market_data_bid45_field_desc, data, encrypted, code);
        const double bid4 = price(f.bid4_price), bid5 = price(f.bid5_price);
        VORN_LOG(LOG_DEBUG_EX,
                 "[%s:%d] [%s], vint_market_data_bid45_field, bid4_price is [%f], bid4_volume is [%ld], bid5_price is "
                 "[%f], bid5_volume is [%ld]",
                 bid4, static_cast<long>(f.bid4_volume), bid5, static_cast<long>(f.bid5_volume));
        depth_market_data_field& md = p.CurrentDepth();
        md.bid4_price = bid4;
        md.bid4_volume = Low32(f.bid4_volume);
        md.bid5_price = bid5;
        md.bid5_volume = Low32(f.bid5_volume);
        break;
    }
    case FIELD_ID::vint_market_data_ask45: {
        const auto f = Decode<vint_market_data_ask45_field>(g_vint_market_data_ask45_field_desc, data, encrypted, code);
        const double ask4 = price(f.ask4_price), ask5 = price(f.ask5_price);
        VORN_LOG(LOG_DEBUG_EX,
                 "[%s:%d] [%s], vint_market_data_ask45_field,                 ask4_price is [%f], ask4_volume is "
                 "[%ld], ask5_price is [%f], ask5_volume is [%ld]",
                 ask4, static_cast<long>(f.ask4_volume), ask5, static_cast<long>(f.ask5_volume));
        depth_market_data_field& md = p.CurrentDepth();
        md.ask4_price = ask4;
        md.ask4_volume = Low32(f.ask4_volume);
        md.ask5_price = ask5;
        md.ask5_volume = Low32(f.ask5_volume);
        break;
    }
    case FIELD_ID::vint_market_data_update_time: {
        const auto f = Decode<vint_market_data_update_time_field>(g_vint_market_data_update_time_field_desc, data,
                                                                  false, code);
        if (f.ins_int_id != p.m_last_inst_id) p.SetCurrentInstrument(f.ins_int_id);
        VORN_LOG(LOG_DEBUG_EX,
                 "[%s:%d] [%s], vint_market_data_update_time_field,                 ins_int_id is [%ld], update_time "
                 "is [%ld], update_msec is [%ld]",
                 static_cast<long>(f.ins_int_id), static_cast<long>(f.update_time), static_cast<long>(f.update_msec));
        depth_market_data_field& md = p.CurrentDepth();
        md.update_msec = Low32(f.update_msec);
        // Seconds beyond the day have no text: the previous time stays.
        const uint32_t seconds = static_cast<uint32_t>(f.update_time);
        if (const char* text = get_update_time(&seconds)) memcpy(md.update_time, text, sizeof md.update_time);
        break;
    }
    case FIELD_ID::vint_market_data_real_price_banding: {
        const auto f = Decode<vint_market_data_real_price_banding_field>(
            g_vint_market_data_real_price_banding_field_desc, data, encrypted, code);
        const double upper = price(f.banding_upper_price), lower = price(f.banding_lower_price);
        VORN_LOG(LOG_DEBUG_EX,
                 "[%s:%d] [%s], vint_market_data_real_price_banding_field, banding_upper_price is [%f], "
                 "banding_lower_price is [%f]",
                 upper, lower);
        depth_market_data_field& md = p.CurrentDepth();
        md.banding_upper_price = upper;
        md.banding_lower_price = lower;
        break;
    }
    default: return;
    }

    if (const int64_t bit = kTrustBit[index]) {
        if (!p.m_curTrust) p.m_curTrust = &p.m_depth_market_trust_flag[static_cast<int32_t>(p.m_last_inst_id)];
        *p.m_curTrust |= bit;
    }
}

void CVornCffexMdApiImpl::convert_data_v1(MarketDepthUpdate& updatebuf, depth_market_data_field& refmd,
                                          CVornCffexMdApiImpl& refCffexMdApiImpl) {
    const depth_market_data_field& md = refmd;
    memcpy(updatebuf.InstrumentID, md.instrument_id, sizeof md.instrument_id);
    memcpy(updatebuf.UpdateTime, md.update_time, sizeof md.update_time);
    updatebuf.UpdateMillisec = md.update_msec;
    updatebuf.Volume = md.volume;
    updatebuf.Turnover = OrZero(md.turn_over);
    updatebuf.OpenInterest = OrZero(md.open_interest);
    FillLevelsAndPrices(updatebuf, md, [](double x) { return OrZero(x); });
    updatebuf.Trust_flag = OutputTrust(refCffexMdApiImpl, md.inst_id);
}

void CVornCffexMdApiImpl::convert_data_v2(VornCffexMdType& updatebuf, depth_market_data_field& refmd,
                                          CVornCffexMdApiImpl& refCffexMdApiImpl) {
    const depth_market_data_field& md = refmd;
    updatebuf.inst_no = md.inst_id;
    memcpy(updatebuf.trading_day, md.trading_day, sizeof md.trading_day);
    memcpy(updatebuf.instrument_id, md.instrument_id, sizeof md.instrument_id);
    updatebuf.UpdateTime = set_update_time(md.update_time);
    updatebuf.update_msec = md.update_msec;
    updatebuf.volume = md.volume;
    updatebuf.last_price = Thousandths(md.last_price);
    updatebuf.turn_over = md.turn_over;
    updatebuf.open_interest = Count(md.open_interest);
    updatebuf.bid1_volume = md.bid1_volume;
    updatebuf.ask1_volume = md.ask1_volume;
    updatebuf.bid2_volume = md.bid2_volume;
    updatebuf.ask2_volume = md.ask2_volume;
    updatebuf.bid3_volume = md.bid3_volume;
    updatebuf.ask3_volume = md.ask3_volume;
    updatebuf.bid4_volume = md.bid4_volume;
    updatebuf.ask4_volume = md.ask4_volume;
    updatebuf.bid5_volume = md.bid5_volume;
    updatebuf.ask5_volume = md.ask5_volume;
    updatebuf.bid1_price = Thousandths(md.bid1_price);
    updatebuf.ask1_price = Thousandths(md.ask1_price);
    updatebuf.bid2_price = Thousandths(md.bid2_price);
    updatebuf.ask2_price = Thousandths(md.ask2_price);
    updatebuf.bid3_price = Thousandths(md.bid3_price);
    updatebuf.ask3_price = Thousandths(md.ask3_price);
    updatebuf.bid4_price = Thousandths(md.bid4_price);
    updatebuf.ask4_price = Thousandths(md.ask4_price);
    updatebuf.bid5_price = Thousandths(md.bid5_price);
    updatebuf.ask5_price = Thousandths(md.ask5_price);
    updatebuf.high_price = Thousandths(md.high_price);
    updatebuf.low_price = Thousandths(md.low_price);
    updatebuf.open_price = Thousandths(md.open_price);
    updatebuf.close_price = Thousandths(md.close_price);
    updatebuf.upper_limit_price = Thousandths(md.upper_limit_price);
    updatebuf.lower_limit_price = Thousandths(md.lower_limit_price);
    updatebuf.settlement_price = Thousandths(md.settlement_price);
    updatebuf.curr_delta = Count(md.curr_delta);
    updatebuf.trust_flag = OutputTrust(refCffexMdApiImpl, md.inst_id);
}
