// The counters file: one plain struct in shared memory, written by the connector's receive
// thread and read by any process of the same user (vorn-stat, vorn-decode, the demo).
//
// Every field is a naturally aligned 64-bit word or a fixed text, so a reader maps the file
// and reads words with relaxed atomic loads. The writer is a single thread and never locks:
// it brackets each frame's changes with the `sequence` word (odd while a frame is being
// counted), which lets a reader take a consistent cut of `startup` and `values`. Histograms
// and per-instrument entries are read word by word.
//
// Compatibility: `layout_version` changes whenever a word changes meaning or place. New
// counters take words from the spare arrays without a new version (an older writer leaves
// them zero). A reader refuses any other version.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Vorn_R10 {

constexpr uint64_t kCountersMagic = 0x31524e524f56ULL; // "VORNR1" little-endian
constexpr uint32_t kCountersLayoutVersion = 1;

// Default folder of the counters files, and their names: vorn_r10.<name>.<device>.counters,
// where the name is the program's (or the `counters_name` key's); a second live connector of
// the same name and device adds its process id: vorn_r10.<name>.<device>.<pid>.counters.
constexpr const char* kCountersDefaultFolder = "/dev/shm";
constexpr size_t kCountersNameMax = 31; // characters of a counters name
constexpr const char* kCountersFilePrefix = "vorn_r10.";
constexpr const char* kCountersFileSuffix = ".counters";

enum ECountersRunState : uint64_t {
    COUNTERS_STARTING = 0,     // start-up in progress
    COUNTERS_RUNNING = 1,      // start-up succeeded, the receive loop polls
    COUNTERS_ENDED = 2,        // the connector ended normally
    COUNTERS_START_FAILED = 3, // start-up failed; `startup.steps` shows how far it got
};

// Where the connector takes its frames from (`SStartupState::transport`).
enum ETransport : uint64_t {
    TRANSPORT_CARD = 0,   // the ExaNIC's receive rings
    TRANSPORT_SOCKET = 1, // kernel UDP sockets
};

// Start-up steps reached, as bits of `SStartupState::steps`.
enum EStartupStep : uint64_t {
    STARTUP_CONFIG_READ = 1,
    STARTUP_SNAPSHOT_LOADED = 2,
    STARTUP_CARD_OPENED = 4,
    STARTUP_VERSION_CHECKED = 8,
    STARTUP_FPGA_READY = 16,
};

// What start-up did; written before the receive loop starts and at exit.
struct SStartupState {
    uint64_t run_state;        // ECountersRunState
    uint64_t steps;            // EStartupStep bits
    uint64_t work_mode;        // 1 software decoding, 2 hardware decoding, 0 not chosen yet
    int64_t trade_date;        // YYYYMMDD from the snapshot, 0 before it is loaded
    uint64_t firmware_version; // the card's firmware compile date register, 0 before the handshake
    uint64_t version_check;    // the firmware's verdict register on our software version
    int64_t ended_realtime_ns; // CLOCK_REALTIME when the run ended, 0 while running
    uint64_t transport;        // ETransport: where frames come from
    uint64_t spare[8];
    char snapshot_file[256]; // path of the snapshot that was loaded
    char software_version[32];
};

// Totals since start-up. Frames are what the feed's channel delivered in software mode: each
// is counted in frames_received and then once as of the feed, dropped, or a receive error.
struct SCounterValues {
    uint64_t frames_received;   // receive calls that returned a frame or an error
    uint64_t frames_feed;       // frames from one of the feed's channels
    uint64_t dropped_foreign;   // IPv4/UDP from another source or port
    uint64_t dropped_not_udp;   // not IPv4, not UDP, or a fragment
    uint64_t dropped_too_short; // shorter than its headers claim
    uint64_t rx_overrun;        // receive errors: the reader was lapped by the card
    uint64_t rx_truncated;      // receive errors: frame larger than the buffer
    uint64_t rx_faulty;         // receive errors: frame failed its check
    uint64_t packets_parsed;    // feed packets parsed (not stale)
    uint64_t packets_stale;     // feed packets at or below the last sequence number
    // A gap is a wait for missing packets: it opens when a packet arrives ahead of sequence
    // while none waits (or some still wait after a gap was filled), and closes filled or given
    // up; detected = filled + given up + (1 while packets wait).
    uint64_t gaps_detected;
    uint64_t gaps_filled;        // closed by the late packets
    uint64_t gaps_given_up;      // reorder list full, or no reordering configured
    uint64_t reorder_depth;      // packets waiting in the reorder list now
    uint64_t reorder_high_water; // most packets ever waiting at once
    uint64_t updates;            // updates handed to the application (each once)
    uint64_t updates_v1;         // version-1 callback calls
    uint64_t updates_v2;         // version-2 callback calls
    uint64_t updates_untrusted;  // of `updates`, those with trust flag 0
    uint64_t unknown_fields;     // fields of an id the decoder does not know
    uint64_t parse_errors;       // payloads cut short or inconsistent
    uint64_t hw_records;         // hardware mode: decoded records from channel 1
    uint64_t hw_loss_events;     // hardware mode: lost-message events from channel 0
    uint64_t last_frame_tsc;     // clock ticks (see SCountersHeader) of a recent frame, 0 before any
    uint64_t wire_clock_unsynced; // sampled frames whose wire time was not plausible host time
    uint64_t kernel_drops;        // socket transport: datagrams the kernel dropped (receive buffer full)
    // encrypted fields not applied: the code segment could not run
    uint64_t fields_undecryptable;
    uint64_t spare[21];
};

