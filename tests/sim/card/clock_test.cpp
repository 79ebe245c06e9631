// The simulated card's clock: frames are stamped in card ticks that follow the host's realtime
// clock, and the time functions widen and convert them.
#include <time.h>

#include <exanic/time.h>

#include "card_file.h"
#include "tick_clock.h"

namespace {

using Vorn_R10::RealtimeNs;

class Clock : public SimCardTest<1> {
protected:
    // Puts a frame on port 1 and receives it; its stamp.
    exanic_cycles32_t PutAndReceive() {
        const char frame[60] = {1, 2, 3};
        EXPECT_EQ(0, vorn_sim_put_frame(card, 1, frame, sizeof frame, VORN_SIM_WAIT, 0));
        char buf[128];
        exanic_cycles32_t stamp = 0;
        EXPECT_EQ(60, exanic_receive_frame(rx, buf, sizeof buf, &stamp));
        return stamp;
    }
};

// The stamp widened and converted lies between the host's time before and after the put (less
// one tick of rounding), and so does the put time the card library reports for the frame.
TEST_F(Clock, StampsFollowTheHostsRealtimeClock) {
    const int64_t tick_ns = 1'000'000'000ll / VORN_SIM_CLOCK_HZ + 1;
    for (int i = 0; i < 3; ++i) {
        const int64_t before = RealtimeNs();
        const exanic_cycles32_t stamp = PutAndReceive();
        const int64_t after = RealtimeNs();
        const exanic_cycles_t cycles = exanic_expand_timestamp(handle, stamp);
        EXPECT_EQ(stamp, static_cast<exanic_cycles32_t>(cycles));
        const int64_t ns = exanic_cycles_to_ns(handle, cycles), now = static_cast<int64_t>(vorn_sim_now_ns());
        EXPECT_TRUE(ns >= before - tick_ns && ns <= after) << before << " " << ns << " " << after;
        EXPECT_EQ(static_cast<uint64_t>(ns), vorn_sim_last_rx_put_ns(1));
        EXPECT_TRUE(now >= after && now - after <= 1'000'000'000ll) << now;
        usleep(2000);
    }
}

// A stamp is widened to the lap of the low word nearest the card's clock: up to half the
// 32-bit range before or after it.
TEST_F(Clock, WidensToTheNearestLap) {
    const exanic_cycles32_t stamp = PutAndReceive();
    const exanic_cycles_t now = exanic_expand_timestamp(handle, stamp);
    for (int64_t step : {1ll, 1000ll, 0x7fffffffll, -1ll, -1000ll, -0x80000000ll})
        EXPECT_EQ(now + step, exanic_expand_timestamp(handle, static_cast<exanic_cycles32_t>(stamp + step))) << step;
}

// Ticks to time at the card's rate: whole seconds, and fractions rounded down to the ns.
TEST_F(Clock, ConvertsTicksAtTheCardsRate) {
    const int64_t hz = VORN_SIM_CLOCK_HZ; // 161132812: even, so hz / 2 ticks is exactly half a second
    timespec ts{};
    exanic_cycles_to_timespec(handle, 1'700'000'000ll * hz + hz / 2, &ts);
    EXPECT_EQ(1'700'000'000, ts.tv_sec);
    EXPECT_EQ(500'000'000, ts.tv_nsec);
    EXPECT_EQ(6, exanic_cycles_to_ns(handle, 1));             // 6.2 ns
    EXPECT_EQ(1'000'000'000ll - 7, exanic_cycles_to_ns(handle, hz - 1)); // 999999993.8 ns
    EXPECT_EQ(2'000'000'000ll, exanic_cycles_to_ns(handle, 2 * hz));
}

} // namespace
