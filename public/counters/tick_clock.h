// The clock of latencies and frame times: the CPU's time-stamp counter on x86-64 (a few
// cycles, no system call), CLOCK_MONOTONIC nanoseconds elsewhere.
#pragma once

#include <cstdint>
#include <ctime>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace Vorn_R10 {

inline uint64_t ReadTicks() {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
#endif
}

// Ticks per second of ReadTicks, measured against CLOCK_MONOTONIC on the first call of the
// process (which sleeps about 5 ms on x86-64). Never 0.
uint64_t CalibrateTicksPerSecond();

// CLOCK_REALTIME in nanoseconds since the epoch.
int64_t RealtimeNs();

} // namespace Vorn_R10
