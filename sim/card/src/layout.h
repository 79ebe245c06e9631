// Layout of a simulated ExaNIC device in its shared-memory object. Every process that maps
// the device sees the same bytes; all cross-process state is in here. The regions a card's
// driver maps (registers, info page, devkit registers and memory, receive rings) each start
// on a page of their own, so the driver shim maps them straight from the object.
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
constexpr uint32_t kLayoutVersion = 4;
constexpr uint32_t kRegisterFirmwareVersion = 65;
constexpr uint32_t kRegisterVerdict = 64;

constexpr size_t kPageSize = 4096;

// The card's own register window (two pages, as the driver maps it) and the words of it the
// card's clock is read from, at the indices the vendor's register map gives them.
constexpr size_t kCardRegisterWords = 2 * kPageSize / sizeof(uint32_t);
constexpr uint32_t kRegHwTime = 9;       // low 32 bits of the clock
constexpr uint32_t kRegClockHz = 13;     // tick rate
constexpr uint32_t kRegCaps = 14;        // capability bits
constexpr uint32_t kRegHwTimeHi = 15;    // high 32 bits of the clock
constexpr uint32_t kCapHwTimeHi = 0x100; // the clock has its high word
constexpr uint32_t kRegHardwareId = 1;
constexpr uint32_t kHardwareIdX10 = 4;
// Per-port registers: 16 words a port from byte 0x200; enabled (word 0) and status (word 2).
constexpr uint32_t kPortEnabled = 0;
constexpr uint32_t kPortStatus = 2;
constexpr uint32_t port_register(uint32_t port, uint32_t reg) { return 0x200 / 4 + 16 * port + reg; }

// The driver's info page: the card's clock as the driver last read it, in ticks.
struct alignas(kPageSize) InfoPage {
    std::atomic<uint64_t> hw_time;
};
static_assert(sizeof(InfoPage) == kPageSize, "the info page is one page");

// The card's receive ring, as its DMA writes it: 2 MiB of 128-byte chunks, each 120 bytes of
// payload and an 8-byte info word. A frame fills consecutive chunks; only its last chunk has
// a non-zero length (the bytes in it) and the frame's status. Every chunk of a lap carries
// the lap's generation number, so a reader tells new chunks (its lap's generation), chunks
// not yet written (the lap before) and being lapped (anything else) from the info word alone.
constexpr size_t kChunkPayload = VORN_SIM_CHUNK_PAYLOAD;
constexpr size_t kRingChunks = VORN_SIM_RING_CHUNKS;

struct alignas(128) RxChunk {
    unsigned char payload[kChunkPayload];
    std::atomic<uint64_t> info; // see ChunkInfo
};
static_assert(sizeof(RxChunk) == 128, "a chunk is 128 bytes");

struct alignas(kPageSize) RxRing {
    RxChunk chunks[kRingChunks];
};
static_assert(sizeof(RxRing) == 2u << 20, "a receive ring is 2 MiB");

// The info word, little-endian: stamp (bits 0-31), frame status (32-39), length (40-47),
// matched filter (48-55), generation (56-63).
struct ChunkInfo {
    uint32_t stamp;
    uint8_t status;
    uint8_t length;
    uint8_t generation;
};
constexpr uint64_t pack_info(uint32_t stamp, uint8_t status, uint8_t length, uint8_t generation) {
    return uint64_t{stamp} | uint64_t{status} << 32 | uint64_t{length} << 40 | uint64_t{generation} << 56;
}
constexpr ChunkInfo unpack_info(uint64_t word) {
    return ChunkInfo{static_cast<uint32_t>(word), static_cast<uint8_t>(word >> 32), static_cast<uint8_t>(word >> 40),
                     static_cast<uint8_t>(word >> 56)};
}
// Frame status codes of the last chunk's status (low four bits: an error).
constexpr uint8_t kStatusAborted = 1;
constexpr uint8_t kStatusCorrupt = 2;
constexpr uint8_t kStatusHwOverflow = 3;
constexpr uint8_t kStatusErrorMask = 0x0f;

// Chunk number c (counted from the ring's creation) lies at c % kRingChunks with generation
// c / kRingChunks + 1: a new ring is all zeros, the generation before the first lap's.
constexpr uint8_t generation_of(uint64_t chunk) { return static_cast<uint8_t>(chunk / kRingChunks + 1); }

// Per-port state beside the ring. The producer's side (what it has put) and our reader's side
// (what it has taken; the vendor's reader keeps its position to itself) on lines of their own.
struct PortState {
    alignas(64) std::atomic<uint64_t> put_chunks; // chunks written, always at a frame's end
    std::atomic<uint64_t> put_frames;
    alignas(64) std::atomic<uint64_t> read_chunks; // our reader's position: WAIT mode's room
    std::atomic<uint64_t> taken;                   // frames returned to our reader (incl. errors)
    std::atomic<uint64_t> lost;                    // frames our reader lost by being lapped
    std::atomic<uint64_t> skipped;                 // frames put before our reader started
    alignas(64) std::atomic<uint32_t> blind_readers; // rings mapped through the driver shim
};

struct alignas(kPageSize) Header {
    uint64_t magic;
    uint32_t layout_version;
    uint32_t reserved;
    std::atomic<uint32_t> fail_bits; // vorn_sim_fail bits: next acquisitions to fail
    PortState ports[VORN_SIM_PORTS];
};

constexpr size_t kDevkitMemoryBytes = kPageSize;

struct DeviceLayout {
    Header header;
    alignas(kPageSize) uint32_t card_registers[kCardRegisterWords];
    InfoPage info;
    alignas(kPageSize) uint32_t registers[VORN_SIM_REGISTER_WORDS]; // the devkit's registers
    alignas(kPageSize) unsigned char devkit_memory[kDevkitMemoryBytes];
    RxRing rx[VORN_SIM_PORTS];
};

} // namespace vorn_sim

#endif
