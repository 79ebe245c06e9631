// After warm-up the receive thread allocates nothing per packet: every allocation on the
// connector's thread is counted (through malloc, or AddressSanitizer's hooks when it owns
// malloc) between two drains.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>

#include "connector_harness.h"
#include "synthetic_session.h"

namespace {

std::atomic<unsigned long> g_connectorThread{0};
std::atomic<uint64_t> g_allocations{0};
std::atomic<uint64_t> g_delivered{0};
std::atomic<bool> g_probe{true};

void CountIfConnector() {
    if (static_cast<unsigned long>(pthread_self()) == g_connectorThread.load(std::memory_order_relaxed))
        g_allocations.fetch_add(1);
}

void OnV1(MarketDepthUpdate*) { g_delivered.fetch_add(1); }
void OnV2(VornCffexMdType*) {
    g_connectorThread.store(static_cast<unsigned long>(pthread_self()));
    g_delivered.fetch_add(1);
    if (g_probe.exchange(false)) { // proves the counter sees this thread
        void* volatile probe = malloc(16);
        free(probe);
    }
}

} // namespace

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*));
static void CountHook(const volatile void*, size_t) { CountIfConnector(); }
static void IgnoreFree(const volatile void*) {}
[[maybe_unused]] static const int g_hooked = __sanitizer_install_malloc_and_free_hooks(CountHook, IgnoreFree);
#else
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
__attribute__((visibility("default"))) void* malloc(size_t size) {
    CountIfConnector();
    return __libc_malloc(size);
}
__attribute__((visibility("default"))) void* calloc(size_t n, size_t size) {
    CountIfConnector();
    return __libc_calloc(n, size);
}
__attribute__((visibility("default"))) void* realloc(void* p, size_t size) {
    CountIfConnector();
    return __libc_realloc(p, size);
}
}
#endif

namespace {

using namespace vorn_test;

void ExpectNoAllocationPerPacket(bool encrypted) {
    vorn_sim::SessionConfig config;
    config.encrypted = encrypted;
    vorn_sim::SyntheticSession session(config);
    ASSERT_TRUE(WriteTodaySnapshot(session.Snapshot()));
    ConnectorRun run({{"insts", "all"}, {"options", "recv"}, {"exanic_cache_flag", "1"}});
    set_parse_data(OnV1);
    set_parse_data_version_2(OnV2);
    // Frames are made up front; every tenth pair arrives swapped, so the reorder list works too.
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < 3000; ++i) frames.push_back(session.NextFrame());
    for (size_t i = 0; i + 1 < frames.size(); i += 10) std::swap(frames[i], frames[i + 1]);
    ASSERT_EQ(0, run.Start());

    const size_t warmUp = 500;
    for (size_t i = 0; i < warmUp; ++i) run.Put(0, frames[i]);
    ASSERT_TRUE(run.Drain());
    ASSERT_NE(0u, g_connectorThread.load());
    ASSERT_GE(g_allocations.load(), 1u);
    const uint64_t before = g_allocations.load();
    for (size_t i = warmUp; i < frames.size(); ++i) run.Put(0, frames[i]);
    ASSERT_TRUE(run.Drain());
    EXPECT_EQ(before, g_allocations.load());
    EXPECT_EQ(2 * frames.size(), g_delivered.load());
    run.Stop();
}

TEST(SteadyState, NoAllocationPerPlainPacket) { ExpectNoAllocationPerPacket(false); }
TEST(SteadyState, NoAllocationPerEncryptedPacket) { ExpectNoAllocationPerPacket(true); }

} // namespace
