#include "exanic_reg.h"

#include "CommonLog.h"

namespace Vorn_R10 {

CExanicReg& CExanicReg::GetInstance() {
    static CExanicReg instance;
    return instance;
}

int CExanicReg::fpga_init(exanic_t* pNicHandler) {
    if (!pNicHandler) {
        VORN_LOG(LOG_ERROR, "[%s:%d][%s] pNicHandler is nullptr");
        return -1;
    }
    m_pRegisters = exanic_get_devkit_registers(pNicHandler);
    if (!m_pRegisters) {
        VORN_LOG(LOG_ERROR, "[%s:%d][%s] get devkit registers failed, %s", exanic_get_last_error());
        return -1;
    }
    return 0;
}

int CExanicReg::set_fpga_reg(const uint32_t& addr, uint32_t val) {
    m_pRegisters[addr] = val;
    VORN_LOG(LOG_DEBUG, "[%s:%d][%s] set_fpga_reg addr: %u, val: %u", addr, val);
    return 0;
}

uint32_t CExanicReg::get_fpga_reg(const uint32_t& addr) { return m_pRegisters[addr]; }

} // namespace Vorn_R10
