#include "card_clock.h"

#include <time.h>

namespace vorn_sim {
namespace {

constexpr int64_t kNsPerSecond = 1'000'000'000;

int64_t realtime_ns() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

void publish(DeviceLayout& dev, int64_t ticks) {
    const uint64_t value = static_cast<uint64_t>(ticks);
    volatile uint32_t* regs = dev.card_registers;
    regs[kRegHwTimeHi] = static_cast<uint32_t>(value >> 32);
    regs[kRegHwTime] = static_cast<uint32_t>(value);
    dev.info.hw_time.store(value, std::memory_order_release);
}

} // namespace

int64_t ns_to_ticks(int64_t ns, uint32_t hz) {
    // Whole seconds and the fraction apart: ns * hz would overflow 64 bits.
    return ns / kNsPerSecond * hz + ns % kNsPerSecond * hz / kNsPerSecond;
}

void start_clock(DeviceLayout& dev) {
    volatile uint32_t* regs = dev.card_registers;
    regs[kRegClockHz] = VORN_SIM_CLOCK_HZ;
    regs[kRegCaps] = kCapHwTimeHi;
    publish(dev, ns_to_ticks(realtime_ns(), VORN_SIM_CLOCK_HZ));
}

uint32_t stamp_now(DeviceLayout& dev) {
    const int64_t ticks = ns_to_ticks(realtime_ns(), VORN_SIM_CLOCK_HZ);
    publish(dev, ticks);
    return static_cast<uint32_t>(ticks);
}

int64_t published_ticks(const DeviceLayout& dev) {
    const uint64_t info = dev.info.hw_time.load(std::memory_order_acquire);
    if (info != 0) return static_cast<int64_t>(info);
    const volatile uint32_t* regs = dev.card_registers;
    // The high word may step between the reads: a low word read after it took the new high
    // word if it is small, the old one otherwise.
    const uint32_t hi1 = regs[kRegHwTimeHi];
    const uint32_t lo = regs[kRegHwTime];
    const uint32_t hi2 = regs[kRegHwTimeHi];
    const uint32_t hi = (hi1 == hi2 || lo >= 0x80000000u) ? hi1 : hi2;
    return static_cast<int64_t>(static_cast<uint64_t>(hi) << 32 | lo);
}

} // namespace vorn_sim
