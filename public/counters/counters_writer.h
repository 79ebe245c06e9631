// The connector's side of the counters file: created at start-up, written by the receive
// thread alone with relaxed stores (no lock, no system call), marked ended at exit.
//
// Until Create succeeds, and when it fails, the counters live in private memory of the same
// layout, so every hook always has somewhere to write. Start-up functions (Create,
// SetInstruments, the Set* and Startup* calls) run on the connector's thread before the
// receive loop; the inline hooks below run on the receive thread.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "counters_layout.h"
#include "tick_clock.h"

// ThreadSanitizer sees no inline assembly: under it the counters are bumped with atomic stores.
#if defined(__SANITIZE_THREAD__)
#define VORN_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VORN_THREAD_SANITIZER 1
#endif
#endif
#ifndef VORN_THREAD_SANITIZER
#define VORN_THREAD_SANITIZER 0
#endif

namespace Vorn_R10 {

// Drop reasons of a frame on the feed's receive channel, each one counter.
enum EFrameDrop : uint32_t { DROP_FOREIGN, DROP_NOT_UDP, DROP_TOO_SHORT };
// Receive errors by kind, each one counter.
enum EReceiveError : uint32_t { RX_OVERRUN, RX_TRUNCATED, RX_FAULTY };

// A selected instrument for SetInstruments.
struct SInstrumentName {
    std::string instrument_id;
    int64_t inst_id;
};

class CCountersWriter {
public:
    // Maps private counters (cannot fail short of memory exhaustion, which aborts).
    CCountersWriter();
    // Marks the run ended unless start-up failed, and unmaps; the file stays for readers
    // (a file named with the process id is removed).
    ~CCountersWriter();
    CCountersWriter(const CCountersWriter&) = delete;
    CCountersWriter& operator=(const CCountersWriter&) = delete;

    // Moves the counters into the file `folder`/vorn_r10.<name>.<device>.counters (mode 0640),
    // taking over the file a predecessor of the same name and device left (ended or died).
    // The file is locked while this writer lives (LockCountersFile); when another live writer holds it, or it is
    // no counters file of this layout version (left alone), the counters go to
    // vorn_r10.<name>.<device>.<pid>.counters instead, removed again by the destructor, and
    // `warning` says so. False, with the reason in `error`, when no file can be made; the
    // counters then stay private and keep counting.
    bool Create(const std::string& folder, const std::string& name, const std::string& device, std::string& error,
                std::string& warning);
    // The file's path; empty while the counters are private.
    const std::string& Path() const { return path_; }

    // Start-up state.
    void StartupStep(EStartupStep step);
    void SetRunState(ECountersRunState state);
    void SetSnapshot(const std::string& file, int64_t tradeDate);
    void SetWorkMode(uint64_t workMode);
    void SetVersions(const char* software, uint64_t firmware, uint64_t verdict);
    void SetTransport(ETransport transport);
    // Names the receive-to-callback histogram (slot 1) for where FrameEnd's times come from: a
    // card's receive stamps (kWireToCallbackName) or the kernel's (kKernelToCallbackName).
    void EnableWireToCallback(const char* name = kWireToCallbackName);
    // Socket transport: the smallest receive buffer a socket was granted.
    void SetSocketReceiveBuffer(uint64_t bytes);
    // One latency sample every `every` frames that deliver updates; 0 switches sampling off.
    void SetLatencySampling(uint64_t every);
    // Gives each selected instrument an entry (grows the file, its pages reserved first). False
    // with `error` when the file cannot grow; the entries are then missing and updates of them are not counted
    // per instrument.
    bool SetInstruments(const std::vector<SInstrumentName>& instruments, std::string& error);
    // The header, for tests and tools in the same process.
    const SCountersHeader& Header() const { return *header_; }

    // --- receive-thread hooks: each a few plain stores ---

