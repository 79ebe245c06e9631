// The simulated card's receive ring in the card's chunk format, read by our libexanic
// functions: what the connector relies on (whole frames under a lapping producer, lossless
// waiting, the lost and skipped counts). Sizes and error codes are held to the vendor's
// reader by the differential test of tests/vendor.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "card_file.h"

namespace {

// A frame of `len` bytes (at least 8): its number, then bytes derived from a hash of the
// number, so frames a ring lap apart differ everywhere.
std::vector<char> NumberedFrame(uint64_t number, size_t len) {
    std::vector<char> frame(len);
    memcpy(frame.data(), &number, sizeof number);
    const uint32_t hash = static_cast<uint32_t>(number * 2654435761u);
    for (size_t i = sizeof number; i < len; ++i) frame[i] = static_cast<char>((hash >> 24) + (hash >> 16) * i);
    return frame;
}

bool IsFrame(const char* frame, ssize_t len, uint64_t expected) {
    return len >= 8 && std::vector<char>(frame, frame + len) == NumberedFrame(expected, static_cast<size_t>(len));
}

class Ring : public SimCardTest<0>, public ::testing::WithParamInterface<vorn_sim_put_mode> {
public:
    void Put(const std::vector<char>& frame, vorn_sim_put_mode mode = VORN_SIM_OVERWRITE) {
        ASSERT_EQ(0, vorn_sim_put_frame(card, 0, frame.data(), frame.size(), mode, 0)) << vorn_sim_last_error();
    }
    vorn_sim_counters Counters() {
        vorn_sim_counters counters{};
        vorn_sim_get_counters(card, 0, &counters);
        return counters;
    }
};

// A reader starts after the newest frame put, as the card's library does; a lapped reader
// gets -256 once, loses the lap and goes on with frames put afterwards. A refill hook of the
// port (not of port 1) is called by buffers acquired afterwards when they find the ring empty,
// and the ring is looked at again.
TEST_F(Ring, StartsAfterTheNewestFrameAndSurvivesALap) {
    exanic_release_rx_buffer(rx);
    for (uint64_t n = 0; n < 3000; ++n) Put(NumberedFrame(n, 200)); // mid-way through the second lap
    struct Hook { Ring* test; int calls; } hook{this, 0};
    const auto refill = [](void* h) { if (static_cast<Hook*>(h)->calls++ == 0) static_cast<Hook*>(h)->test->Put(NumberedFrame(3000, 200)); };
    ASSERT_EQ(0, vorn_sim_set_refill(card, 0, refill, &hook));
    rx = exanic_acquire_rx_buffer(handle, 0, 0);
    exanic_rx_t* other = exanic_acquire_rx_buffer(handle, 1, 0);
    char buf[256];
    EXPECT_EQ(0, exanic_receive_frame(other, buf, sizeof buf, nullptr) + hook.calls);
    EXPECT_TRUE(IsFrame(buf, exanic_receive_frame(rx, buf, sizeof buf, nullptr), 3000));
    EXPECT_EQ(3000u + 1, Counters().skipped + hook.calls);
    exanic_release_rx_buffer(other);

    // The reader, polling while the lap is put, finds it all at once, never a frame of it.
    const std::vector<char> filler = NumberedFrame(7, 100);
    int64_t lap = 0;
    std::thread lapper([&] { lap = vorn_sim_put_lapping(card, 0, filler.data(), filler.size()); });
    ssize_t got = 0;
    while ((got = exanic_receive_frame(rx, buf, sizeof buf, nullptr)) == 0) {
    }
    lapper.join();
    EXPECT_EQ(-256, got); // EXANIC_RX_FRAME_SWOVFL
    EXPECT_EQ(int64_t(VORN_SIM_RING_CHUNKS + 1), lap); // one chunk each, one more than a ring
    EXPECT_EQ(0, exanic_receive_frame(rx, buf, sizeof buf, nullptr));
    Put(NumberedFrame(3001, 250));
    EXPECT_TRUE(IsFrame(buf, exanic_receive_frame(rx, buf, sizeof buf, nullptr), 3001));
    const vorn_sim_counters counters = Counters();
    EXPECT_EQ(uint64_t(lap), counters.lost);
    EXPECT_EQ(counters.put, counters.taken + counters.lost + counters.skipped);
}

// A quarter of the frames fill one chunk exactly, a quarter one chunk in part, the rest span
// chunks: a chunk whose bytes are being rewritten still shows its old info word.
size_t SizeOf(uint64_t n) { return n % 4 == 0 ? 120 : n % 4 == 1 ? 8 + n % 112 : 121 + n % 3000; }

// A producer puts faster than the reader takes. Overwriting, as the card does, it laps the
// reader, sometimes while a frame is being copied: every frame the reader gets must still be
// whole (never a mix of two) and newer than the last. Waiting, it loses nothing.
TEST_P(Ring, ASlowReaderGetsWholeFramesOnly) {
    const bool wait = GetParam() == VORN_SIM_WAIT;
    const uint64_t total = wait ? 20000 : 400000; // several rings' worth either way
    std::atomic<bool> producing{true};
    std::thread producer([&] {
        for (uint64_t n = 0; n < total; ++n) Put(NumberedFrame(n, SizeOf(n)), GetParam());
        producing = false;
    });
    std::vector<char> buf(VORN_SIM_MAX_FRAME);
    uint64_t taken = 0, laps = 0, bad = 0;
    int64_t last = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((producing || vorn_sim_backlog(card, 0) > 0) && std::chrono::steady_clock::now() < deadline) {
        const ssize_t len = exanic_receive_frame(rx, buf.data(), buf.size(), nullptr);
        laps += len == -256;
        if (len <= 0) continue;
        ++taken;
        int64_t number;
        memcpy(&number, buf.data(), sizeof number);
        bad += !IsFrame(buf.data(), len, uint64_t(number)) || size_t(len) != SizeOf(uint64_t(number)) ||
               number != (wait ? last + 1 : std::max(number, last + 1));
        last = number;
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(3);
        while (producing && std::chrono::steady_clock::now() < until) {
        } // stay slower than the producer
    }
    producer.join();
    EXPECT_EQ(0u, bad);
    EXPECT_EQ(wait, laps == 0);
    const vorn_sim_counters counters = Counters();
    EXPECT_EQ(taken, counters.taken);
    EXPECT_EQ(total, counters.taken + counters.lost); // a frame may count as lost and taken in a race
    EXPECT_EQ(wait ? total : counters.taken, taken);
}

INSTANTIATE_TEST_SUITE_P(Producer, Ring, ::testing::Values(VORN_SIM_OVERWRITE, VORN_SIM_WAIT));

} // namespace
