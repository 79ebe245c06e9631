// Decoders of the nine market-data fields generated at compile time from one member table:
// each group record lists its members' wire forms in order, and DecodeWire unrolls them.
// They decode exactly as FieldDescribe::init_from_stream does with the descriptors that
// init_market_data builds (that decoder stays the reference; a test holds the two together).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "df_udp.h"
#include "varint.h"

namespace vorn_wire {

enum class Wire : uint8_t { Varint, BeDouble };

// The member table: wire forms of each group record's 8-byte slots, in wire order.
template <typename Group>
struct Members;

constexpr Wire V = Wire::Varint, D = Wire::BeDouble;
template <>
struct Members<vint_market_data_static_field> {
    static constexpr Wire of[] = {V, V, V, V, V, V, D, D};
};
template <>
struct Members<vint_market_data_last_match_field> {
    static constexpr Wire of[] = {V, V, D, V};
};
template <>
struct Members<vint_market_data_best_field> {
    static constexpr Wire of[] = {V, V, V, V};
};
template <>
struct Members<vint_market_data_bid23_field> {
    static constexpr Wire of[] = {V, V, V, V};
};
template <>
struct Members<vint_market_data_ask23_field> {
    static constexpr Wire of[] = {V, V, V, V};
};
template <>
struct Members<vint_market_data_bid45_field> {
    static constexpr Wire of[] = {V, V, V, V};
};
template <>
struct Members<vint_market_data_ask45_field> {
    static constexpr Wire of[] = {V, V, V, V};
};
template <>
struct Members<vint_market_data_update_time_field> {
    static constexpr Wire of[] = {V, V, V};
};
template <>
struct Members<vint_market_data_real_price_banding_field> {
    static constexpr Wire of[] = {V, V};
};

// One member at `cursor`: a cut varint yields 0 and consumes nothing; a double needs all
// eight bytes or leaves its slot 0.
template <Wire kind>
__attribute__((always_inline)) inline uint64_t DecodeMember(const uint8_t* buf, size_t len, size_t& cursor) {
    if constexpr (kind == Wire::Varint) {
        size_t consumed = 0;
        const int64_t value = DecodeVarint(buf + cursor, len - cursor, consumed);
        cursor += consumed;
        return static_cast<uint64_t>(value);
    } else {
        if (len - cursor < 8) return 0;
        uint64_t bits;
        memcpy(&bits, buf + cursor, 8);
        cursor += 8;
        return __builtin_bswap64(bits);
    }
}

template <typename Group, size_t... I>
__attribute__((always_inline)) inline void DecodeSlots(const uint8_t* buf, size_t len, uint64_t* slots,
                                                       std::index_sequence<I...>) {
    size_t cursor = 0;
    ((slots[I] = DecodeMember<Members<Group>::of[I]>(buf, len, cursor)), ...);
}

// Decodes `len` bytes of field data at `buf` (read only) into a group record.
template <typename Group>
__attribute__((always_inline)) inline Group DecodeWire(const uint8_t* buf, size_t len) {
    constexpr size_t kSlots = sizeof(Members<Group>::of) / sizeof(Wire);
    static_assert(sizeof(Group) == 8 * kSlots, "one 8-byte slot per member");
    uint64_t slots[kSlots];
    DecodeSlots<Group>(buf, len, slots, std::make_index_sequence<kSlots>());
    Group group;
    memcpy(&group, slots, sizeof group);
    return group;
}

// DecodeWire of field `index` (its id minus vint_market_data_static's, 0 to 8) into `out`, the
// group record's bytes; false, nothing written, for any other index.
inline bool DecodeWireByIndex(uint16_t index, const uint8_t* buf, size_t len, void* out) {
    const auto put = [out](const auto& group) { memcpy(out, &group, sizeof group); };
    switch (index) {
    case 0: put(DecodeWire<vint_market_data_static_field>(buf, len)); return true;
    case 1: put(DecodeWire<vint_market_data_last_match_field>(buf, len)); return true;
    case 2: put(DecodeWire<vint_market_data_best_field>(buf, len)); return true;
    case 3: put(DecodeWire<vint_market_data_bid23_field>(buf, len)); return true;
    case 4: put(DecodeWire<vint_market_data_ask23_field>(buf, len)); return true;
    case 5: put(DecodeWire<vint_market_data_bid45_field>(buf, len)); return true;
    case 6: put(DecodeWire<vint_market_data_ask45_field>(buf, len)); return true;
    case 7: put(DecodeWire<vint_market_data_update_time_field>(buf, len)); return true;
    case 8: put(DecodeWire<vint_market_data_real_price_banding_field>(buf, len)); return true;
    default: return false;
    }
}

} // namespace vorn_wire
