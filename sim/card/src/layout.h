// Layout of a simulated ExaNIC device in its shared-memory object. Every process that maps
// the device sees the same bytes; all cross-process state is in here.
#ifndef VORN_SIM_CARD_LAYOUT_H
#define VORN_SIM_CARD_LAYOUT_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "vorn_sim_card.h"

namespace vorn_sim {

// 64-bit atomics must work between processes: lock-free atomics are address-free.
static_assert(std::atomic<uint64_t>::is_always_lock_free, "64-bit atomics must be lock-free");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "32-bit atomics must be lock-free");

constexpr uint64_t kDeviceMagic = 0x564f524e45584e31ull; // "VORNEXN1"
constexpr uint32_t kLayoutVersion = 3;
constexpr uint32_t kRegisterFirmwareVersion = 65;
constexpr uint32_t kRegisterVerdict = 64;

constexpr size_t kPageSize = 4096;

// The card's own register window (two pages, as the driver maps it) and the words of it the
// card's clock is read from, at the indices the vendor's register map gives them.
constexpr size_t kCardRegisterWords = 2 * kPageSize / sizeof(uint32_t);
constexpr uint32_t kRegHwTime = 9;     // low 32 bits of the clock
constexpr uint32_t kRegClockHz = 13;   // tick rate
constexpr uint32_t kRegCaps = 14;      // capability bits
constexpr uint32_t kRegHwTimeHi = 15;  // high 32 bits of the clock
constexpr uint32_t kCapHwTimeHi = 0x100; // the clock has its high word

// The driver's info page: the card's clock as the driver last read it, in ticks.
struct alignas(kPageSize) InfoPage {
    std::atomic<uint64_t> hw_time;
};
static_assert(sizeof(InfoPage) == kPageSize, "the info page is one page");

// One ring slot's header. `seq` is a per-slot sequence lock: frame number n is being written
// while seq == 2n+1 and is complete once seq == 2n+2 (stored with release after the bytes).
struct alignas(32) SlotHeader {
    std::atomic<uint64_t> seq;
    std::atomic<uint32_t> stamp; // low 32 bits of the card's clock when the frame was put
    std::atomic<uint32_t> len;
    std::atomic<uint32_t> flags;
    std::atomic<uint32_t> offset; // of the frame's bytes in PortRing::data
};

// Frame bytes lie one after another in a byte ring (a frame that does not fit before its end
// starts again at 0, as may one put when the reader has taken every frame), so consecutive
// frames share pages and cache lines. The byte ring holds
// more than one lap of slots of the largest frames: the 4095 frames after a frame cannot reach
// its bytes, so they stay until its slot is reused, which the slot's sequence lock shows.
constexpr size_t kFrameBytes = (VORN_SIM_RING_SLOTS + 2) * static_cast<size_t>(VORN_SIM_MAX_FRAME);

// One receive channel: a single-producer/single-consumer ring. Frame number n lives in slot
// n % VORN_SIM_RING_SLOTS. Headers and frame bytes are kept apart so a reset touches only
// the small header array.
struct PortRing {
    alignas(64) std::atomic<uint64_t> head; // frames put (next frame number to write)
    std::atomic<uint64_t> write_at;         // where the next frame's bytes go (producer's own)
    alignas(64) std::atomic<uint64_t> tail; // reader's consumed position: WAIT mode, byte ring rewind
    std::atomic<uint64_t> taken;            // frames returned to the reader (incl. errors)
    std::atomic<uint64_t> lost;             // frames the reader lost by being lapped
    alignas(64) SlotHeader slots[VORN_SIM_RING_SLOTS];
    alignas(64) unsigned char data[kFrameBytes];
};

struct DeviceLayout {
    uint64_t magic;
    uint32_t layout_version;
    uint32_t reserved;
    std::atomic<uint32_t> fail_bits; // vorn_sim_fail bits: next acquisitions to fail
    alignas(kPageSize) uint32_t card_registers[kCardRegisterWords];
    InfoPage info;
    alignas(4096) uint32_t registers[VORN_SIM_REGISTER_WORDS];
    PortRing ports[VORN_SIM_PORTS];
};

} // namespace vorn_sim

#endif
