/* Public interface of libvorn_r10: the two output records and the three entry points.
 * Usable from C and C++. Both records are part of the binary interface. */
#ifndef VORN_CFFEX_MD_INTERFACE_H
#define VORN_CFFEX_MD_INTERFACE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define VORN_API __attribute__((visibility("default")))
#else
#define VORN_API
#endif

/* Version 1: prices as doubles, levels alternating bid/ask. 264 bytes, no padding. */
typedef struct MarketDepthUpdate {
    signed char InstrumentID[31];
    signed char UpdateTime[9]; /* HH:MM:SS */
    int32_t UpdateMillisec;
    int32_t Volume;
    double LastPrice;
    double Turnover;
    double OpenInterest;
    int32_t BidVolume1;
    int32_t AskVolume1;
    int32_t BidVolume2;
    int32_t AskVolume2;
    int32_t BidVolume3;
    int32_t AskVolume3;
    int32_t BidVolume4;
    int32_t AskVolume4;
    int32_t BidVolume5;
    int32_t AskVolume5;
    double BidPrice1;
    double AskPrice1;
    double BidPrice2;
    double AskPrice2;
    double BidPrice3;
    double AskPrice3;
    double BidPrice4;
    double AskPrice4;
    double BidPrice5;
    double AskPrice5;
    double HighestPrice;
    double LowestPrice;
    double OpenPrice;
    double ClosePrice;
    double UpperLimitPrice;
    double LowerLimitPrice;
    double SettlementPrice;
    double CurrDelta;
    int64_t Trust_flag; /* 1: complete, trusted book */
} MarketDepthUpdate;

/* Version 2: prices as integers in thousandths. 276 bytes, byte-packed: this is also the
 * record format the card's firmware delivers in hardware mode. */
#pragma pack(push, 1)
typedef struct VornCffexMdType {
    int32_t inst_no;
    char trading_day[9];
    char instrument_id[31];
    int64_t UpdateTime; /* seconds since midnight */
    int32_t update_msec;
    int32_t volume;
    int64_t last_price;
    double turn_over;
    int64_t open_interest;
    int32_t bid1_volume;
    int32_t ask1_volume;
    int32_t bid2_volume;
    int32_t ask2_volume;
    int32_t bid3_volume;
    int32_t ask3_volume;
    int32_t bid4_volume;
    int32_t ask4_volume;
    int32_t bid5_volume;
    int32_t ask5_volume;
    int64_t bid1_price;
    int64_t ask1_price;
    int64_t bid2_price;
    int64_t ask2_price;
    int64_t bid3_price;
    int64_t ask3_price;
    int64_t bid4_price;
    int64_t ask4_price;
    int64_t bid5_price;
    int64_t ask5_price;
    int64_t high_price;
    int64_t low_price;
    int64_t open_price;
    int64_t close_price;
    int64_t upper_limit_price;
    int64_t lower_limit_price;
    int64_t settlement_price;
    int64_t curr_delta;
    int64_t trust_flag;
} VornCffexMdType;
#pragma pack(pop)

