#include "tick_clock.h"

namespace Vorn_R10 {

namespace {

int64_t MonotonicNs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

uint64_t MeasureTicksPerSecond() {
#if defined(__x86_64__) || defined(__i386__)
    const int64_t ns0 = MonotonicNs();
    const uint64_t ticks0 = ReadTicks();
    // 5 ms: each side's two reads lie well under a microsecond apart, so the rate is good to
    // about 1e-4, ample for latency buckets, and every start-up waits only this long.
    const struct timespec pause = {0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    const int64_t ns1 = MonotonicNs();
    const uint64_t ticks1 = ReadTicks();
    if (ns1 <= ns0 || ticks1 <= ticks0) return 1000000000u;
    const long double hz = static_cast<long double>(ticks1 - ticks0) * 1e9L / static_cast<long double>(ns1 - ns0);
    return hz >= 1 ? static_cast<uint64_t>(hz) : 1000000000u;
#else
    return 1000000000u;
#endif
}

} // namespace

uint64_t CalibrateTicksPerSecond() {
    static const uint64_t ticksPerSecond = MeasureTicksPerSecond();
    return ticksPerSecond;
}

int64_t RealtimeNs() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace Vorn_R10
