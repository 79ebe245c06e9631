#include "ring.h"

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cstring>

#include "exanic/fifo_rx.h"

namespace vorn_sim {
namespace {

constexpr int kYieldsBeforeSleep = 64;
constexpr long kWaitSleepNs = 50'000;

uint64_t monotonic_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// Waits until chunks up to `end` (exclusive) can be written without overwriting one our
// reader has not taken; one chunk more is kept free, so the chunk before the reader's next
// frame (which a reader checks after its copy) is never overwritten either. False after the
// reader made no progress for kWaitLimitNs.
bool wait_for_room(PortState& state, uint64_t end) {
    uint64_t read = state.read_chunks.load(std::memory_order_acquire);
    uint64_t last_progress_ns = 0;
    for (int round = 0; end - read > kRingChunks - 1; ++round) {
        if (round < kYieldsBeforeSleep) {
            sched_yield();
        } else {
            timespec pause{0, kWaitSleepNs};
            nanosleep(&pause, nullptr);
        }
        uint64_t now = monotonic_ns();
        uint64_t seen = state.read_chunks.load(std::memory_order_acquire);
        if (seen != read || last_progress_ns == 0) last_progress_ns = now;
        if (now - last_progress_ns > kWaitLimitNs) return false;
        read = seen;
    }
    return true;
}

uint64_t info_at(const RxRing& ring, uint64_t chunk) {
    return ring.chunks[chunk % kRingChunks].info.load(std::memory_order_acquire);
}

// Payload bytes move as relaxed 8-byte atomics: a lapped reader may copy a chunk while the
// producer rewrites it (the generation check then discards the copy), and word-sized atomic
// accesses keep that overlap defined. A chunk's payload is 15 aligned words.
void store_payload(RxChunk& slot, const unsigned char* from, size_t len) {
    uint64_t* words = reinterpret_cast<uint64_t*>(slot.payload);
    for (size_t at = 0; at < len; at += sizeof(uint64_t)) {
        uint64_t word = 0;
        std::memcpy(&word, from + at, std::min(sizeof word, len - at));
        __atomic_store_n(&words[at / sizeof word], word, __ATOMIC_RELAXED);
    }
}

void load_payload(char* to, const RxChunk& slot, size_t len) {
    const uint64_t* words = reinterpret_cast<const uint64_t*>(slot.payload);
    for (size_t at = 0; at < len; at += sizeof(uint64_t)) {
        const uint64_t word = __atomic_load_n(&words[at / sizeof word], __ATOMIC_RELAXED);
        std::memcpy(to + at, &word, std::min(sizeof word, len - at));
    }
}

// True while the chunk before `first` still has the generation it was written with. The
// producer writes chunks in order, each one's info after its bytes, so one that has begun to
// overwrite the frame at `first` has already given that chunk a new generation: checked after
// a copy, it shows that no byte copied was being overwritten. (The frame's own first chunk
// cannot show it: its info is written only after its bytes.)
bool chunk_before_intact(const RxRing& ring, uint64_t first) {
    const uint8_t written = first == 0 ? 0 : generation_of(first - 1); // a new ring is all zeros
    return unpack_info(info_at(ring, first + kRingChunks - 1)).generation == written;
}

// A port has one reader, so its counts are plain loads and stores, not locked adds.
void bump(std::atomic<uint64_t>& count, uint64_t by) {
    count.store(count.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

// The reader was lapped: count the frames it missed and go on after the newest frame put.
ssize_t catch_up(RxCursor& cursor) {
    PortState& state = *cursor.state;
    // Frames are counted before their chunks are published: the count read second covers at
    // least every frame before the chunk position read first.
    const uint64_t put = state.put_chunks.load(std::memory_order_acquire);
    const uint64_t frames = state.put_frames.load(std::memory_order_acquire);
    if (frames > cursor.next_frame) bump(state.lost, frames - cursor.next_frame);
    cursor.next = std::max(put, cursor.next);
    cursor.next_frame = std::max(frames, cursor.next_frame);
    state.read_chunks.store(cursor.next, std::memory_order_release);
    return -EXANIC_RX_FRAME_SWOVFL;
}

// The frame ending before chunk `next` was taken (whole or as an error).
void consume(RxCursor& cursor, uint64_t next) {
    cursor.next = next;
    cursor.next_frame++;
    bump(cursor.state->taken, 1);
    cursor.state->read_chunks.store(next, std::memory_order_release);
}

} // namespace

namespace {

constexpr uint64_t kNoChunk = ~uint64_t{0};

uint64_t info_of(uint64_t chunk, uint64_t index, uint64_t count, size_t len, uint8_t status, uint32_t stamp) {
    const bool last = index + 1 == count;
    return pack_info(stamp, last ? status : 0, last ? static_cast<uint8_t>(len - index * kChunkPayload) : 0,
                     generation_of(chunk));
}

// Writes a frame of `len` bytes into the chunks from `first` on. The info words of chunks at
// ring position `held` (kNoChunk: none) are left for the caller.
void write_chunks(RxRing& ring, uint64_t first, const unsigned char* bytes, size_t len, uint8_t status, uint32_t stamp,
                  uint64_t held) {
    const uint64_t count = chunks_for(len);
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t chunk = first + i;
        RxChunk& slot = ring.chunks[chunk % kRingChunks];
        store_payload(slot, bytes + i * kChunkPayload, i + 1 == count ? len - i * kChunkPayload : kChunkPayload);
        if (chunk % kRingChunks == held) continue;
        // Payload before info, info before the next chunk's payload: a reader that sees a
        // chunk's generation sees its bytes, and one that copied bytes of a later chunk sees
        // the generation of every chunk before it changed.
        slot.info.store(info_of(chunk, i, count, len, status, stamp), std::memory_order_release);
        std::atomic_thread_fence(std::memory_order_release);
    }
}

void publish_put(PortState& state, uint64_t chunks, uint64_t frames) {
    state.put_frames.store(state.put_frames.load(std::memory_order_relaxed) + frames, std::memory_order_release);
    state.put_chunks.store(chunks, std::memory_order_release);
}

} // namespace

PutStatus put_frame(PortState& state, RxRing& ring, const void* frame, size_t len, bool wait, uint8_t status,
                    uint32_t stamp) {
    const uint64_t first = state.put_chunks.load(std::memory_order_relaxed); // single producer
    const uint64_t count = chunks_for(len);
    if (wait && !wait_for_room(state, first + count)) return PutStatus::reader_stalled;
    write_chunks(ring, first, static_cast<const unsigned char*>(frame), len, status, stamp, kNoChunk);
    publish_put(state, first + count, 1);
    return PutStatus::ok;
}

uint64_t put_lapping(PortState& state, RxRing& ring, const void* frame, size_t len, uint32_t stamp) {
    const uint64_t start = state.put_chunks.load(std::memory_order_relaxed);
    const uint64_t count = chunks_for(len);
    // Enough frames to write the chunk at `start` a lap later. Its ring position keeps the
    // generation before until the end, so a reader waiting there sees the ring all at once,
    // lapped, never a frame in between.
    const uint64_t frames = kRingChunks / count + 1;
    const uint64_t held = start % kRingChunks;
    for (uint64_t n = 0; n < frames; ++n)
        write_chunks(ring, start + n * count, static_cast<const unsigned char*>(frame), len, 0, stamp, held);
    // Published before the held chunk: a reader that finds the lap there catches up to the end
    // of it, not to `start`, where it would find the same lap a second time.
    publish_put(state, start + frames * count, frames);
    const uint64_t again = start + kRingChunks; // the last write of the held position
    ring.chunks[held].info.store(info_of(again, (again - start) % count, count, len, 0, stamp),
                                 std::memory_order_release);
    return frames;
}

RxCursor start_reading(PortState& state, const RxRing& ring) {
    const uint64_t put = state.put_chunks.load(std::memory_order_acquire);
    const uint64_t frames = state.put_frames.load(std::memory_order_acquire);
    // Frames no reader took are skipped, so the port's counts add up to the frames put.
    const uint64_t accounted = state.taken.load(std::memory_order_relaxed) +
                               state.lost.load(std::memory_order_relaxed) +
                               state.skipped.load(std::memory_order_relaxed);
    if (frames > accounted) bump(state.skipped, frames - accounted);
    state.read_chunks.store(put, std::memory_order_release);
    return RxCursor{&state, &ring, put, frames};
}

ssize_t take_frame(RxCursor& cursor, char* buf, size_t size, uint32_t* stamp) {
    const RxRing& ring = *cursor.ring;
    const uint64_t first = cursor.next;
    ChunkInfo info = unpack_info(info_at(ring, first));
    if (info.generation == static_cast<uint8_t>(generation_of(first) - 1)) return 0; // nothing new
    if (info.generation != generation_of(first)) return catch_up(cursor);

    size_t got = 0;
    for (uint64_t chunk = first;; ++chunk) {
        const RxChunk& slot = ring.chunks[chunk % kRingChunks];
        if (info.length != 0) {
            // The last chunk. A length beyond the payload is no card's: kept inside the chunk.
            const size_t len = std::min<size_t>(info.length, kChunkPayload);
            if (got + len > size) {
                consume(cursor, chunk + 1);
                return -EXANIC_RX_FRAME_TRUNCATED;
            }
            load_payload(buf + got, slot, len);
            got += len;
            // Copied while the producer may be overwriting: the chunk before the frame tells.
            std::atomic_thread_fence(std::memory_order_acquire);
            if (!chunk_before_intact(ring, first)) return catch_up(cursor);
            consume(cursor, chunk + 1);
            *stamp = info.stamp;
            if (info.status & kStatusErrorMask) return -static_cast<ssize_t>(info.status & kStatusErrorMask);
            return static_cast<ssize_t>(got);
        }
        if (got + kChunkPayload <= size) load_payload(buf + got, slot, kChunkPayload);
        got += kChunkPayload;
        // The card writes a frame's chunks one after another: the next one is on its way.
        const uint8_t expected = generation_of(chunk + 1);
        do info = unpack_info(info_at(ring, chunk + 1));
        while (info.generation == static_cast<uint8_t>(expected - 1));
        if (info.generation != expected) return catch_up(cursor);
    }
}

} // namespace vorn_sim
