// Where a simulated card's bytes live (a POSIX shared-memory object, or a file in the folder
// VORN_SIM_SHM_DIR names, as under ctest), and a fixture of a fresh card read on one port.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include <exanic/exanic.h>
#include <exanic/fifo_rx.h>
#include <vorn_sim_card.h>

#include "test_files.h"

inline std::string SimCardFile(const std::string& device) { return vorn_test::SimCardFolder() + "/vorn_exanic_" + device; }

template <int Port>
class SimCardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, vorn_sim_create(device.c_str())) << vorn_sim_last_error();
        card = vorn_sim_open(device.c_str());
        handle = exanic_acquire_handle(device.c_str());
        rx = handle ? exanic_acquire_rx_buffer(handle, Port, 0) : nullptr;
        ASSERT_TRUE(card && rx) << exanic_get_last_error();
    }
    void TearDown() override {
        if (rx) exanic_release_rx_buffer(rx);
        if (handle) exanic_release_handle(handle);
        if (card) vorn_sim_close(card);
        vorn_sim_remove(device.c_str());
    }

    const std::string device = "vtcard" + std::to_string(Port) + "_" + std::to_string(getpid());
    vorn_sim_card_t* card = nullptr;
    exanic_t* handle = nullptr;
    exanic_rx_t* rx = nullptr;
};