// Log-linear buckets: values below 16 ticks have a bucket each; above, every power of two is
// split into 16 equal buckets (a bucket is at most 1/16 of its value wide).
constexpr uint32_t kHistogramSubBuckets = 16;
constexpr uint32_t kHistogramBuckets = 976; // covers all 64-bit values
constexpr uint32_t kHistogramSlots = 2;

// Histogram slots by meaning. Slot 0: the library's own time per frame, from the receive
// call's return to the last callback's return. Slot 1 is reserved for wire-to-callback
// (the card's receive timestamp to the last callback's return) where the card's clock is
// synchronised to the host; unused slots have an empty name and no samples.
enum EHistogramSlot : uint32_t { HISTOGRAM_RECV_TO_CALLBACK = 0, HISTOGRAM_WIRE_TO_CALLBACK = 1 };

struct SLatencyHistogram {
    char name[32];         // e.g. "recv_to_callback"; empty when the slot is unused
    uint64_t sample_every; // one frame in this many is measured
    uint64_t count;        // samples taken
    uint64_t sum_ticks;
    uint64_t max_ticks;
    uint64_t spare[6];
    uint64_t buckets[kHistogramBuckets];
};

// One selected instrument.
struct SInstrumentCounters {
    char instrument_id[32];
    int64_t inst_id;         // the exchange's instrument number
    uint64_t updates;        // updates delivered for it
    uint64_t last_update_ms; // exchange time of its last update, ms since midnight
    uint64_t last_trust;     // trust flag of its last update
};

// The file: this header, then `instrument_count` SInstrumentCounters at `instruments_offset`.
struct SCountersHeader {
    uint64_t magic;          // kCountersMagic
    uint32_t layout_version; // kCountersLayoutVersion
    uint32_t header_bytes;   // sizeof(SCountersHeader)
    uint64_t total_bytes;    // header and instruments; grows once, when the snapshot is loaded
    int64_t pid;
    uint64_t process_start; // the process's start time in clock ticks since boot (tells a reused pid apart)
    char device[64];
    // The clock of latencies and frame times: ticks per second, and one (tick, CLOCK_REALTIME)
    // pair taken together at creation, from which any tick converts to wall-clock time.
    uint64_t ticks_per_second;
    uint64_t anchor_ticks;
    int64_t anchor_realtime_ns;
    uint64_t instrument_count;
    uint64_t instruments_offset;
    char name[32];         // the connector's name (program or `counters_name`), part of the file name
    uint64_t pid_in_name;  // 1 when the file name carries the process id (another live one had the name)
    uint64_t spare[1];
    uint64_t sequence; // odd while the writer changes startup or values
    uint64_t pad[7];   // keeps the sequence word on its own cache line
    SStartupState startup;
    SCounterValues values;
    SLatencyHistogram histograms[kHistogramSlots];
};

static_assert(sizeof(SStartupState) % 8 == 0, "64-bit words");
static_assert(sizeof(SCounterValues) % 8 == 0, "64-bit words");
static_assert(sizeof(SLatencyHistogram) % 8 == 0, "64-bit words");
static_assert(sizeof(SInstrumentCounters) == 64, "one cache line per instrument");
static_assert(offsetof(SCountersHeader, sequence) % 64 == 0, "sequence word starts a cache line");
static_assert(sizeof(SCountersHeader) % 64 == 0, "instruments start on a cache line");

// Bucket of a value, and the smallest value of a bucket.
constexpr uint32_t HistogramBucketOf(uint64_t value) {
    if (value < kHistogramSubBuckets) return static_cast<uint32_t>(value);
    const uint32_t top = 63u - static_cast<uint32_t>(__builtin_clzll(value)); // >= 4
    return (top - 3u) * kHistogramSubBuckets + static_cast<uint32_t>((value >> (top - 4u)) & 15u);
}

constexpr uint64_t HistogramBucketLow(uint32_t bucket) {
    if (bucket < kHistogramSubBuckets) return bucket;
    const uint32_t top = bucket / kHistogramSubBuckets + 3u;
    return (kHistogramSubBuckets + bucket % kHistogramSubBuckets) * (uint64_t{1} << (top - 4u));
}

static_assert(HistogramBucketOf(~uint64_t{0}) == kHistogramBuckets - 1, "buckets cover 64 bits");

} // namespace Vorn_R10
