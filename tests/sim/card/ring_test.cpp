// The simulated card's receive ring: the error codes the connector handles, and whole frames
// only when an overwriting producer laps the reader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <exanic/exanic.h>
#include <exanic/fifo_rx.h>
#include <vorn_sim_card.h>

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

class Ring : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, vorn_sim_create(device.c_str())) << vorn_sim_last_error();
        card = vorn_sim_open(device.c_str());
        handle = exanic_acquire_handle(device.c_str());
        rx = handle ? exanic_acquire_rx_buffer(handle, 0, 0) : nullptr;
        ASSERT_TRUE(card && rx) << exanic_get_last_error();
    }
    void TearDown() override {
        if (rx) exanic_release_rx_buffer(rx);
        if (handle) exanic_release_handle(handle);
        if (card) vorn_sim_close(card);
        vorn_sim_remove(device.c_str());
    }
    void Put(const std::vector<char>& frame, unsigned flags = 0) {
        vorn_sim_put_frame(card, 0, frame.data(), frame.size(), VORN_SIM_OVERWRITE, flags);
    }

    const std::string device = "vtring" + std::to_string(getpid());
    vorn_sim_card_t* card = nullptr;
    exanic_t* handle = nullptr;
    exanic_rx_t* rx = nullptr;
};

// Lapped: -256 then the newest frame; too large for the buffer: -257 with the buffer filled
// and nothing beyond; faulty: -2 with its bytes. Each error consumes its frame.
TEST_F(Ring, ErrorCodes) {
    const uint64_t total = VORN_SIM_RING_SLOTS + 10;
    for (uint64_t n = 0; n < total; ++n) Put(NumberedFrame(n, 12));
    char buf[80];
    EXPECT_EQ(-256, exanic_receive_frame(rx, buf, 64, nullptr)); // EXANIC_RX_FRAME_SWOVFL
    EXPECT_TRUE(IsFrame(buf, exanic_receive_frame(rx, buf, 64, nullptr), total - 1));
    EXPECT_EQ(0, exanic_receive_frame(rx, buf, 64, nullptr));

    const std::vector<char> big = NumberedFrame(1, 100), faulty = NumberedFrame(2, 40);
    Put(big);
    Put(faulty, VORN_SIM_FRAME_FAULTY);
    Put(NumberedFrame(3, 9));
    memset(buf, 'G', sizeof buf);
    EXPECT_EQ(-257, exanic_receive_frame(rx, buf, 64, nullptr)); // EXANIC_RX_FRAME_TRUNCATED
    EXPECT_EQ(0, memcmp(buf, big.data(), 64));
    EXPECT_EQ(std::string(16, 'G'), std::string(buf + 64, 16));
    EXPECT_EQ(-2, exanic_receive_frame(rx, buf, 64, nullptr)); // EXANIC_RX_FRAME_CORRUPT
    EXPECT_EQ(0, memcmp(buf, faulty.data(), faulty.size()));
    EXPECT_TRUE(IsFrame(buf, exanic_receive_frame(rx, buf, 64, nullptr), 3));
}

// A producer that never waits laps a slower reader, sometimes while a frame is being copied;
// every frame the reader gets must be whole (never a mix of two) and newer than the last.
TEST_F(Ring, OverwritingProducerNeverHandsOutTornFrames) {
    const uint64_t total = 200000;
    std::atomic<bool> producing{true};
    std::thread producer([&] {
        for (uint64_t n = 0; n < total; ++n) Put(NumberedFrame(n, 1000 + n % 3000));
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
        bad += !IsFrame(buf.data(), len, static_cast<uint64_t>(number)) || len != 1000 + number % 3000 ||
               number <= last;
        last = number;
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(3);
        while (producing && std::chrono::steady_clock::now() < until) {
        } // stay slower than the producer
    }
    producer.join();
    EXPECT_EQ(0u, bad);
    EXPECT_EQ(int64_t(total - 1), last);
    EXPECT_GT(laps, 0u);
    vorn_sim_counters counters{};
    vorn_sim_get_counters(card, 0, &counters);
    EXPECT_EQ(taken, counters.taken);
    EXPECT_EQ(total, counters.taken + counters.lost);
}

} // namespace
