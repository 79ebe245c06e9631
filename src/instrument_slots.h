// Per-instrument state of the software data path, resolved once per instrument instead of
// looked up in three maps per field: pointers into the connector's instrument maps, the
// cached selection, and both output records kept current as fields arrive.
// Single-threaded: owned and used by the receive thread only.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "FpgaStructCommon.h"
#include "VornCffexMd_interface.h"
#include "counters_layout.h"

// An alignment that keeps an output record (at most 512 bytes) within one 4 KiB page: records
// are copied whole per update, and a copy whose stores straddle two pages costs several times
// more on this class of CPU.
constexpr size_t kPageSafeAlignment = 512;
static_assert(sizeof(VornCffexMdType) <= kPageSafeAlignment && sizeof(MarketDepthUpdate) <= kPageSafeAlignment,
              "an output record fits in one aligned block");

// Pointers address entries of the connector's unordered maps, which keep their address until
// erased or the map is replaced; null while the entry does not exist.
struct SInstrumentSlot {
    depth_market_data_field* depth = nullptr;
    const ins_price_encode_info_field* price = nullptr;
    int64_t* trust = nullptr;             // this key's mask: depth-level fields set its bits
    const int64_t* outputTrust = nullptr; // mask of depth->inst_id: the outputs' trust flag
    int32_t selected = -1;                // SelectionOf(*depth); -1 until first needed
    uint32_t textSeconds = UINT32_MAX;    // the seconds whose text depth->update_time holds
    bool outputsCurrent = false;          // v1 and v2 hold *depth converted, trust flag aside
    // The live counters' entry of v2.inst_no (null: not selected), valid while the counters'
    // EntriesGeneration() equals countersGeneration.
    Vorn_R10::SInstrumentCounters* counters = nullptr;
    uint64_t countersGeneration = 0;
    alignas(kPageSafeAlignment) MarketDepthUpdate v1{};
    alignas(kPageSafeAlignment) VornCffexMdType v2{};
};

// Slots by instrument key: a dense table for small keys, a hash map holding every slot.
class CInstrumentSlots {
public:
    static constexpr int32_t kDenseKeys = 4096;

    CInstrumentSlots() = default;
    CInstrumentSlots(const CInstrumentSlots&) = delete;
    CInstrumentSlots& operator=(const CInstrumentSlots&) = delete;

    // The slot of `key`, or null when it has none yet.
    SInstrumentSlot* Find(int32_t key) {
        if (static_cast<uint32_t>(key) < kDenseKeys) return m_dense[key];
        const auto found = m_all.find(key);
        return found == m_all.end() ? nullptr : &found->second;
    }
    // Creates the (empty) slot of `key`, which must have none; allocates once per instrument.
    SInstrumentSlot& Add(int32_t key) {
        SInstrumentSlot& slot = m_all[key];
        if (static_cast<uint32_t>(key) < kDenseKeys) m_dense[key] = &slot;
        return slot;
    }
    // Drops every slot; references to slots are invalid afterwards.
    void Clear() {
        for (const auto& entry : m_all)
            if (static_cast<uint32_t>(entry.first) < kDenseKeys) m_dense[entry.first] = nullptr;
        m_all.clear();
    }
    template <typename Visit>
    void ForEach(Visit visit) {
        for (auto& entry : m_all) visit(entry.second);
    }

private:
    SInstrumentSlot* m_dense[kDenseKeys] = {};
    std::unordered_map<int32_t, SInstrumentSlot> m_all;
};
