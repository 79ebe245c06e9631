// Receive channels: ordering, lapping, truncation, faulty frames, lossless and concurrent use.
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "card_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(60);

// Polls until a frame (or error) arrives; 0 when nothing came within kPatience.
ssize_t receive_within_patience(exanic_rx_t *rx, char *buf, size_t size) {
    for (auto deadline = Clock::now() + kPatience; Clock::now() < deadline;)
        if (ssize_t result = exanic_receive_frame(rx, buf, size, nullptr)) return result;
    return 0;
}

// In order per port with the put time as timestamp, then nothing; a new reader starts where
// the previous one stopped.
TEST_F(CardTest, FramesArriveInOrderPerPortThenNothing) {
    exanic_rx_t *rx0 = acquire_rx(0);
    exanic_rx_t *rx1 = acquire_rx(1);
    ASSERT_TRUE(rx0 && rx1);
    char buf[VORN_SIM_MAX_FRAME];
    EXPECT_EQ(exanic_receive_frame(rx0, buf, sizeof buf, nullptr), 0);
    const uint64_t before = vorn_sim_now_ns();
    for (uint64_t n = 0; n < 4; ++n) ASSERT_EQ(put(0, numbered_frame(n, 8 + 50 * n)), 0);
    ASSERT_EQ(put(1, numbered_frame(99, 60)), 0);
    const uint64_t after = vorn_sim_now_ns();
    EXPECT_EQ(vorn_sim_backlog(card, 0), 4u);
    for (uint64_t n = 0; n < 3; ++n) {
        exanic_cycles32_t ts = 0;
        EXPECT_TRUE(is_frame(buf, exanic_receive_frame(rx0, buf, sizeof buf, &ts), n));
        const uint64_t put_ns = vorn_sim_last_rx_put_ns(0);
        EXPECT_TRUE(put_ns >= before && put_ns <= after);
        EXPECT_EQ(ts, static_cast<exanic_cycles32_t>(put_ns));
    }
    exanic_rx_t *next = acquire_rx(0);
    EXPECT_TRUE(is_frame(buf, exanic_receive_frame(next, buf, sizeof buf, nullptr), 3));
    EXPECT_EQ(exanic_receive_frame(next, buf, sizeof buf, nullptr), 0);
    EXPECT_TRUE(is_frame(buf, exanic_receive_frame(rx1, buf, sizeof buf, nullptr), 99));
    EXPECT_EQ(exanic_receive_frame(rx1, buf, sizeof buf, nullptr), 0);
    const vorn_sim_counters c = counters(0);
    EXPECT_EQ(c.put, 4u);
    EXPECT_EQ(c.taken, 4u);
    EXPECT_EQ(c.lost, 0u);
    EXPECT_EQ(vorn_sim_backlog(card, 0), 0u);
}

TEST_F(CardTest, LappedReaderGetsOverflowThenTheNewestFrame) {
    exanic_rx_t *rx = acquire_rx(0);
    ASSERT_NE(rx, nullptr);
    const uint64_t total = VORN_SIM_RING_SLOTS + 10;
    for (uint64_t n = 0; n < total; ++n) put(0, numbered_frame(n, 12));
    char buf[64];
    EXPECT_EQ(exanic_receive_frame(rx, buf, sizeof buf, nullptr), -256); // EXANIC_RX_FRAME_SWOVFL
    EXPECT_TRUE(is_frame(buf, exanic_receive_frame(rx, buf, sizeof buf, nullptr), total - 1));
    EXPECT_EQ(exanic_receive_frame(rx, buf, sizeof buf, nullptr), 0);
    put(0, numbered_frame(total, 12));
    EXPECT_TRUE(is_frame(buf, exanic_receive_frame(rx, buf, sizeof buf, nullptr), total));
    const vorn_sim_counters c = counters(0);
    EXPECT_EQ(c.put, total + 1);
    EXPECT_EQ(c.lost, total - 1);
    EXPECT_EQ(c.taken, 2u);
}

