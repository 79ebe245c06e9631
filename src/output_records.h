// Filling and clearing the version-1 output record, shared by both work modes.
#pragma once

#include <cstddef>
#include <cstring>

#include "VornCffexMd_interface.h"

// The volumes, level prices, session prices and delta of a version-1 record from a source
// whose members carry the same names (a depth record or a version-2 record); every price and
// the delta go through `price`, which takes its argument by value.
template <typename Source, typename Price>
void FillLevelsAndPrices(MarketDepthUpdate& out, const Source& in, Price price) {
    out.BidVolume1 = in.bid1_volume;
    out.AskVolume1 = in.ask1_volume;
    out.BidVolume2 = in.bid2_volume;
    out.AskVolume2 = in.ask2_volume;
    out.BidVolume3 = in.bid3_volume;
    out.AskVolume3 = in.ask3_volume;
    out.BidVolume4 = in.bid4_volume;
    out.AskVolume4 = in.ask4_volume;
    out.BidVolume5 = in.bid5_volume;
    out.AskVolume5 = in.ask5_volume;
    out.LastPrice = price(in.last_price);
    out.BidPrice1 = price(in.bid1_price);
    out.AskPrice1 = price(in.ask1_price);
    out.BidPrice2 = price(in.bid2_price);
    out.AskPrice2 = price(in.ask2_price);
    out.BidPrice3 = price(in.bid3_price);
    out.AskPrice3 = price(in.ask3_price);
    out.BidPrice4 = price(in.bid4_price);
    out.AskPrice4 = price(in.ask4_price);
    out.BidPrice5 = price(in.bid5_price);
    out.AskPrice5 = price(in.ask5_price);
    out.HighestPrice = price(in.high_price);
    out.LowestPrice = price(in.low_price);
    out.OpenPrice = price(in.open_price);
    out.ClosePrice = price(in.close_price);
    out.UpperLimitPrice = price(in.upper_limit_price);
    out.LowerLimitPrice = price(in.lower_limit_price);
    out.SettlementPrice = price(in.settlement_price);
    out.CurrDelta = price(in.curr_delta);
}

// Copies an output record through the library's vectorised memcpy, for the same reason.
inline void CopyRecord(void* to, const void* from, size_t size) {
    asm("" : "+r"(size));
    memcpy(to, from, size);
}

// Clears an output record through the library's vectorised memset: the size is hidden from
// the compiler, which would otherwise inline a slow-starting string store for ~270 bytes.
inline void ClearRecord(void* record, size_t size) {
    asm("" : "+r"(size));
    memset(record, 0, size);
}
