// A long session with loss, duplicates and reordering within and beyond the reorder capacity,
// checked update by update against a model of the receive path (sequence, volume, trust). After
// warm-up the receive thread allocates nothing (counted through malloc; not under ASan).
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>

#include "connector_harness.h"
#include "feed_encoder.h"
#include "synthetic_session.h"

static std::atomic<unsigned long> g_countedThread{0};
static std::atomic<uint64_t> g_allocations{0};

#ifndef __SANITIZE_ADDRESS__
static void CountIfCounted() {
    if (pthread_self() == g_countedThread.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
}
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
__attribute__((visibility("default"))) void* malloc(size_t size) { return CountIfCounted(), __libc_malloc(size); }
__attribute__((visibility("default"))) void* calloc(size_t n, size_t size) { return CountIfCounted(), __libc_calloc(n, size); }
__attribute__((visibility("default"))) void* realloc(void* p, size_t size) { return CountIfCounted(), __libc_realloc(p, size); }
}
#endif

namespace {

using namespace vorn_test;

#ifdef __SANITIZE_ADDRESS__
constexpr uint32_t kPackets = 200000;
constexpr uint64_t kReceiveThreadAllocations = 0; // not counted
#else
constexpr uint32_t kPackets = 1050000;
constexpr uint64_t kReceiveThreadAllocations = 1; // the probe
#endif
constexpr int kCacheSize = 8, kInstruments = 4;
constexpr int32_t kFirstKey = 1001; // the synthetic session's first instrument
constexpr uint64_t kWarmUp = 10000; // deliveries before allocations are counted
constexpr uint32_t kAllLevels = 31;

uint64_t Mix(uint64_t x) { // splitmix64
    x += 0x9E3779B97F4A7C15ULL, x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL, x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// What packet `seqno` carries: its instrument and which of the five depth-level fields.
int32_t InstrumentOf(uint32_t seqno) { return kFirstKey + static_cast<int32_t>(Mix(seqno) % kInstruments); }
uint32_t LevelsOf(uint32_t seqno) { return static_cast<uint32_t>(Mix(seqno ^ 0xABCDEF) >> 7) & kAllLevels; }

std::vector<uint8_t> PacketOf(uint32_t seqno, const encrypt_code_segment_field& segment) {
    const uint32_t levels = LevelsOf(seqno);
    const int64_t tick = 100 + seqno % 50;
    vorn_sim::PacketBuilder packet(seqno);
    packet.Encrypted(seqno % 2 == 0, segment.arg1);
    packet.UpdateTime(InstrumentOf(seqno), 34200 + (seqno / 1000) % 20000, seqno % 1000);
    packet.LastMatch(tick, static_cast<int64_t>(seqno), 1.0e6, 50);
    if (levels & 1) packet.Best(tick - 1, 3, tick + 1, 4);
    if (levels & 2) packet.Bid23(tick - 2, 5, tick - 3, 6);
    if (levels & 4) packet.Ask23(tick + 2, 5, tick + 3, 6);
    if (levels & 8) packet.Bid45(tick - 4, 7, tick - 5, 8);
    if (levels & 16) packet.Ask45(tick + 4, 7, tick + 5, 8);
    return packet.Bytes();
}

// Arrival order: each packet lost (alone or in a burst), delayed 1..20 places, sent twice, or in order.
std::vector<uint32_t> ArrivalOrder(uint32_t packets) {
    std::vector<std::pair<uint64_t, uint32_t>> keyed;
    uint64_t rng = 12345;
    for (uint32_t seqno = 1; seqno <= packets; ++seqno) {
        const uint64_t r = Mix(rng++) % 10000, place = uint64_t(seqno) * 4;
        if (r < 5) { seqno += static_cast<uint32_t>(Mix(rng++) % 30); continue; } // a burst of losses
        if (r < 35) continue; // a single loss
        keyed.emplace_back(r < 335 ? place + 4 * (1 + Mix(rng++) % 20) + 1 : place, seqno);
        if (r >= 335 && r < 435) keyed.emplace_back(place + 4 * (Mix(rng++) % 20) + 2, seqno);
    }
    std::stable_sort(keyed.begin(), keyed.end());
    std::vector<uint32_t> order;
    for (const auto& entry : keyed) order.push_back(entry.second);
    return order;
}

struct Expected {
    std::vector<uint32_t> seqno;  // delivered packets, in delivery order
    std::vector<uint8_t> trusted; // trust flag of each delivery
    uint64_t gapsGivenUp = 0, arrivedNotDelivered = 0;
};

// Buffered: the next packet (or an older one) is parsed and releases what follows it; an early one
// waits in order, or, finding exanic_cache_size waiting, gives the gap up (every mask cleared) and
// flushes the list. Direct: each packet is parsed as it comes, one beyond the next gives up.
Expected ModelDeliveries(const std::vector<uint32_t>& arrivals, bool buffered) {
    Expected out;
    std::map<int32_t, uint32_t> mask;
    for (int32_t key = kFirstKey; key < kFirstKey + kInstruments; ++key) mask[key] = kAllLevels;
    uint32_t cur = 0;
    std::vector<uint32_t> queue; // sorted, equal seqnos in arrival order
    const auto parse = [&](uint32_t seqno) {
        if (seqno <= cur) return;
        cur = seqno;
        const uint32_t m = mask[InstrumentOf(seqno)] |= LevelsOf(seqno);
        out.seqno.push_back(seqno);
        out.trusted.push_back(m == kAllLevels ? 1 : 0);
    };
    const auto giveUp = [&] { ++out.gapsGivenUp; for (auto& entry : mask) entry.second = 0; };
    for (uint32_t seqno : arrivals) {
        if (!buffered || seqno <= cur + 1) {
            if (seqno > cur + 1) giveUp();
            parse(seqno);
            for (; buffered && !queue.empty() && queue.front() <= cur + 1; queue.erase(queue.begin())) parse(queue.front());
            continue;
        }
        const bool full = queue.size() >= static_cast<size_t>(kCacheSize);
        queue.insert(std::upper_bound(queue.begin(), queue.end(), seqno), seqno);
        if (!full) continue;
        giveUp();
        for (uint32_t waiting : queue) parse(waiting);
        queue.clear();
    }
    out.arrivedNotDelivered = std::set<uint32_t>(arrivals.begin(), arrivals.end()).size() - out.seqno.size();
    return out;
}

// Checked on the receive thread, inside the callbacks.
const Expected* g_expected = nullptr;
std::atomic<uint64_t> g_delivered{0}, g_mismatches{0}, g_v1Mismatches{0};
std::atomic<int64_t> g_firstMismatch{-1};
int32_t g_lastVolume = 0;

void OnVersion2(VornCffexMdType* record) {
    const uint64_t index = g_delivered.load(std::memory_order_relaxed);
    const std::vector<uint32_t>& seqnos = g_expected->seqno;
    const bool match = index < seqnos.size() && record->volume == static_cast<int32_t>(seqnos[index]) &&
                       record->trust_flag == g_expected->trusted[index] && record->inst_no == InstrumentOf(seqnos[index]) &&
                       record->update_msec == static_cast<int32_t>(seqnos[index] % 1000);
    if (!match && g_mismatches.fetch_add(1) == 0) g_firstMismatch.store(static_cast<int64_t>(index));
    if (index == kWarmUp) { // from here on this thread is counted; the probe proves the counter sees it
        g_countedThread.store(static_cast<unsigned long>(pthread_self()));
        void* volatile probe = malloc(16);
        free(probe);
    }
    g_lastVolume = record->volume, g_delivered.store(index + 1, std::memory_order_release);
}

void OnVersion1(MarketDepthUpdate* record) { g_v1Mismatches += record->Volume != g_lastVolume; }

class Soak : public ::testing::TestWithParam<bool> {};

TEST_P(Soak, DeliversEveryNewerPacketOnceWithTrustAfterLoss) {
    const bool buffered = GetParam();
    vorn_sim::SessionConfig config; // its snapshot and frames: the sample cipher, sequence numbers from 1
    config.instruments.resize(kInstruments);
    const vorn_sim::SyntheticSession session(config);
    const std::vector<uint32_t> arrivals = ArrivalOrder(kPackets);
    const Expected expected = ModelDeliveries(arrivals, buffered);
    ASSERT_GT(expected.gapsGivenUp, kPackets / 2000) << "the session must give gaps up";
    ASSERT_GT(expected.arrivedNotDelivered, 0u) << "some packets must arrive after their gap was given up";
    ASSERT_GT(expected.seqno.size(), kPackets * 9 / 10);
    g_expected = &expected, g_delivered = g_mismatches = g_v1Mismatches = g_allocations = g_countedThread = 0;

    ASSERT_TRUE(WriteTodaySnapshot(session.Snapshot()));
    ConnectorRun run({{"insts", "all"}, {"options", "recv"}, {"exanic_cache_flag", buffered ? "1" : "0"},
                      {"exanic_cache_size", std::to_string(kCacheSize)}, {"log_level", "3"}});
    set_parse_data(OnVersion1), set_parse_data_version_2(OnVersion2);
    ASSERT_EQ(0, run.Start()) << run.Stdout();
    for (uint32_t seqno : arrivals) run.Put(0, session.Frame(PacketOf(seqno, session.CodeSegment())));
    const bool drained = run.Drain(std::chrono::seconds(60));
    const uint64_t delivered = g_delivered.load(std::memory_order_acquire), allocations = g_allocations.load();
    EXPECT_EQ(0, run.Stop());
    ASSERT_TRUE(drained) << run.Stdout();
    EXPECT_EQ(expected.seqno.size(), delivered);
    const int64_t first = g_firstMismatch.load();
    EXPECT_EQ(0u, g_mismatches.load()) << "first at delivery " << first << " (packet " << (first >= 0 ? expected.seqno[first] : 0) << ")";
    EXPECT_EQ(0u, g_v1Mismatches.load());
    EXPECT_EQ(kReceiveThreadAllocations, allocations) << "allocations on the receive thread after warm-up";
}

INSTANTIATE_TEST_SUITE_P(Path, Soak, ::testing::Values(true, false), [](const auto& p) { return p.param ? "Buffered" : "Direct"; });

} // namespace
