// Per-instrument state of the software data path, resolved once per instrument instead of
// looked up in three maps per field, kept in one cache line per instrument in a dense array:
// pointers into the connector's instrument maps, the price encoding's two values, the cached
// selection and time text. What a callback receives is built at delivery in buffers that stay
// hot, so nothing per instrument holds an output record.
// Single-threaded: owned and used by the receive thread only.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "FpgaStructCommon.h"
#include "VornCffexMd_interface.h"
#include "counters_layout.h"

// An alignment that keeps an output record (at most 512 bytes) within one 4 KiB page: records
// are filled and cleared whole per update, and stores straddling two pages cost several times
// more on this class of CPU.
constexpr size_t kPageSafeAlignment = 512;
static_assert(sizeof(VornCffexMdType) <= kPageSafeAlignment && sizeof(MarketDepthUpdate) <= kPageSafeAlignment,
              "an output record fits in one aligned block");

// Pointers address entries of the connector's unordered maps, which keep their address until
// erased or the map is replaced; null while the entry does not exist.
struct alignas(64) SInstrumentSlot {
    depth_market_data_field* depth = nullptr;
    int64_t* trust = nullptr;             // this key's trust word: depth-level fields set its bits
    const int64_t* outputTrust = nullptr; // trust word of depth->inst_id: the outputs' trust flag
    // The price encoding's values, copied once the encoding is known (hasPrice).
    double basePrice = 0;
    double priceTick = 0;
    bool hasPrice = false;
    int32_t selected = -1;             // SelectionOf(*depth); -1 until first needed
    uint32_t textSeconds = UINT32_MAX; // the seconds whose text depth->update_time holds
    // The live counters' entry of the instrument (null: not selected), valid while the
    // counters' EntriesGeneration() equals countersGeneration.
    uint32_t countersGeneration = 0;
    Vorn_R10::SInstrumentCounters* counters = nullptr;
};
static_assert(sizeof(SInstrumentSlot) == 64, "a slot is one cache line");

// Slots by instrument key: a dense index for small keys, a hash map for the others, the slots
// themselves contiguous. Reserve() before the data path runs keeps Add() from allocating for
// up to that many instruments.
class CInstrumentSlots {
public:
    static constexpr int32_t kDenseKeys = 4096;

    CInstrumentSlots() = default;
    CInstrumentSlots(const CInstrumentSlots&) = delete;
    CInstrumentSlots& operator=(const CInstrumentSlots&) = delete;

    // The slot of `key`, or null when it has none yet. Valid until the next Add() or Clear().
    SInstrumentSlot* Find(int32_t key) {
        uint32_t at;
        if (static_cast<uint32_t>(key) < kDenseKeys) {
            at = m_dense[key];
        } else {
            const auto found = m_sparse.find(key);
            at = found == m_sparse.end() ? 0 : found->second;
        }
        return at ? &m_slots[at - 1] : nullptr;
    }
    // Creates the (empty) slot of `key`, which must have none; earlier slot pointers are invalid
    // afterwards.
    SInstrumentSlot& Add(int32_t key) {
        m_slots.emplace_back();
        const uint32_t at = static_cast<uint32_t>(m_slots.size());
        if (static_cast<uint32_t>(key) < kDenseKeys)
            m_dense[key] = at;
        else
            m_sparse[key] = at;
        return m_slots.back();
    }
    void Reserve(size_t instruments) { m_slots.reserve(instruments); }
    // Drops every slot; pointers to slots are invalid afterwards.
    void Clear() {
        for (uint32_t& at : m_dense) at = 0;
        m_sparse.clear();
        m_slots.clear();
    }
    template <typename Visit>
    void ForEach(Visit visit) {
        for (SInstrumentSlot& slot : m_slots) visit(slot);
    }

private:
    uint32_t m_dense[kDenseKeys] = {}; // 1 + the slot's index; 0: none
    std::unordered_map<int32_t, uint32_t> m_sparse;
    std::vector<SInstrumentSlot> m_slots;
};
