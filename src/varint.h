// ZigZag base-128 varints of the feed's market-data fields.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn_wire {

inline int64_t ZigZag(uint64_t raw) { return static_cast<int64_t>((raw >> 1) ^ (~(raw & 1) + 1)); }

// One varint of at most 10 bytes from `buf` (`buf_len` readable bytes). Returns its value and
// sets `bytes_consumed`; a number cut short by `buf_len` yields 0 with `bytes_consumed` 0.
// Inline in every decoder. Numbers of up to four bytes (prices in ticks, times, volumes) take
// straight-line code, each byte read only when `buf_len` covers it; longer ones take the loop.
__attribute__((always_inline)) inline int64_t DecodeVarint(const uint8_t* buf, size_t buf_len, size_t& bytes_consumed) {
    if (buf_len >= 1 && buf[0] < 0x80) {
        bytes_consumed = 1;
        return ZigZag(buf[0]);
    }
    if (buf_len >= 2) {
        uint64_t raw = (buf[0] & 0x7Fu) | static_cast<uint64_t>(buf[1] & 0x7Fu) << 7;
        if (buf[1] < 0x80) {
            bytes_consumed = 2;
            return ZigZag(raw);
        }
        if (buf_len >= 3) {
            raw |= static_cast<uint64_t>(buf[2] & 0x7Fu) << 14;
            if (buf[2] < 0x80) {
                bytes_consumed = 3;
                return ZigZag(raw);
            }
            if (buf_len >= 4) {
                raw |= static_cast<uint64_t>(buf[3] & 0x7Fu) << 21;
                if (buf[3] < 0x80) {
                    bytes_consumed = 4;
                    return ZigZag(raw);
                }
            }
        }
    }
    uint64_t raw = 0;
    const size_t limit = buf_len < 10 ? buf_len : 10;
    for (size_t i = 0; i < limit; ++i) {
        const uint8_t byte = buf[i];
        raw |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
        // The tenth byte ends the number whatever its high bit; only its lowest bit counts.
        if ((byte & 0x80) == 0 || i == 9) {
            bytes_consumed = i + 1;
            return ZigZag(raw);
        }
    }
    bytes_consumed = 0;
    return 0;
}

} // namespace vorn_wire