    // A poll of the data channel found nothing: the next frame's time is taken.
    void Idle() { idle_ = true; }
    // A receive call returned a frame or an error: opens the frame's changes (hidden from
    // readers' consistent cut until FrameEnd), and starts a latency sample when one is due.
    void FrameBegin() {
        OpenChanges();
        if (--countdown_ == 0) StartSample();
    }
    // True between FrameBegin and FrameEnd of a frame whose latency is measured: only such a
    // frame needs its wire time (FrameEnd's argument).
    bool Sampling() const { return sampleStart_ != 0; }
    // The frame's processing (callbacks included) is over. The time of a frame that follows
    // an idle poll is taken here, after the callbacks, so that it adds nothing to their latency.
    // `wireNs`: CLOCK_REALTIME ns the frame reached the wire (0 unknown), for a measured frame.
    void FrameEnd(int64_t wireNs = 0) {
        if (sampleStart_)
            EndSample(wireNs);
        else if (idle_)
            TakeFrameTime();
        CloseChanges();
    }
    void FrameReceived() { Bump(values_->frames_received); }
    void FrameOfFeed() { Bump(values_->frames_feed); }
    void FrameDropped(EFrameDrop why) {
        Bump(why == DROP_FOREIGN   ? values_->dropped_foreign
             : why == DROP_NOT_UDP ? values_->dropped_not_udp
                                   : values_->dropped_too_short);
    }
    void ReceiveError(EReceiveError kind) {
        Bump(kind == RX_OVERRUN     ? values_->rx_overrun
             : kind == RX_TRUNCATED ? values_->rx_truncated
                                    : values_->rx_faulty);
    }
    void PacketParsed() { Bump(values_->packets_parsed); }
    void PacketStale() { Bump(values_->packets_stale); }
    void GapDetected() { Bump(values_->gaps_detected); }
    void GapFilled() { Bump(values_->gaps_filled); }
    void GapGivenUp() { Bump(values_->gaps_given_up); }
    // A gap seen and given up at once (no reorder list).
    void GapSkipped() {
        Bump(values_->gaps_detected);
        Bump(values_->gaps_given_up);
    }
    void ReorderDepth(uint64_t depth) {
        Store(values_->reorder_depth, depth);
        if (depth > values_->reorder_high_water) Store(values_->reorder_high_water, depth);
    }
    void UnknownField() { Bump(values_->unknown_fields); }
    void FieldUndecryptable() { Bump(values_->fields_undecryptable); }
    void ParseError() { Bump(values_->parse_errors); }
    void HardwareRecord() { Bump(values_->hw_records); }
    void HardwareLossEvent() { Bump(values_->hw_loss_events); }
    void KernelDrops(uint64_t datagrams) { Store(values_->kernel_drops, values_->kernel_drops + datagrams); }
    // A socket's receive call failed with `errnum`: counted in total and in its errno's slot.
    void SocketError(int errnum) {
        Bump(values_->socket_errors);
        for (unsigned i = 0; i < kSocketErrnoSlots; ++i) {
            const uint64_t slot = values_->socket_error_errno[i];
            if (slot != 0 && slot != static_cast<uint64_t>(errnum)) continue;
            if (slot == 0) Store(values_->socket_error_errno[i], static_cast<uint64_t>(errnum));
            Bump(values_->socket_error_count[i]);
            return;
        }
    }
    // One update handed to the application through the callbacks flagged.
    void Delivered(int64_t instId, uint64_t updateMs, int64_t trust, bool v1, bool v2) {
        DeliveredTo(Entry(instId), updateMs, trust, v1, v2);
    }
    // The same with the instrument's entry (null: not selected) looked up by the caller, who
    // may keep it while EntriesGeneration() stays the same.
    void DeliveredTo(SInstrumentCounters* entry, uint64_t updateMs, int64_t trust, bool v1, bool v2) {
        Bump(values_->updates);
        if (v1) Bump(values_->updates_v1);
        if (v2) Bump(values_->updates_v2);
        if (trust != 1) Bump(values_->updates_untrusted);
        if (entry) {
            Bump(entry->updates);
            Store(entry->last_update_ms, updateMs);
            Store(entry->last_trust, static_cast<uint64_t>(trust));
        }
    }
    // The entry of an instrument number, null when it is not selected.
    SInstrumentCounters* Entry(int64_t instId) {
        if (static_cast<uint64_t>(instId) < denseIndex_.size()) {
            const uint32_t slot = denseIndex_[static_cast<size_t>(instId)];
            return slot ? instruments_ + slot - 1 : nullptr;
        }
        return SparseEntry(instId);
    }
    // Changes whenever entries move or are given anew (never 0): an entry kept from an older
    // generation must be looked up again.
    uint64_t EntriesGeneration() const { return entriesGeneration_; }

private:
    static void Store(uint64_t& word, uint64_t value) { __atomic_store_n(&word, value, __ATOMIC_RELAXED); }
    // The sequence word turns odd before the changes it covers and even after them. Only this
    // thread writes it, so it is bumped in place.
    void OpenChanges() {
        Bump(header_->sequence);
        __atomic_thread_fence(__ATOMIC_RELEASE); // the odd value is stored before the changes
    }
    void CloseChanges() {
        __atomic_thread_fence(__ATOMIC_RELEASE); // the changes are stored before the even value
        Bump(header_->sequence);
    }
    // Single writer, no locked instruction. On x86-64 one add to memory: its store is one
    // aligned 8-byte store, which a reader sees whole, and it takes one instruction instead of
    // the load, add and store that an atomic store of word + 1 compiles to.
    static void Bump(uint64_t& word) {
#if defined(__x86_64__) && !VORN_THREAD_SANITIZER
        asm volatile("addq $1, %0" : "+m"(word));
#else
        Store(word, word + 1);
#endif
    }

