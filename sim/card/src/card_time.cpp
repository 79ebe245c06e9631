// libexanic's time functions over the simulated card's clock.
#include "card_clock.h"
#include "exanic/time.h"
#include "export.h"
#include "handles.h"

namespace {

constexpr int64_t kNsPerSecond = 1'000'000'000;

} // namespace

VORN_SIM_EXPORT exanic_cycles_t exanic_expand_timestamp(exanic_t* exanic, exanic_cycles32_t timestamp) {
    if (exanic->tick_hz == 0) return 0;
    const int64_t now = vorn_sim::published_ticks(*exanic->mapping->dev);
    // The stamp's distance from now as a signed 32-bit step: stamps up to half the range old
    // (or ahead) land on the right lap of the low word.
    const int32_t step = static_cast<int32_t>(timestamp - static_cast<uint32_t>(now));
    return now + step;
}

VORN_SIM_EXPORT void exanic_cycles_to_timespec(exanic_t* exanic, exanic_cycles_t cycles, struct timespec* ts) {
    const int64_t hz = exanic->tick_hz;
    if (hz == 0) { // a card without a clock: no time rather than a division by zero
        ts->tv_sec = 0;
        ts->tv_nsec = 0;
        return;
    }
    ts->tv_sec = cycles / hz;
    ts->tv_nsec = cycles % hz * kNsPerSecond / hz;
}

VORN_SIM_EXPORT int64_t exanic_cycles_to_ns(exanic_t* exanic, exanic_cycles_t cycles) {
    timespec ts;
    exanic_cycles_to_timespec(exanic, cycles, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}