// Too large for the buffer: -257, the buffer filled and nothing beyond; faulty: -2 with its
// bytes. Either way the frame is consumed.
TEST_F(CardTest, TruncatedAndFaultyFramesAreReportedAndConsumed) {
    exanic_rx_t *rx = acquire_rx(1);
    ASSERT_NE(rx, nullptr);
    const std::vector<char> big = numbered_frame(1, 100), faulty = numbered_frame(2, 40);
    put(1, big);
    put(1, faulty, VORN_SIM_OVERWRITE, VORN_SIM_FRAME_FAULTY);
    put(1, numbered_frame(3, 9));
    char buf[80];
    std::memset(buf, 'G', sizeof buf);
    EXPECT_EQ(exanic_receive_frame(rx, buf, 64, nullptr), -257); // EXANIC_RX_FRAME_TRUNCATED
    EXPECT_EQ(std::memcmp(buf, big.data(), 64), 0);
    EXPECT_EQ(std::string(buf + 64, 16), std::string(16, 'G'));
    EXPECT_EQ(exanic_receive_frame(rx, buf, 64, nullptr), -2); // EXANIC_RX_FRAME_CORRUPT
    EXPECT_EQ(std::memcmp(buf, faulty.data(), faulty.size()), 0);
    EXPECT_TRUE(is_frame(buf, exanic_receive_frame(rx, buf, 64, nullptr), 3));
}

TEST_F(CardTest, WaitModeDeliversEveryFrameInOrder) {
    exanic_rx_t *rx = acquire_rx(0);
    ASSERT_NE(rx, nullptr);
    const uint64_t total = 100000;
    std::atomic<uint64_t> received{0};
    std::thread consumer([&] {
        char buf[VORN_SIM_MAX_FRAME];
        for (uint64_t n = 0; n < total && is_frame(buf, receive_within_patience(rx, buf, sizeof buf), n); ++n)
            received = n + 1;
    });
    for (uint64_t n = 0; n < total; ++n)
        if (put(0, numbered_frame(n, 8 + n % 300), VORN_SIM_WAIT) != 0) {
            ADD_FAILURE() << "put " << n << ": " << vorn_sim_last_error();
            break;
        }
    consumer.join();
    EXPECT_EQ(received, total);
    EXPECT_EQ(counters(0).lost, 0u);
    EXPECT_EQ(counters(0).taken, total);
}

// A producer that never waits laps a slower reader, sometimes while a frame is being copied;
// every frame the reader gets must be whole (never a mix of two) and newer than the last.
TEST_F(CardTest, OverwritingProducerNeverHandsOutTornFrames) {
    exanic_rx_t *rx = acquire_rx(0);
    ASSERT_NE(rx, nullptr);
    const uint64_t total = 200000;
    std::atomic<bool> producing{true};
    std::thread producer([&] {
        for (uint64_t n = 0; n < total; ++n) put(0, numbered_frame(n, 1000 + n % 3000));
        producing = false;
    });
    char buf[VORN_SIM_MAX_FRAME];
    uint64_t taken = 0, laps = 0, bad = 0;
    int64_t last = -1;
    for (auto deadline = Clock::now() + kPatience; (producing || vorn_sim_backlog(card, 0) > 0) && Clock::now() < deadline;) {
        const ssize_t len = exanic_receive_frame(rx, buf, sizeof buf, nullptr);
        laps += len == -256;
        if (len <= 0) continue;
        ++taken;
        const int64_t number = static_cast<int64_t>(frame_number(buf));
        bad += !is_frame(buf, len, number) || len != 1000 + number % 3000 || number <= last;
        last = number;
        for (auto until = Clock::now() + std::chrono::microseconds(3); producing && Clock::now() < until;) {
        } // stay slower than the producer
    }
    producer.join();
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(last, int64_t(total - 1));
    EXPECT_GT(laps, 0u);
    EXPECT_EQ(counters(0).taken, taken);
    EXPECT_EQ(counters(0).taken + counters(0).lost, total);
}

TEST_F(CardTest, ProducerInAnotherProcessFeedsTheReader) {
    exanic_rx_t *rx = acquire_rx(0);
    ASSERT_NE(rx, nullptr);
    const uint64_t total = 20000;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        vorn_sim_card_t *own = vorn_sim_open(device.c_str());
        bool ok = own != nullptr;
        if (ok) vorn_sim_fail_next(own, VORN_SIM_FAIL_RX1);
        for (uint64_t n = 0; ok && n < total; ++n) {
            const std::vector<char> frame = numbered_frame(n, 8 + n % 500);
            ok = vorn_sim_put_frame(own, 0, frame.data(), frame.size(), VORN_SIM_WAIT, 0) == 0;
        }
        vorn_sim_close(own);
        _exit(ok ? 0 : 1);
    }
    char buf[VORN_SIM_MAX_FRAME];
    uint64_t n = 0;
    while (n < total && is_frame(buf, receive_within_patience(rx, buf, sizeof buf), n)) ++n;
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(n, total);
    EXPECT_EQ(exanic_acquire_rx_buffer(handles.back(), 1, 0), nullptr); // failure set by the child
}

}  // namespace
