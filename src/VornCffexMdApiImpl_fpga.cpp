// FPGA set-up: common registers, mode switches and the version handshake.
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "VornCffexMdApiImpl.h"
#include "exanic_reg.h"
#include "vorn_version.h"

using namespace Vorn_R10;

namespace {

const char* const kSoftVersion = VORN_SOFT_VERSION;

CExanicReg& Registers() { return CExanicReg::GetInstance(); }

} // namespace

int32_t CVornCffexMdApiImpl::_SetRegIp(uint32_t ipReg, const CAddressType& refIpAddr) {
    VORN_LOG(LOG_INFO, "[%s:%d] [%s] ipReg is [%d], refIpAddr [%s] .", ipReg, refIpAddr.c_str());
    const uint32_t value = ntohl(inet_addr(refIpAddr.c_str()));
    Registers().set_fpga_reg(ipReg, value);
    return 0;
}

int32_t CVornCffexMdApiImpl::_SetRegPort(uint32_t portReg, const CAddressType& refPort) {
    VORN_LOG(LOG_INFO, "[%s:%d] [%s] portReg is [%d] refPort [%s] .", portReg, refPort.c_str());
    const uint32_t value = static_cast<uint32_t>(strtol(refPort.c_str(), nullptr, 10));
    Registers().set_fpga_reg(portReg, value);
    return 0;
}

int32_t CVornCffexMdApiImpl::_InitFpgaCommon() {
    Registers().set_fpga_reg(RESET, 1);
    Registers().set_fpga_reg(RESET, 0);
    _SetRegIp(UDP_SRC_IP_A, m_udp_src_ip_a);
    _SetRegIp(UDP_SRC_IP_B, m_udp_src_ip_b);
    _SetRegPort(UDP_DST_PORT_A, m_udp_dst_port_a);
    _SetRegPort(UDP_DST_PORT_B, m_udp_dst_port_b);
    Registers().set_fpga_reg(KEY_TYPE, m_key_type);
    Registers().set_fpga_reg(ARG, m_key_arg);
    Registers().set_fpga_reg(TRADE_TIME_FLAG, static_cast<uint32_t>(m_iTradeDate));
    return 0;
}

int32_t CVornCffexMdApiImpl::_InitFpgaUdp() {
    Registers().set_fpga_reg(SOFT_HW_SW, 0);
    Registers().set_fpga_reg(INVALID_VALUE_SW, 0);
    Registers().set_fpga_reg(UDP_SEQNUM, static_cast<uint32_t>(m_EndSnapMdField.last_md_seqno));
    return 0;
}

int32_t CVornCffexMdApiImpl::_InitSoftUdp() {
    Registers().set_fpga_reg(SOFT_HW_SW, 1);
    return 0;
}

int32_t CVornCffexMdApiImpl::_CheckVersion() {
    const std::map<std::string, uint32_t> VerMap = {{VORN_SOFT_VERSION, VORN_FIRMWARE_VERSION}};

    unsigned parts[4] = {0, 0, 0, 0};
    sscanf(kSoftVersion, "%x.%x.%x.%x", &parts[0], &parts[1], &parts[2], &parts[3]);
    const uint32_t little =
        (parts[0] & 0xFF) | (parts[1] & 0xFF) << 8 | (parts[2] & 0xFF) << 16 | (parts[3] & 0xFF) << 24;
    VORN_LOG(LOG_INFO, "[%s:%d] [%s] soft version, litte Endian 0x%08x.", little);
    const uint32_t big = __builtin_bswap32(little);
    Registers().set_fpga_reg(SOFT_VERSION, big);
    VORN_LOG(LOG_INFO, "[%s:%d] [%s] soft version, big Endian 0x%08x.", big);

    const uint32_t hwVersion = Registers().get_fpga_reg(ver_compile_date);
    const auto str_it = VerMap.find(kSoftVersion);
    if (str_it == VerMap.end()) {
        VORN_LOG(LOG_INFO, "[%s:%d] [%s] soft version is error.");
        return -1;
    }
    VORN_LOG(LOG_INFO, "[%s:%d] [%s] str_it->second is %x, hwVersion is %x.", str_it->second, hwVersion);
    if (hwVersion < str_it->second) {
        VORN_LOG(LOG_ERROR, "[%s:%d] [%s] you will need to update your hardware version.");
        VORN_LOG(LOG_ERROR, "[%s:%d] [%s] soft version %s, hwVersion is %x > fpga hwVersion is %x.", kSoftVersion,
                 str_it->second, hwVersion);
        return -1;
    }
    VORN_LOG(LOG_INFO, "[%s:%d] [%s] hardware version check is success.");

    const uint32_t iCheckRst = Registers().get_fpga_reg(check_soft_ver);
    m_counters.SetVersions(kSoftVersion, hwVersion, iCheckRst);
    switch (iCheckRst) {
    case 0: VORN_LOG(LOG_INFO, "[%s:%d] [%s] soft version write is fail."); return -1;
    case 1: VORN_LOG(LOG_INFO, "[%s:%d] [%s] hardware and soft version check is success."); return 0;
    case 2:
        VORN_LOG(LOG_INFO, "[%s:%d] [%s] you will need to update your soft version.");
        VORN_LOG(LOG_INFO, "[%s:%d] [%s] iCheckRst == %d, soft  error.", 2);
        return -1;
    default: VORN_LOG(LOG_INFO, "[%s:%d] [%s] iCheckRst is %d error.", static_cast<int>(iCheckRst)); return -1;
    }
}
