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
    auto deadline = Clock::now() + kPatience;
    while (Clock::now() < deadline) {
        ssize_t result = exanic_receive_frame(rx, buf, size, nullptr);
        if (result != 0) return result;
    }
    return 0;
}

TEST_F(CardTest, FramesArriveInOrderPerPortThenNothing) {
    exanic_rx_t *rx0 = acquire_rx(0);
    exanic_rx_t *rx1 = acquire_rx(1);
    ASSERT_TRUE(rx0 && rx1);
    char buf[VORN_SIM_MAX_FRAME];
    EXPECT_EQ(exanic_receive_frame(rx0, buf, sizeof buf, nullptr), 0);

    uint64_t before = vorn_sim_now_ns();
    for (uint64_t n = 0; n < 3; ++n) put(0, numbered_frame(n, 8 + 50 * n));
    put(1, numbered_frame(99, 60));
    uint64_t after = vorn_sim_now_ns();
    EXPECT_EQ(vorn_sim_backlog(card, 0), 3u);

    for (uint64_t n = 0; n < 3; ++n) {
        exanic_cycles32_t ts = 0;
        ASSERT_EQ(exanic_receive_frame(rx0, buf, sizeof buf, &ts), ssize_t(8 + 50 * n));
        EXPECT_EQ(frame_number(buf), n);
        EXPECT_TRUE(is_numbered_frame(buf, 8 + 50 * n));
        uint64_t put_ns = vorn_sim_last_rx_put_ns(0);
        EXPECT_GE(put_ns, before);
        EXPECT_LE(put_ns, after);
        EXPECT_EQ(ts, static_cast<exanic_cycles32_t>(put_ns));
    }
    EXPECT_EQ(exanic_receive_frame(rx0, buf, sizeof buf, nullptr), 0);
    EXPECT_EQ(exanic_receive_frame(rx1, buf, sizeof buf, nullptr), 60);
    EXPECT_EQ(frame_number(buf), 99u);
    EXPECT_EQ(exanic_receive_frame(rx1, buf, sizeof buf, nullptr), 0);

    vorn_sim_counters c = counters(0);
    EXPECT_EQ(c.put, 3u);
    EXPECT_EQ(c.taken, 3u);
    EXPECT_EQ(c.lost, 0u);
    EXPECT_EQ(vorn_sim_backlog(card, 0), 0u);
}

TEST_F(CardTest, NewReaderStartsWhereThePreviousOneStopped) {
    for (uint64_t n = 0; n < 4; ++n) put(0, numbered_frame(n, 16));
    char buf[64];
    exanic_rx_t *first = acquire_rx(0);
    ASSERT_EQ(exanic_receive_frame(first, buf, sizeof buf, nullptr), 16);
    exanic_rx_t *second = acquire_rx(0);
    ASSERT_EQ(exanic_receive_frame(second, buf, sizeof buf, nullptr), 16);
    EXPECT_EQ(frame_number(buf), 1u);
}

TEST_F(CardTest, LappedReaderGetsOverflowThenTheNewestFrame) {
    exanic_rx_t *rx = acquire_rx(0);
    ASSERT_NE(rx, nullptr);
    const uint64_t total = VORN_SIM_RING_SLOTS + 10;
    for (uint64_t n = 0; n < total; ++n) put(0, numbered_frame(n, 12));

    char buf[64];
    EXPECT_EQ(exanic_receive_frame(rx, buf, sizeof buf, nullptr), -EXANIC_RX_FRAME_SWOVFL);
    ASSERT_EQ(exanic_receive_frame(rx, buf, sizeof buf, nullptr), 12);
    EXPECT_EQ(frame_number(buf), total - 1);
    EXPECT_EQ(exanic_receive_frame(rx, buf, sizeof buf, nullptr), 0);

    put(0, numbered_frame(total, 12));
    ASSERT_EQ(exanic_receive_frame(rx, buf, sizeof buf, nullptr), 12);
    EXPECT_EQ(frame_number(buf), total);
    vorn_sim_counters c = counters(0);
    EXPECT_EQ(c.put, total + 1);
    EXPECT_EQ(c.lost, total - 1);
    EXPECT_EQ(c.taken, 2u);
}

TEST_F(CardTest, FrameLargerThanBufferIsTruncatedAndConsumed) {
    exanic_rx_t *rx = acquire_rx(0);
    ASSERT_NE(rx, nullptr);
    std::vector<char> big = numbered_frame(1, 100);
    put(0, big);
    put(0, numbered_frame(2, 9));

    char buf[80];
    std::memset(buf, 'G', sizeof buf);
    EXPECT_EQ(exanic_receive_frame(rx, buf, 64, nullptr), -EXANIC_RX_FRAME_TRUNCATED);
    EXPECT_EQ(std::memcmp(buf, big.data(), 64), 0);
    for (size_t i = 64; i < sizeof buf; ++i) ASSERT_EQ(buf[i], 'G') << "byte " << i;
    ASSERT_EQ(exanic_receive_frame(rx, buf, 64, nullptr), 9);
    EXPECT_EQ(frame_number(buf), 2u);
}

