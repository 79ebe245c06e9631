// Conversions of depth-record doubles for the output records and the FPGA. The empty price
// (or anything at or above it) means "no price". Values outside the int64 range, and NaN,
// have no integer form; they saturate (NaN gives 0) instead of converting undefinedly.
#pragma once

#include <cstdint>

#include "FpgaStructCommon.h"

namespace vorn_price {

inline int64_t Truncate(double x) {
    // -2^63 < x < 2^63 (the upper bound rounds to 2^63) converts exactly; NaN fails both tests.
    if (x > -9223372036854775808.0 && x < 9223372036854775807.0) return static_cast<int64_t>(x);
    if (x >= 9223372036854775807.0) return INT64_MAX;
    if (x <= -9223372036854775808.0) return INT64_MIN;
    return 0;
}

// A price for the version-1 record: no price reads 0.
inline double OrZero(double x) { return x >= EMPTY_PRICE ? 0.0 : x; }
// A price in thousandths: x * 1000 + 0.5 truncated toward zero (the product rounded first).
inline int64_t Thousandths(double x) {
    const double rounded = x * 1000.0 + 0.5;
    // In range (neither the empty price, NaN nor beyond int64): one test, then convert.
    if (__builtin_expect(__builtin_fabs(rounded) < 9223372036854775807.0, 1)) return static_cast<int64_t>(rounded);
    return x >= EMPTY_PRICE ? 0 : Truncate(rounded);
}
// A count: x + 0.5 truncated toward zero.
inline int64_t Count(double x) { return x >= EMPTY_PRICE ? 0 : Truncate(x + 0.5); }
inline uint64_t UnsignedCount(double x) {
    if (x >= EMPTY_PRICE) return 0;
    const double v = x + 0.5;
    if (v < 0) return static_cast<uint64_t>(Truncate(v)); // two's complement, as the register holds it
    if (!(v == v)) return 0;
    if (v >= 18446744073709551615.0) return UINT64_MAX;
    return static_cast<uint64_t>(v);
}

} // namespace vorn_price