#ifdef __cplusplus
#define VORN_STATIC_ASSERT static_assert
#else
#define VORN_STATIC_ASSERT _Static_assert
#endif
#include <stddef.h>
VORN_STATIC_ASSERT(sizeof(MarketDepthUpdate) == 264, "MarketDepthUpdate is 264 bytes");
VORN_STATIC_ASSERT(offsetof(MarketDepthUpdate, UpdateTime) == 31, "UpdateTime at 31");
VORN_STATIC_ASSERT(offsetof(MarketDepthUpdate, UpdateMillisec) == 40, "UpdateMillisec at 40");
VORN_STATIC_ASSERT(offsetof(MarketDepthUpdate, Volume) == 44, "Volume at 44");
VORN_STATIC_ASSERT(offsetof(MarketDepthUpdate, LastPrice) == 48, "LastPrice at 48");
VORN_STATIC_ASSERT(offsetof(MarketDepthUpdate, OpenInterest) == 64, "OpenInterest at 64");
VORN_STATIC_ASSERT(offsetof(MarketDepthUpdate, BidVolume1) == 72, "BidVolume1 at 72");
VORN_STATIC_ASSERT(offsetof(MarketDepthUpdate, AskVolume5) == 108, "AskVolume5 at 108");
VORN_STATIC_ASSERT(offsetof(MarketDepthUpdate, BidPrice1) == 112, "BidPrice1 at 112");
VORN_STATIC_ASSERT(offsetof(MarketDepthUpdate, AskPrice5) == 184, "AskPrice5 at 184");
VORN_STATIC_ASSERT(offsetof(MarketDepthUpdate, HighestPrice) == 192, "HighestPrice at 192");
VORN_STATIC_ASSERT(offsetof(MarketDepthUpdate, SettlementPrice) == 240, "SettlementPrice at 240");
VORN_STATIC_ASSERT(offsetof(MarketDepthUpdate, CurrDelta) == 248, "CurrDelta at 248");
VORN_STATIC_ASSERT(offsetof(MarketDepthUpdate, Trust_flag) == 256, "Trust_flag at 256");

VORN_STATIC_ASSERT(sizeof(VornCffexMdType) == 276, "VornCffexMdType is 276 bytes");
VORN_STATIC_ASSERT(offsetof(VornCffexMdType, trading_day) == 4, "trading_day at 4");
VORN_STATIC_ASSERT(offsetof(VornCffexMdType, instrument_id) == 13, "instrument_id at 13");
VORN_STATIC_ASSERT(offsetof(VornCffexMdType, UpdateTime) == 44, "UpdateTime at 44");
VORN_STATIC_ASSERT(offsetof(VornCffexMdType, update_msec) == 52, "update_msec at 52");
VORN_STATIC_ASSERT(offsetof(VornCffexMdType, volume) == 56, "volume at 56");
VORN_STATIC_ASSERT(offsetof(VornCffexMdType, last_price) == 60, "last_price at 60");
VORN_STATIC_ASSERT(offsetof(VornCffexMdType, turn_over) == 68, "turn_over at 68");
VORN_STATIC_ASSERT(offsetof(VornCffexMdType, open_interest) == 76, "open_interest at 76");
VORN_STATIC_ASSERT(offsetof(VornCffexMdType, bid1_volume) == 84, "bid1_volume at 84");
VORN_STATIC_ASSERT(offsetof(VornCffexMdType, ask5_volume) == 120, "ask5_volume at 120");
VORN_STATIC_ASSERT(offsetof(VornCffexMdType, bid1_price) == 124, "bid1_price at 124");
VORN_STATIC_ASSERT(offsetof(VornCffexMdType, ask5_price) == 196, "ask5_price at 196");
VORN_STATIC_ASSERT(offsetof(VornCffexMdType, high_price) == 204, "high_price at 204");
VORN_STATIC_ASSERT(offsetof(VornCffexMdType, settlement_price) == 252, "settlement_price at 252");
VORN_STATIC_ASSERT(offsetof(VornCffexMdType, curr_delta) == 260, "curr_delta at 260");
VORN_STATIC_ASSERT(offsetof(VornCffexMdType, trust_flag) == 268, "trust_flag at 268");

/* Registers the version-1 consumer; null switches version-1 delivery off. Returns 0. */
VORN_API int set_parse_data(void (*ptrFunc)(MarketDepthUpdate*));
/* Registers the version-2 consumer; null switches version-2 delivery off. Returns 0. */
VORN_API int set_parse_data_version_2(void (*ptrFunc)(VornCffexMdType*));
/* Starts the connector with the INI file `filename` and polls the card on the calling
 * thread until SIGINT or SIGTERM. 0 after the loop ended, -1 when start-up failed. */
VORN_API int init_connector(const char* filename);

#ifdef __cplusplus
}
#endif
#endif
