// Simulated devices: naming, presets, shared registers, removal and injected failures.
#include <string>

#include "card_fixture.h"

namespace {

TEST(SimDevice, MissingOrInvalidDeviceIsRefusedWithItsName) {
    std::string missing = unique_device_name("missing");
    EXPECT_EQ(exanic_acquire_handle(missing.c_str()), nullptr);
    std::string error = exanic_get_last_error();
    EXPECT_NE(error.find("'" + missing + "'"), std::string::npos) << error;
    EXPECT_NE(error.find("vorn-card create " + missing), std::string::npos) << error;

    EXPECT_EQ(vorn_sim_open(missing.c_str()), nullptr);
    EXPECT_NE(std::string(vorn_sim_last_error()).find(missing), std::string::npos);
    EXPECT_EQ(vorn_sim_remove(missing.c_str()), -1);

    EXPECT_EQ(exanic_acquire_handle("a/b"), nullptr);
    EXPECT_EQ(vorn_sim_create(""), -1);
    EXPECT_EQ(vorn_sim_create(std::string(100, 'x').c_str()), -1);
}

TEST_F(CardTest, CreatePresetsVersionAndVerdictAndZeroesTheRest) {
    exanic_t *handle = acquire_handle();
    ASSERT_NE(handle, nullptr) << exanic_get_last_error();
    volatile uint32_t *regs = exanic_get_devkit_registers(handle);
    ASSERT_NE(regs, nullptr);
    EXPECT_EQ(regs[65], VORN_SIM_FIRMWARE_VERSION);
    EXPECT_EQ(regs[64], VORN_SIM_VERDICT_OK);
    for (uint32_t reg = 0; reg < VORN_SIM_REGISTER_WORDS; ++reg) {
        if (reg == 64 || reg == 65) continue;
        ASSERT_EQ(regs[reg], 0u) << "register " << reg;
    }
}

TEST_F(CardTest, CreateAgainResetsRegistersRingsAndFailures) {
    vorn_sim_write_reg(card, 65, 7);
    vorn_sim_write_reg(card, 100, 7);
    put(0, numbered_frame(1, 16));
    vorn_sim_fail_next(card, VORN_SIM_FAIL_HANDLE);

    ASSERT_EQ(vorn_sim_create(device.c_str()), 0) << vorn_sim_last_error();
    EXPECT_EQ(vorn_sim_read_reg(card, 65), VORN_SIM_FIRMWARE_VERSION);
    EXPECT_EQ(vorn_sim_read_reg(card, 100), 0u);
    EXPECT_EQ(counters(0).put, 0u);
    EXPECT_EQ(vorn_sim_backlog(card, 0), 0u);
    EXPECT_NE(acquire_handle(), nullptr) << exanic_get_last_error();
}

TEST_F(CardTest, RegisterWritesAreSharedBetweenMappings) {
    exanic_t *first = acquire_handle();
    exanic_t *second = acquire_handle();
    ASSERT_TRUE(first && second);
    volatile uint32_t *a = exanic_get_devkit_registers(first);
    volatile uint32_t *b = exanic_get_devkit_registers(second);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);  // two separate mappings of one device

    a[10] = 0xdeadbeef;
    EXPECT_EQ(b[10], 0xdeadbeefu);
    EXPECT_EQ(vorn_sim_read_reg(card, 10), 0xdeadbeefu);
    vorn_sim_write_reg(card, VORN_SIM_REGISTER_WORDS - 1, 42);
    EXPECT_EQ(a[VORN_SIM_REGISTER_WORDS - 1], 42u);
    vorn_sim_write_reg(card, VORN_SIM_REGISTER_WORDS, 1);  // out of the window: ignored
    EXPECT_EQ(vorn_sim_read_reg(card, VORN_SIM_REGISTER_WORDS), 0u);
}

TEST_F(CardTest, RemovedDeviceStaysUsableThroughOpenHandles) {
    exanic_rx_t *rx = acquire_rx(0);
    ASSERT_NE(rx, nullptr);
    exanic_t *handle = handles.back();
    ASSERT_EQ(vorn_sim_remove(device.c_str()), 0);

    EXPECT_EQ(exanic_acquire_handle(device.c_str()), nullptr);
    EXPECT_EQ(exanic_get_devkit_registers(handle)[65], VORN_SIM_FIRMWARE_VERSION);
    put(0, numbered_frame(5, 20));
    char buf[64];
    EXPECT_EQ(exanic_receive_frame(rx, buf, sizeof buf, nullptr), 20);
}

TEST_F(CardTest, ReceiveBufferExistsOnlyForPortsZeroAndOneBufferZero) {
    exanic_t *handle = acquire_handle();
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(exanic_acquire_rx_buffer(handle, 2, 0), nullptr);
    EXPECT_NE(std::string(exanic_get_last_error()).find("port 2"), std::string::npos);
    EXPECT_EQ(exanic_acquire_rx_buffer(handle, -1, 0), nullptr);
    EXPECT_EQ(exanic_acquire_rx_buffer(handle, 0, 1), nullptr);
    EXPECT_NE(acquire_rx(1), nullptr);
}

TEST_F(CardTest, PutRefusesBadPortAndOversizedFrame) {
    std::vector<char> frame(VORN_SIM_MAX_FRAME + 1);
    EXPECT_EQ(vorn_sim_put_frame(card, 2, frame.data(), 8, VORN_SIM_OVERWRITE, 0), -1);
    EXPECT_EQ(vorn_sim_put_frame(card, 0, frame.data(), frame.size(), VORN_SIM_OVERWRITE, 0), -1);
    EXPECT_EQ(vorn_sim_put_frame(card, 0, frame.data(), VORN_SIM_MAX_FRAME, VORN_SIM_OVERWRITE, 0),
              0);
    EXPECT_EQ(counters(0).put, 1u);
}

TEST_F(CardTest, InjectedFailuresHitEachAcquisitionOnce) {
    vorn_sim_fail_next(card, VORN_SIM_FAIL_HANDLE | VORN_SIM_FAIL_REGISTERS | VORN_SIM_FAIL_RX0 |
                                 VORN_SIM_FAIL_RX1);
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
