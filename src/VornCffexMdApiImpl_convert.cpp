// Output conversions: depth records into the version-1 and version-2 records of software
// mode (whole, or the members one field writes), firmware records into version-1 records of
// hardware mode, and the update-time text both ways.
#include <cstring>

#include "VornCffexMdApiImpl.h"
#include "output_records.h"
#include "price_convert.h"

using vorn_price::Count;
using vorn_price::OrZero;
using vorn_price::Thousandths;

namespace {

char sz_time[9];

int64_t OutputTrust(const CVornCffexMdApiImpl& api, int32_t inst_id) {
    return api.GetTrustFlag(inst_id) == CVornCffexMdApiImpl::kCompleteBook ? 1 : 0;
}

double FromThousandths(int64_t value) { return static_cast<double>(value) / 1000.0; }

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

void CVornCffexMdApiImpl::convert_data_v1(MarketDepthUpdate& updatebuf, depth_market_data_field& refmd,
                                          CVornCffexMdApiImpl& refCffexMdApiImpl) {
    FillV1(updatebuf, refmd);
    updatebuf.Trust_flag = OutputTrust(refCffexMdApiImpl, refmd.inst_id);
}

void CVornCffexMdApiImpl::convert_data_v2(VornCffexMdType& updatebuf, depth_market_data_field& refmd,
                                          CVornCffexMdApiImpl& refCffexMdApiImpl) {
    FillV2(updatebuf, refmd, set_update_time(refmd.update_time));
    updatebuf.trust_flag = OutputTrust(refCffexMdApiImpl, refmd.inst_id);
}

void CVornCffexMdApiImpl::FillV1(MarketDepthUpdate& updatebuf, const depth_market_data_field& md) {
    memcpy(updatebuf.InstrumentID, md.instrument_id, sizeof md.instrument_id);
    memcpy(updatebuf.UpdateTime, md.update_time, sizeof md.update_time);
    updatebuf.UpdateMillisec = md.update_msec;
    updatebuf.Volume = md.volume;
    updatebuf.Turnover = OrZero(md.turn_over);
    updatebuf.OpenInterest = OrZero(md.open_interest);
    FillLevelsAndPrices(updatebuf, md, [](double x) { return OrZero(x); });
}

void CVornCffexMdApiImpl::FillV2(VornCffexMdType& updatebuf, const depth_market_data_field& md, int64_t seconds) {
    updatebuf.inst_no = md.inst_id;
    memcpy(updatebuf.trading_day, md.trading_day, sizeof md.trading_day);
    memcpy(updatebuf.instrument_id, md.instrument_id, sizeof md.instrument_id);
    updatebuf.UpdateTime = seconds;
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
}

void CVornCffexMdApiImpl::convert_to_market_depth_update(MarketDepthUpdate& updatebuf,
                                                         const VornCffexMdType* pCffexMdType) {
    if (!pCffexMdType) return;
    const VornCffexMdType& md = *pCffexMdType;
    memcpy(updatebuf.InstrumentID, md.instrument_id, sizeof updatebuf.InstrumentID);
    // Seconds beyond the day have no text: the version-1 time is then empty.
    const uint32_t seconds = static_cast<uint32_t>(md.UpdateTime);
    const char* text = get_update_time(&seconds);
    if (text)
        memcpy(updatebuf.UpdateTime, text, sizeof updatebuf.UpdateTime);
    else
        memset(updatebuf.UpdateTime, 0, sizeof updatebuf.UpdateTime);
    updatebuf.UpdateMillisec = md.update_msec;
    updatebuf.Volume = md.volume;
    updatebuf.Turnover = md.turn_over;
    updatebuf.OpenInterest = static_cast<double>(md.open_interest);
    FillLevelsAndPrices(updatebuf, md, [](int64_t x) { return FromThousandths(x); });
    updatebuf.Trust_flag = md.trust_flag;
}
