// A fresh simulated device per test, removed afterwards, plus numbered test frames.
#ifndef VORN_TESTS_SIM_CARD_FIXTURE_H
#define VORN_TESTS_SIM_CARD_FIXTURE_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <exanic/exanic.h>
#include <exanic/fifo_rx.h>
#include <exanic/util.h>
#include <vorn_sim_card.h>

inline std::string unique_device_name(const char *tag) {
    static int counter = 0;
    return std::string("vt") + tag + "_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
}

// A frame of `len` bytes (at least 8): its number, then bytes derived from a hash of the
// number, so frames a ring lap apart differ everywhere.
inline std::vector<char> numbered_frame(uint64_t number, size_t len) {
    std::vector<char> frame(len);
    std::memcpy(frame.data(), &number, sizeof number);
    const uint32_t hash = static_cast<uint32_t>(number * 2654435761u);
    for (size_t i = sizeof number; i < len; ++i) frame[i] = static_cast<char>((hash >> 24) + (hash >> 16) * i);
    return frame;
}

inline uint64_t frame_number(const char *frame) {
    uint64_t number;
    std::memcpy(&number, frame, sizeof number);
    return number;
}

// True when the `len` bytes are numbered frame `expected` of that length.
inline bool is_frame(const char *frame, ssize_t len, uint64_t expected) {
    return len >= 8 && std::vector<char>(frame, frame + len) == numbered_frame(expected, static_cast<size_t>(len));
}

class CardTest : public ::testing::Test {
protected:
    void SetUp() override {
        device = unique_device_name("card");
        ASSERT_EQ(vorn_sim_create(device.c_str()), 0) << vorn_sim_last_error();
        card = vorn_sim_open(device.c_str());
        ASSERT_NE(card, nullptr) << vorn_sim_last_error();
    }
    void TearDown() override {
        for (exanic_rx_t *rx : rxs) exanic_release_rx_buffer(rx);
        for (exanic_t *handle : handles) exanic_release_handle(handle);
        vorn_sim_close(card);
        vorn_sim_remove(device.c_str());
    }
    exanic_t *acquire_handle() {
        exanic_t *handle = exanic_acquire_handle(device.c_str());
        if (handle != nullptr) handles.push_back(handle);
        return handle;
    }
    exanic_rx_t *acquire_rx(int port) {
        exanic_t *handle = acquire_handle();
        exanic_rx_t *rx = handle ? exanic_acquire_rx_buffer(handle, port, 0) : nullptr;
        if (rx != nullptr) rxs.push_back(rx);
        return rx;
    }
    int put(int port, const std::vector<char> &frame, vorn_sim_put_mode mode = VORN_SIM_OVERWRITE, unsigned flags = 0) {
        return vorn_sim_put_frame(card, port, frame.data(), frame.size(), mode, flags);
    }
    vorn_sim_counters counters(int port) {
        vorn_sim_counters out{};
        EXPECT_EQ(vorn_sim_get_counters(card, port, &out), 0);
        return out;
    }

    std::string device;
    vorn_sim_card_t *card = nullptr;
    std::vector<exanic_t *> handles;
    std::vector<exanic_rx_t *> rxs;
};

#endif
