#include "record_columns.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace vorn_tools {
namespace {

FieldAt Text(size_t offset, size_t width) { return {Kind::Text, offset, width}; }
FieldAt I32(size_t offset) { return {Kind::Int32, offset, 4}; }
FieldAt I64(size_t offset) { return {Kind::Int64, offset, 8}; }
FieldAt F64(size_t offset) { return {Kind::Double, offset, 8}; }
FieldAt Absent() { return {}; }

#define V1(f) offsetof(MarketDepthUpdate, f)
#define V2(f) offsetof(VornCffexMdType, f)

std::vector<Column> BuildColumns() {
    return {
        {"inst_no", Absent(), I32(V2(inst_no))},
        {"trading_day", Absent(), Text(V2(trading_day), 9)},
        {"instrument_id", Text(V1(InstrumentID), 31), Text(V2(instrument_id), 31)},
        {"update_time", Text(V1(UpdateTime), 9), I64(V2(UpdateTime))},
        {"update_msec", I32(V1(UpdateMillisec)), I32(V2(update_msec))},
        {"volume", I32(V1(Volume)), I32(V2(volume))},
        {"last_price", F64(V1(LastPrice)), I64(V2(last_price))},
        {"turn_over", F64(V1(Turnover)), F64(V2(turn_over))},
        {"open_interest", F64(V1(OpenInterest)), I64(V2(open_interest))},
        {"bid1_volume", I32(V1(BidVolume1)), I32(V2(bid1_volume))},
        {"ask1_volume", I32(V1(AskVolume1)), I32(V2(ask1_volume))},
        {"bid2_volume", I32(V1(BidVolume2)), I32(V2(bid2_volume))},
        {"ask2_volume", I32(V1(AskVolume2)), I32(V2(ask2_volume))},
        {"bid3_volume", I32(V1(BidVolume3)), I32(V2(bid3_volume))},
        {"ask3_volume", I32(V1(AskVolume3)), I32(V2(ask3_volume))},
        {"bid4_volume", I32(V1(BidVolume4)), I32(V2(bid4_volume))},
        {"ask4_volume", I32(V1(AskVolume4)), I32(V2(ask4_volume))},
        {"bid5_volume", I32(V1(BidVolume5)), I32(V2(bid5_volume))},
        {"ask5_volume", I32(V1(AskVolume5)), I32(V2(ask5_volume))},
        {"bid1_price", F64(V1(BidPrice1)), I64(V2(bid1_price))},
        {"ask1_price", F64(V1(AskPrice1)), I64(V2(ask1_price))},
        {"bid2_price", F64(V1(BidPrice2)), I64(V2(bid2_price))},
        {"ask2_price", F64(V1(AskPrice2)), I64(V2(ask2_price))},
        {"bid3_price", F64(V1(BidPrice3)), I64(V2(bid3_price))},
        {"ask3_price", F64(V1(AskPrice3)), I64(V2(ask3_price))},
        {"bid4_price", F64(V1(BidPrice4)), I64(V2(bid4_price))},
        {"ask4_price", F64(V1(AskPrice4)), I64(V2(ask4_price))},
        {"bid5_price", F64(V1(BidPrice5)), I64(V2(bid5_price))},
        {"ask5_price", F64(V1(AskPrice5)), I64(V2(ask5_price))},
        {"high_price", F64(V1(HighestPrice)), I64(V2(high_price))},
        {"low_price", F64(V1(LowestPrice)), I64(V2(low_price))},
        {"open_price", F64(V1(OpenPrice)), I64(V2(open_price))},
        {"close_price", F64(V1(ClosePrice)), I64(V2(close_price))},
        {"upper_limit_price", F64(V1(UpperLimitPrice)), I64(V2(upper_limit_price))},
        {"lower_limit_price", F64(V1(LowerLimitPrice)), I64(V2(lower_limit_price))},
        {"settlement_price", F64(V1(SettlementPrice)), I64(V2(settlement_price))},
        {"curr_delta", F64(V1(CurrDelta)), I64(V2(curr_delta))},
        {"trust_flag", I64(V1(Trust_flag)), I64(V2(trust_flag))},
    };
}

#undef V1
#undef V2

template <typename T>
T Load(const void* record, size_t offset) {
    T value;
    memcpy(&value, static_cast<const char*>(record) + offset, sizeof value);
    return value;
}

template <typename T>
char* WriteNumber(char* out, T value) {
    return std::to_chars(out, out + kMaxNumberChars, value).ptr;
}

// Whether thousandths / 1000.0 (correctly rounded) gives `value` (0 <= value < 1e9), decided
// exactly in integers rather than by a division: with value = m * 2^-s, the quotient rounds to
// value when |thousandths * 2^s - 1000 m| is below 500, half a unit in the last place, or equals
// it and m is even (ties to even). The spacing below a power of two is half that above, but
// no thousandth but the power itself comes that close to one in this range.
bool ReadsBackAs(uint64_t thousandths, double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    const int exponent = static_cast<int>(bits >> 52);
    if (value == 0) return thousandths == 0;
    if (exponent == 0 || thousandths == 0) return false; // subnormal, or below half a thousandth
    const uint64_t mantissa = (bits & ((uint64_t{1} << 52) - 1)) | uint64_t{1} << 52;
    const int shift = 1075 - exponent; // 23 or more below 1e9; at most 64 from half a thousandth on
    if (shift > 64) return false;
    const unsigned __int128 quotientScaled = static_cast<unsigned __int128>(thousandths) << shift;
    const unsigned __int128 valueScaled = static_cast<unsigned __int128>(mantissa) * 1000;
    const unsigned __int128 distance =
        quotientScaled > valueScaled ? quotientScaled - valueScaled : valueScaled - quotientScaled;
    return distance < 500 || (distance == 500 && (mantissa & 1) == 0);
}

// The shortest text of a price-like double, one with at most three decimals below 1e9 in
// magnitude, without the general algorithm; nullptr for any other value. There every other
// number of at most three decimals lies more than half a unit in the last place away, so the
// three-decimal text is the shortest that reads back, and it is not longer than the exponent
// form (integers with five or more trailing zeros and negative zero are left to to_chars).
char* WriteThreeDecimals(char* out, double value) {
    if (!(value > -1e9 && value < 1e9)) return nullptr;
    const double scaled = value * 1000.0;
    const int64_t thousandths = static_cast<int64_t>(scaled < 0 ? scaled - 0.5 : scaled + 0.5);
    const uint64_t magnitude = static_cast<uint64_t>(thousandths < 0 ? -thousandths : thousandths);
    if (!ReadsBackAs(magnitude, std::fabs(value))) return nullptr;
    const uint64_t whole = magnitude / 1000, fraction = magnitude % 1000;
    if (magnitude == 0 ? std::signbit(value) : fraction == 0 && whole % 100000 == 0) return nullptr;
    if (thousandths < 0) *out++ = '-';
    out = WriteNumber(out, whole);
    if (fraction == 0) return out;
    *out++ = '.';
    *out++ = static_cast<char>('0' + fraction / 100);
    if (fraction % 100 == 0) return out;
    *out++ = static_cast<char>('0' + fraction / 10 % 10);
    if (fraction % 10 == 0) return out;
    *out++ = static_cast<char>('0' + fraction % 10);
    return out;
}

} // namespace

const std::vector<Column>& Columns() {
    static const std::vector<Column> columns = BuildColumns();
    return columns;
}

char* FormatValue(const FieldAt& field, const void* record, char* out) {
    const char* base = static_cast<const char*>(record) + field.offset;
    switch (field.kind) {
    case Kind::None: return out;
    case Kind::Text: {
        const size_t length = strnlen(base, field.width);
        memcpy(out, base, length);
        return out + length;
    }
    case Kind::Int32: return WriteNumber(out, Load<int32_t>(record, field.offset));
    case Kind::Int64: return WriteNumber(out, Load<int64_t>(record, field.offset));
    case Kind::Double: {
        const double value = Load<double>(record, field.offset);
        char* end = WriteThreeDecimals(out, value);
        return end ? end : WriteNumber(out, value);
    }
    }
    return out;
}

} // namespace vorn_tools
