#include "ring.h"

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cstring>

#include "exanic/fifo_rx.h"

namespace vorn_sim {
namespace {

constexpr uint64_t kSlots = VORN_SIM_RING_SLOTS;
constexpr int kYieldsBeforeSleep = 64;
constexpr long kWaitSleepNs = 50'000;
constexpr uint64_t kRewindAfterBytes = 64 * 1024;

uint64_t monotonic_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t written_seq(uint64_t frame) { return 2 * frame + 2; }
uint64_t writing_seq(uint64_t frame) { return 2 * frame + 1; }

// Waits until frame `frame` fits without overwriting an unread one; false after the reader
// made no progress for kWaitLimitNs.
bool wait_for_room(PortRing& port, uint64_t frame) {
    uint64_t tail = port.tail.load(std::memory_order_acquire);
    uint64_t last_progress_ns = 0;
    for (int round = 0; frame - tail >= kSlots; ++round) {
        if (round < kYieldsBeforeSleep) {
            sched_yield();
        } else {
            timespec pause{0, kWaitSleepNs};
            nanosleep(&pause, nullptr);
        }
        uint64_t now = monotonic_ns();
        uint64_t seen = port.tail.load(std::memory_order_acquire);
        if (seen != tail || last_progress_ns == 0) last_progress_ns = now;
        if (now - last_progress_ns > kWaitLimitNs) return false;
        tail = seen;
    }
    return true;
}

// The reader fell a lap behind: count the frames it missed and resume at the newest one.
ssize_t catch_up(RxCursor& cursor) {
    PortRing& port = *cursor.port;
    uint64_t head = port.head.load(std::memory_order_acquire);
    uint64_t newest = std::max(head > 0 ? head - 1 : 0, cursor.next);
    port.lost.fetch_add(newest - cursor.next, std::memory_order_relaxed);
    cursor.next = newest;
    port.tail.store(newest, std::memory_order_release);
    return -EXANIC_RX_FRAME_SWOVFL;
}

// A port has one reader, so its count is a plain load and store, not a locked add.
void consume(RxCursor& cursor) {
    cursor.next++;
    std::atomic<uint64_t>& taken = cursor.port->taken;
    taken.store(taken.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    cursor.port->tail.store(cursor.next, std::memory_order_release);
}

// Where frame `number` of `len` bytes goes in the byte ring: after the previous frame, or at 0
// when it would not fit before the end. Past the first 64 KB it also starts again at 0 when the
// reader has taken every frame before it, as no byte is in use then: a reader that keeps up
// so reads from a few pages that stay in cache instead of from all of the ring.
uint64_t frame_offset(PortRing& port, uint64_t number, size_t len) {
    uint64_t at = port.write_at.load(std::memory_order_relaxed);
    if (at > kFrameBytes - len || (at >= kRewindAfterBytes && port.tail.load(std::memory_order_acquire) == number))
        at = 0;
    port.write_at.store(at + len, std::memory_order_relaxed);
    return at;
}

} // namespace

PutStatus put_frame(PortRing& port, const void* frame, size_t len, bool wait, unsigned flags, uint32_t stamp) {
    uint64_t number = port.head.load(std::memory_order_relaxed); // single producer
    if (wait && !wait_for_room(port, number)) return PutStatus::reader_stalled;
    uint64_t index = number % kSlots;
    SlotHeader& slot = port.slots[index];
    slot.seq.store(writing_seq(number), std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    const uint64_t offset = frame_offset(port, number, len);
    slot.len.store(static_cast<uint32_t>(len), std::memory_order_relaxed);
    slot.flags.store(flags, std::memory_order_relaxed);
    slot.stamp.store(stamp, std::memory_order_relaxed);
    slot.offset.store(static_cast<uint32_t>(offset), std::memory_order_relaxed);
    if (len > 0) std::memcpy(port.data + offset, frame, len);
    slot.seq.store(written_seq(number), std::memory_order_release);
    port.head.store(number + 1, std::memory_order_release);
    return PutStatus::ok;
}

ssize_t take_frame(RxCursor& cursor, char* buf, size_t size, uint32_t* stamp) {
    uint64_t number = cursor.next;
    uint64_t index = number % kSlots;
    SlotHeader& slot = cursor.port->slots[index];
    uint64_t seq = slot.seq.load(std::memory_order_acquire);
    if (seq < written_seq(number)) return 0; // not yet put, or still being written
    if (seq > written_seq(number)) return catch_up(cursor);

    size_t len = std::min<size_t>(slot.len.load(std::memory_order_relaxed), VORN_SIM_MAX_FRAME);
    unsigned flags = slot.flags.load(std::memory_order_relaxed);
    const uint32_t put_stamp = slot.stamp.load(std::memory_order_relaxed);
    // Read while the producer may be rewriting the slot: kept inside the byte ring here, and
    // the sequence check below discards what was copied then.
    size_t offset = std::min<size_t>(slot.offset.load(std::memory_order_relaxed), kFrameBytes - len);
    size_t copied = std::min(len, size);
    // The C library's copy: the compiler would inline a bounded size as a slow-starting rep movs.
    asm("" : "+r"(copied));
    if (copied > 0) std::memcpy(buf, cursor.port->data + offset, copied);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (slot.seq.load(std::memory_order_relaxed) != seq) return catch_up(cursor); // overwritten

    consume(cursor);
    *stamp = put_stamp;
    if (len > size) return -EXANIC_RX_FRAME_TRUNCATED;
    if (flags & VORN_SIM_FRAME_FAULTY) return -EXANIC_RX_FRAME_CORRUPT;
    return static_cast<ssize_t>(len);
}

} // namespace vorn_sim
