// The card's devkit register window: one 32-bit volatile access per register.
#pragma once

#include <cstdint>

#include <exanic/exanic.h>
#include <exanic/util.h>

namespace Vorn_R10 {

class CExanicReg {
public:
    static CExanicReg& GetInstance();

    int fpga_init(exanic_t* pNicHandler);
    // Writes the register, then logs the write at LOG_DEBUG. Always 0.
    int set_fpga_reg(const uint32_t& addr, uint32_t val);
    uint32_t get_fpga_reg(const uint32_t& addr);
    // Forgets the window of a card handle that is being released.
    void Release() { m_pRegisters = nullptr; }

private:
    CExanicReg() = default;
    volatile uint32_t* m_pRegisters = nullptr;
};

} // namespace Vorn_R10
