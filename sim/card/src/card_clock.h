// The simulated card's clock: ticks at VORN_SIM_CLOCK_HZ since the Unix epoch, following the
// host's CLOCK_REALTIME, kept in the registers and info page where the card's is read.
#ifndef VORN_SIM_CARD_CLOCK_H
#define VORN_SIM_CARD_CLOCK_H

#include <cstdint>

#include "layout.h"

namespace vorn_sim {

// Host realtime nanoseconds as card ticks at `hz`.
int64_t ns_to_ticks(int64_t ns, uint32_t hz);

// Presets the clock's registers (tick rate, capability) and the current time on a new device.
void start_clock(DeviceLayout& dev);

// Reads the clock, publishes it (info page, time registers) and returns its low 32 bits: the
// stamp of a frame put now.
uint32_t stamp_now(DeviceLayout& dev);

// The card's clock as its readers find it: the info page's time, or the registers' when the
// info page holds none.
int64_t published_ticks(const DeviceLayout& dev);

} // namespace vorn_sim

#endif
