// The receive ring in the card's format: putting frames (producer, as the card's DMA does)
// and taking them (our reader). One producer and one reader per port; they may live in
// different processes, and the reader may be the vendor's library instead of ours.
#ifndef VORN_SIM_CARD_RING_H
#define VORN_SIM_CARD_RING_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "layout.h"

namespace vorn_sim {

enum class PutStatus { ok, reader_stalled };

// Writes one frame (1 <= len <= VORN_SIM_MAX_FRAME) into the chunks after the last one, all
// stamped `stamp`, `status` (a kStatus* code or 0) in its last chunk. With wait_for_room it
// waits until our reader has taken the chunks it would overwrite, and gives up with
// reader_stalled when the reader makes no progress for kWaitLimitNs; otherwise unread chunks
// are overwritten, as the card does.
PutStatus put_frame(PortState& state, RxRing& ring, const void* frame, size_t len, bool wait_for_room,
                    uint8_t status, uint32_t stamp);

// Puts copies of a frame, as many as lap a reader waiting for the next frame: the reader finds
// the whole lap at once (never a frame of it) and reports it. Returns the frames put.
uint64_t put_lapping(PortState& state, RxRing& ring, const void* frame, size_t len, uint32_t stamp);

constexpr uint64_t kWaitLimitNs = 10'000'000'000ull;

// Chunks a frame of `len` bytes fills.
constexpr uint64_t chunks_for(size_t len) { return (len + kChunkPayload - 1) / kChunkPayload; }

// Our reader's position: the number of the next chunk, and of the next frame (for the lost
// count). Published to the port's state after each frame.
struct RxCursor {
    PortState* state;
    const RxRing* ring;
    uint64_t next;
    uint64_t next_frame;
};

// A reader starting now: after the newest frame put, as the card's own library starts.
RxCursor start_reading(PortState& state, const RxRing& ring);

// Takes the next frame without system calls. Returns its length, 0 when none is waiting, or
// a negated EXANIC_RX_FRAME_* code or frame status, with the same results as the card's own
// library on the same ring: a frame too large for `size` is -TRUNCATED with the buffer holding
// the whole chunks that fit; a lapped reader gets -SWOVFL and goes on after the newest frame.
// *stamp receives the stamp of a frame that was taken whole (errors included).
ssize_t take_frame(RxCursor& cursor, char* buf, size_t size, uint32_t* stamp);

} // namespace vorn_sim

#endif
