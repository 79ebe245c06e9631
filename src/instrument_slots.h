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

// A depth record starting a cache line: the members an update writes and its records are built
// from (all but the price band) span five lines. Every byte is determinate, the tail included.
struct alignas(64) SDepthRecord : depth_market_data_field {
    SDepthRecord() : depth_market_data_field{} {}
    SDepthRecord(const depth_market_data_field& record) : depth_market_data_field(record) {}
    SDepthRecord& operator=(const depth_market_data_field& record) {
        depth_market_data_field::operator=(record);
        return *this;
    }
    char tail[384 - sizeof(depth_market_data_field)] = {};
};
static_assert(sizeof(SDepthRecord) == 384, "six lines, no padding");
static_assert(offsetof(depth_market_data_field, inst_id) + sizeof(int32_t) <= 5 * 64,
              "what records are built from lies in five lines");

// Pointers address entries of the connector's unordered maps, which keep their address until
// erased or the map is replaced; null while the entry does not exist.
struct alignas(64) SInstrumentSlot {
    depth_market_data_field* depth = nullptr;
    // This key's trust word (depth-level fields set its bits) and a copy of it, written through
    // only when it changes: a packet of a complete book reads and writes the copy alone.
    int64_t* trust = nullptr;
    int64_t trustWord = 0; // *trust, or 0 without an entry
    // The price encoding's values, copied once the encoding is known (hasPrice).
    double basePrice = 0;
    double priceTick = 0;
    // The live counters' entry of the instrument (null: not selected), valid while the
    // counters' EntriesGeneration() equals countersGeneration.
    Vorn_R10::SInstrumentCounters* counters = nullptr;
    uint32_t countersGeneration = 0;
    uint32_t textSeconds = UINT32_MAX; // the seconds whose text depth->update_time holds
    int8_t selected = -1;              // SelectionOf(*depth) (0 or 1); -1 until first needed
    bool hasPrice = false;
    // depth->inst_id is this key: the outputs' trust flag is trustWord's; otherwise it is the
    // word of depth->inst_id, looked up per update.
    bool ownTrust = false;
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
        if (static_cast<uint32_t>(key) < kDenseKeys && m_dense[key]) return &m_slots[m_dense[key] - 1u];
        if (m_sparse.empty()) return nullptr;
        const auto found = m_sparse.find(key);
        return found == m_sparse.end() ? nullptr : &m_slots[found->second];
    }
    // Creates the (empty) slot of `key`, which must have none; earlier slot pointers are invalid
    // afterwards.
    SInstrumentSlot& Add(int32_t key) {
        const size_t at = m_slots.size();
        m_slots.emplace_back();
        if (static_cast<uint32_t>(key) < kDenseKeys && at < UINT16_MAX)
            m_dense[key] = static_cast<uint16_t>(at + 1);
        else
            m_sparse[key] = at;
        return m_slots.back();
    }
    void Reserve(size_t instruments) { m_slots.reserve(instruments); }
    // Drops every slot; pointers to slots are invalid afterwards.
    void Clear() {
        for (uint16_t& at : m_dense) at = 0;
        m_sparse.clear();
        m_slots.clear();
    }
    template <typename Visit>
    void ForEach(Visit visit) {
        for (SInstrumentSlot& slot : m_slots) visit(slot);
    }

private:
    uint16_t m_dense[kDenseKeys] = {};            // 1 + the slot's index; 0: none (or in m_sparse)
    std::unordered_map<int32_t, size_t> m_sparse; // the slot's index

    std::vector<SInstrumentSlot> m_slots;
};
