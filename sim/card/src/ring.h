// The receive-channel ring: putting frames (producer) and taking them (reader).
// One producer and one reader per port; they may live in different processes.
#ifndef VORN_SIM_CARD_RING_H
#define VORN_SIM_CARD_RING_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "layout.h"

namespace vorn_sim {

enum class PutStatus { ok, reader_stalled };

// Writes one frame (len <= VORN_SIM_MAX_FRAME) into the next slot. With wait_for_room it
// waits until the reader has consumed the frame the slot holds, and gives up with
// reader_stalled when the reader makes no progress for kWaitLimitNs; otherwise an unread
// frame is overwritten.
PutStatus put_frame(PortRing& port, const void* frame, size_t len, bool wait_for_room, unsigned flags, uint32_t stamp);

constexpr uint64_t kWaitLimitNs = 10'000'000'000ull;

// The reader's own position; published to the ring's tail after each frame.
struct RxCursor {
    PortRing* port;
    uint64_t next; // number of the next frame to take
};

// Takes the next frame without blocking or system calls. Returns its length, 0 when none is
// waiting, or a negated EXANIC_RX_FRAME_* code (see exanic_receive_frame). *stamp receives
// the card-clock stamp of a frame that was taken.
ssize_t take_frame(RxCursor& cursor, char* buf, size_t size, uint32_t* stamp);

} // namespace vorn_sim

#endif