    void StartSample() {
        countdown_ = sampleEvery_;
        sampleStart_ = ReadTicks();
        sampleUpdates_ = values_->updates;
        idle_ = false;
        Store(values_->last_frame_tsc, sampleStart_);
    }
    void TakeFrameTime() {
        idle_ = false;
        Store(values_->last_frame_tsc, ReadTicks());
    }
    // Records the sample when the frame delivered updates; otherwise the next frame is measured.
    void EndSample(int64_t wireNs);
    void AddSample(SLatencyHistogram& h, uint64_t ticks);
    SInstrumentCounters* SparseEntry(int64_t instId);
    // Start-up writes bracketed like a frame, so readers never see half a text.
    void BeginStartupWrite();
    void EndStartupWrite();
    bool Remap(uint64_t bytes, std::string& error);
    // Opens and locks `path` for takeover; -1 when another live writer holds it (`busy`) or it
    // cannot be opened (`error`).
    static int LockFile(const std::string& path, bool& busy, std::string& error);
    // Creates and locks a temporary file beside `path` (its name in `temporary`); -1 with `error`.
    static int MakeLockedTemporary(const std::string& path, std::string& temporary, std::string& error);
    // Fills a new file beside `path` with the counters (its pages reserved first) and renames it
    // over `path`; the descriptor of the new file, which holds its lock; -1 with `error`.
    int Publish(const std::string& path, std::string& error);
    void Rebind();

    SCountersHeader* header_ = nullptr;
    SCounterValues* values_ = nullptr;
    SInstrumentCounters* instruments_ = nullptr;
    uint64_t mappedBytes_ = 0;
    int fd_ = -1;
    std::string path_;
    bool removeAtExit_ = false;
    uint64_t sampleEvery_ = 1;
    uint64_t countdown_ = 1;
    uint64_t sampleStart_ = 0;
    uint64_t sampleUpdates_ = 0;
    bool idle_ = true;
    uint64_t entriesGeneration_ = 1;
    // Instrument number -> entry + 1 (0: not selected), dense for small numbers.
    std::vector<uint32_t> denseIndex_;
    std::unordered_map<int64_t, uint32_t> sparseIndex_;
};

} // namespace Vorn_R10
