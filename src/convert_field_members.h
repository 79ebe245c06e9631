// The output members one field writes, converted from the depth record exactly as the whole
// record conversions (convert_data_v1, convert_data_v2) convert them. Inline, per field id at
// compile time, so that field application writes them right after the depth record's members.
#pragma once

#include <cstdint>
#include <cstring>

#include "FpgaStructCommon.h"
#include "VornCffexMd_interface.h"
#include "price_convert.h"

namespace vorn_output {

using vorn_price::Count;
using vorn_price::OrZero;
using vorn_price::Thousandths;

// The members of field `kField` (one of the seven that carry prices or volumes to the outputs;
// the update time has ConvertUpdateTime, the price band reaches neither record) from `md` into
// `v1` and `v2`.
template <FIELD_ID kField>
__attribute__((always_inline)) inline void ConvertFieldMembers(const depth_market_data_field& md, MarketDepthUpdate& v1,
                                                               VornCffexMdType& v2) {
    if constexpr (kField == FIELD_ID::vint_market_data_static) {
        v1.OpenPrice = OrZero(md.open_price);
        v1.HighestPrice = OrZero(md.high_price);
        v1.LowestPrice = OrZero(md.low_price);
        v1.ClosePrice = OrZero(md.close_price);
        v1.UpperLimitPrice = OrZero(md.upper_limit_price);
        v1.LowerLimitPrice = OrZero(md.lower_limit_price);
        v1.SettlementPrice = OrZero(md.settlement_price);
        v1.CurrDelta = OrZero(md.curr_delta);
        v2.open_price = Thousandths(md.open_price);
        v2.high_price = Thousandths(md.high_price);
        v2.low_price = Thousandths(md.low_price);
        v2.close_price = Thousandths(md.close_price);
        v2.upper_limit_price = Thousandths(md.upper_limit_price);
        v2.lower_limit_price = Thousandths(md.lower_limit_price);
        v2.settlement_price = Thousandths(md.settlement_price);
        v2.curr_delta = Count(md.curr_delta);
    } else if constexpr (kField == FIELD_ID::vint_market_data_last_match) {
        v1.LastPrice = OrZero(md.last_price);
        v1.Volume = md.volume;
        v1.Turnover = OrZero(md.turn_over);
        v1.OpenInterest = OrZero(md.open_interest);
        v2.last_price = Thousandths(md.last_price);
        v2.volume = md.volume;
        v2.turn_over = md.turn_over;
        v2.open_interest = Count(md.open_interest);
    } else if constexpr (kField == FIELD_ID::vint_market_data_best) {
        v1.BidPrice1 = OrZero(md.bid1_price);
        v1.BidVolume1 = md.bid1_volume;
        v1.AskPrice1 = OrZero(md.ask1_price);
        v1.AskVolume1 = md.ask1_volume;
        v2.bid1_price = Thousandths(md.bid1_price);
        v2.bid1_volume = md.bid1_volume;
        v2.ask1_price = Thousandths(md.ask1_price);
        v2.ask1_volume = md.ask1_volume;
    } else if constexpr (kField == FIELD_ID::vint_market_data_bid23) {
        v1.BidPrice2 = OrZero(md.bid2_price);
        v1.BidVolume2 = md.bid2_volume;
        v1.BidPrice3 = OrZero(md.bid3_price);
        v1.BidVolume3 = md.bid3_volume;
        v2.bid2_price = Thousandths(md.bid2_price);
        v2.bid2_volume = md.bid2_volume;
        v2.bid3_price = Thousandths(md.bid3_price);
        v2.bid3_volume = md.bid3_volume;
    } else if constexpr (kField == FIELD_ID::vint_market_data_ask23) {
        v1.AskPrice2 = OrZero(md.ask2_price);
        v1.AskVolume2 = md.ask2_volume;
        v1.AskPrice3 = OrZero(md.ask3_price);
        v1.AskVolume3 = md.ask3_volume;
        v2.ask2_price = Thousandths(md.ask2_price);
        v2.ask2_volume = md.ask2_volume;
        v2.ask3_price = Thousandths(md.ask3_price);
        v2.ask3_volume = md.ask3_volume;
    } else if constexpr (kField == FIELD_ID::vint_market_data_bid45) {
        v1.BidPrice4 = OrZero(md.bid4_price);
        v1.BidVolume4 = md.bid4_volume;
        v1.BidPrice5 = OrZero(md.bid5_price);
        v1.BidVolume5 = md.bid5_volume;
        v2.bid4_price = Thousandths(md.bid4_price);
        v2.bid4_volume = md.bid4_volume;
        v2.bid5_price = Thousandths(md.bid5_price);
        v2.bid5_volume = md.bid5_volume;
    } else if constexpr (kField == FIELD_ID::vint_market_data_ask45) {
        v1.AskPrice4 = OrZero(md.ask4_price);
        v1.AskVolume4 = md.ask4_volume;
        v1.AskPrice5 = OrZero(md.ask5_price);
        v1.AskVolume5 = md.ask5_volume;
        v2.ask4_price = Thousandths(md.ask4_price);
        v2.ask4_volume = md.ask4_volume;
        v2.ask5_price = Thousandths(md.ask5_price);
        v2.ask5_volume = md.ask5_volume;
    } else {
        static_assert(static_cast<int>(kField) < 0, "no output members of this field here");
    }
}

// The update-time members; `seconds` is the time of day that md.update_time's text reads.
__attribute__((always_inline)) inline void ConvertUpdateTime(const depth_market_data_field& md, int64_t seconds,
                                                             MarketDepthUpdate& v1, VornCffexMdType& v2) {
    memcpy(v1.UpdateTime, md.update_time, sizeof md.update_time);
    v1.UpdateMillisec = md.update_msec;
    v2.UpdateTime = seconds;
    v2.update_msec = md.update_msec;
}

} // namespace vorn_output
