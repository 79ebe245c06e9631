// Simulated devices: naming, presets, shared registers, removal, bounds and injected failures.
#include <string>

#include "card_fixture.h"

namespace {

TEST(SimDevice, MissingOrInvalidDeviceIsRefusedWithItsName) {
    const std::string missing = unique_device_name("missing");
    EXPECT_EQ(exanic_acquire_handle(missing.c_str()), nullptr);
    const std::string error = exanic_get_last_error();
    EXPECT_NE(error.find("no simulated ExaNIC device '" + missing + "' (create it with vorn-card create " + missing + ")"),
              std::string::npos) << error;
    EXPECT_EQ(vorn_sim_open(missing.c_str()), nullptr);
    EXPECT_NE(std::string(vorn_sim_last_error()).find(missing), std::string::npos);
    EXPECT_EQ(vorn_sim_remove(missing.c_str()), -1);
    EXPECT_EQ(exanic_acquire_handle("a/b"), nullptr);
    EXPECT_EQ(vorn_sim_create(""), -1);
    EXPECT_EQ(vorn_sim_create(std::string(100, 'x').c_str()), -1);
}

// Version and verdict preset, everything else zero; creating again resets registers, rings
// and pending failures.
TEST_F(CardTest, CreatePresetsVersionAndVerdictAndCreateAgainResets) {
    exanic_t *handle = acquire_handle();
    ASSERT_NE(handle, nullptr) << exanic_get_last_error();
    volatile uint32_t *regs = exanic_get_devkit_registers(handle);
    ASSERT_NE(regs, nullptr);
    for (uint32_t reg = 0; reg < VORN_SIM_REGISTER_WORDS; ++reg)
        ASSERT_EQ(regs[reg], reg == 65 ? VORN_SIM_FIRMWARE_VERSION : reg == 64 ? VORN_SIM_VERDICT_OK : 0u) << reg;

    vorn_sim_write_reg(card, 65, 7);
    vorn_sim_write_reg(card, 100, 7);
    ASSERT_EQ(put(0, numbered_frame(1, 16)), 0);
    vorn_sim_fail_next(card, VORN_SIM_FAIL_HANDLE);
    ASSERT_EQ(vorn_sim_create(device.c_str()), 0) << vorn_sim_last_error();
    EXPECT_EQ(vorn_sim_read_reg(card, 65), VORN_SIM_FIRMWARE_VERSION);
    EXPECT_EQ(vorn_sim_read_reg(card, 100), 0u);
    EXPECT_EQ(counters(0).put, 0u);
    EXPECT_EQ(vorn_sim_backlog(card, 0), 0u);
    EXPECT_NE(acquire_handle(), nullptr) << exanic_get_last_error();
}

// Two mappings share the registers; writes outside the window, ports other than 0 and 1,
// buffers other than 0 and frames above the maximum are refused; a removed device stays
// usable through the handles already open.
TEST_F(CardTest, SharedRegistersBoundsAndRemoval) {
    exanic_rx_t *rx = acquire_rx(0);
    exanic_t *other = acquire_handle();
    ASSERT_TRUE(rx && other);
    volatile uint32_t *a = exanic_get_devkit_registers(handles[0]);
    volatile uint32_t *b = exanic_get_devkit_registers(other);
    ASSERT_TRUE(a && b && a != b);
    a[10] = 0xdeadbeef;
    EXPECT_EQ(b[10], 0xdeadbeefu);
    EXPECT_EQ(vorn_sim_read_reg(card, 10), 0xdeadbeefu);
    vorn_sim_write_reg(card, VORN_SIM_REGISTER_WORDS - 1, 42);
    EXPECT_EQ(a[VORN_SIM_REGISTER_WORDS - 1], 42u);
    vorn_sim_write_reg(card, VORN_SIM_REGISTER_WORDS, 1);
    EXPECT_EQ(vorn_sim_read_reg(card, VORN_SIM_REGISTER_WORDS), 0u);

    EXPECT_EQ(exanic_acquire_rx_buffer(other, 2, 0), nullptr);
    EXPECT_NE(std::string(exanic_get_last_error()).find("port 2"), std::string::npos);
    EXPECT_EQ(exanic_acquire_rx_buffer(other, -1, 0), nullptr);
    EXPECT_EQ(exanic_acquire_rx_buffer(other, 0, 1), nullptr);
    EXPECT_NE(acquire_rx(1), nullptr);
    EXPECT_EQ(put(2, numbered_frame(0, 8)), -1);
    EXPECT_EQ(put(0, numbered_frame(0, VORN_SIM_MAX_FRAME + 1)), -1);
    EXPECT_EQ(counters(0).put, 0u);

    ASSERT_EQ(vorn_sim_remove(device.c_str()), 0);
    EXPECT_EQ(exanic_acquire_handle(device.c_str()), nullptr);
    EXPECT_EQ(b[65], VORN_SIM_FIRMWARE_VERSION);
    ASSERT_EQ(put(0, numbered_frame(5, VORN_SIM_MAX_FRAME)), 0);
    std::vector<char> buf(VORN_SIM_MAX_FRAME);
    EXPECT_TRUE(is_frame(buf.data(), exanic_receive_frame(rx, buf.data(), buf.size(), nullptr), 5));
}

TEST_F(CardTest, InjectedFailuresHitEachAcquisitionOnce) {
    vorn_sim_fail_next(card, VORN_SIM_FAIL_HANDLE | VORN_SIM_FAIL_REGISTERS | VORN_SIM_FAIL_RX0 | VORN_SIM_FAIL_RX1);
    EXPECT_EQ(exanic_acquire_handle(device.c_str()), nullptr);
    EXPECT_NE(std::string(exanic_get_last_error()).find("injected"), std::string::npos);
    exanic_t *handle = acquire_handle();
    ASSERT_NE(handle, nullptr) << exanic_get_last_error();
    EXPECT_EQ(exanic_get_devkit_registers(handle), nullptr);
    EXPECT_NE(std::string(exanic_get_last_error()).find("injected"), std::string::npos);
    EXPECT_NE(exanic_get_devkit_registers(handle), nullptr);
    for (int port = 0; port < VORN_SIM_PORTS; ++port) {
        EXPECT_EQ(exanic_acquire_rx_buffer(handle, port, 0), nullptr);
        EXPECT_NE(std::string(exanic_get_last_error()).find("injected"), std::string::npos);
        exanic_rx_t *rx = exanic_acquire_rx_buffer(handle, port, 0);
        EXPECT_NE(rx, nullptr) << exanic_get_last_error();
        exanic_release_rx_buffer(rx);
    }
}

}  // namespace