TEST_F(CardTest, FaultyFrameIsReportedCorruptWithItsBytes) {
    exanic_rx_t *rx = acquire_rx(1);
    ASSERT_NE(rx, nullptr);
    std::vector<char> faulty = numbered_frame(7, 40);
    put(1, faulty, VORN_SIM_OVERWRITE, VORN_SIM_FRAME_FAULTY);
    put(1, numbered_frame(8, 40));

    char buf[64] = {};
    EXPECT_EQ(exanic_receive_frame(rx, buf, sizeof buf, nullptr), -EXANIC_RX_FRAME_CORRUPT);
    EXPECT_EQ(std::memcmp(buf, faulty.data(), faulty.size()), 0);
    EXPECT_EQ(exanic_receive_frame(rx, buf, sizeof buf, nullptr), 40);
    EXPECT_EQ(frame_number(buf), 8u);
}

TEST_F(CardTest, WaitModeDeliversEveryFrameInOrder) {
    exanic_rx_t *rx = acquire_rx(0);
    ASSERT_NE(rx, nullptr);
    const uint64_t total = 100000;
    std::atomic<uint64_t> received{0};
    std::atomic<bool> consistent{true};
    std::thread consumer([&] {
        char buf[VORN_SIM_MAX_FRAME];
        for (uint64_t n = 0; n < total; ++n) {
            ssize_t len = receive_within_patience(rx, buf, sizeof buf);
            if (len != ssize_t(8 + n % 300) || frame_number(buf) != n ||
                !is_numbered_frame(buf, len)) {
                consistent = false;
                return;
            }
            received = n + 1;
        }
    });
    for (uint64_t n = 0; n < total; ++n) {
        std::vector<char> frame = numbered_frame(n, 8 + n % 300);
        if (vorn_sim_put_frame(card, 0, frame.data(), frame.size(), VORN_SIM_WAIT, 0) != 0) {
            ADD_FAILURE() << "put " << n << ": " << vorn_sim_last_error();
            break;
        }
    }
    consumer.join();
    EXPECT_TRUE(consistent);
    EXPECT_EQ(received, total);
    EXPECT_EQ(counters(0).lost, 0u);
    EXPECT_EQ(counters(0).taken, total);
}

// Keeps the reader slower than the producer so that it is lapped again and again.
void dawdle(std::chrono::microseconds how_long) {
    auto until = Clock::now() + how_long;
    while (Clock::now() < until) {
    }
}

// A producer that never waits laps a slower reader, sometimes while a frame is being copied;
// every frame the reader does get must be whole (never a mix of two) and newer than the last.
TEST_F(CardTest, OverwritingProducerNeverHandsOutTornFrames) {
    exanic_rx_t *rx = acquire_rx(0);
    ASSERT_NE(rx, nullptr);
    const uint64_t total = 200000;
    std::atomic<bool> producing{true};
    std::thread producer([&] {
        for (uint64_t n = 0; n < total; ++n) {
            std::vector<char> frame = numbered_frame(n, 1000 + n % 3000);
            vorn_sim_put_frame(card, 0, frame.data(), frame.size(), VORN_SIM_OVERWRITE, 0);
        }
        producing = false;
    });
    char buf[VORN_SIM_MAX_FRAME];
    uint64_t taken = 0, laps = 0, torn = 0, out_of_order = 0;
    int64_t last = -1;
    auto deadline = Clock::now() + kPatience;
    while ((producing || vorn_sim_backlog(card, 0) > 0) && Clock::now() < deadline) {
        ssize_t len = exanic_receive_frame(rx, buf, sizeof buf, nullptr);
        if (len == -EXANIC_RX_FRAME_SWOVFL) ++laps;
        if (len <= 0) continue;
        ++taken;
        if (!is_numbered_frame(buf, len) || len != ssize_t(1000 + frame_number(buf) % 3000))
            ++torn;
        if (int64_t(frame_number(buf)) <= last) ++out_of_order;
        last = int64_t(frame_number(buf));
        if (producing) dawdle(std::chrono::microseconds(3));
    }
    producer.join();
    EXPECT_EQ(torn, 0u);
    EXPECT_EQ(out_of_order, 0u);
    EXPECT_EQ(last, int64_t(total - 1));
    EXPECT_GT(laps, 0u);
    vorn_sim_counters c = counters(0);
    EXPECT_EQ(c.taken, taken);
    EXPECT_EQ(c.taken + c.lost, total);
    RecordProperty("laps", std::to_string(laps));
}

TEST_F(CardTest, ProducerInAnotherProcessFeedsTheReader) {
    exanic_rx_t *rx = acquire_rx(0);
    ASSERT_NE(rx, nullptr);
    const uint64_t total = 20000;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        vorn_sim_card_t *own = vorn_sim_open(device.c_str());
        bool ok = own != nullptr;
        if (ok) vorn_sim_fail_next(own, VORN_SIM_FAIL_RX1);
        for (uint64_t n = 0; ok && n < total; ++n) {
            std::vector<char> frame = numbered_frame(n, 8 + n % 500);
            ok = vorn_sim_put_frame(own, 0, frame.data(), frame.size(), VORN_SIM_WAIT, 0) == 0;
        }
        vorn_sim_close(own);
        _exit(ok ? 0 : 1);
    }
    char buf[VORN_SIM_MAX_FRAME];
    uint64_t n = 0;
    for (; n < total; ++n) {
        ssize_t len = receive_within_patience(rx, buf, sizeof buf);
        if (len != ssize_t(8 + n % 500) || frame_number(buf) != n) break;
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(n, total);
    EXPECT_EQ(exanic_acquire_rx_buffer(handles.back(), 1, 0), nullptr);  // failure set by child
}

}  // namespace
