// ZigZag base-128 varints of the feed's market-data fields.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn_wire {

inline int64_t ZigZag(uint64_t raw) { return static_cast<int64_t>((raw >> 1) ^ (~(raw & 1) + 1)); }

// One varint of at most 10 bytes from `buf` (`buf_len` readable bytes). Returns its value and
// sets `bytes_consumed`; a number cut short by `buf_len` yields 0 with `bytes_consumed` 0.
// Inline in every decoder: most members are one or two bytes.
__attribute__((always_inline)) inline int64_t DecodeVarint(const uint8_t* buf, size_t buf_len, size_t& bytes_consumed) {
    if (buf_len >= 2) {
        if (buf[0] < 0x80) {
            bytes_consumed = 1;
            return ZigZag(buf[0]);
        }
        if (buf[1] < 0x80) {
            bytes_consumed = 2;
            return ZigZag(static_cast<uint64_t>(buf[0] & 0x7F) | static_cast<uint64_t>(buf[1]) << 7);
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
