// Entry points, construction, the start-up sequence and the receive loop.
#include "VornCffexMdApiImpl.h"

#include <sched.h>
#include <sys/sysinfo.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "exanic_dma.h"
#include "exanic_reg.h"

using namespace Vorn_R10;

extern "C" {
void (*gfunc_parser)(MarketDepthUpdate*) = nullptr;
void (*gfunc_parser_verison_2)(VornCffexMdType*) = nullptr;

VORN_API int set_parse_data(void (*ptrFunc)(MarketDepthUpdate*)) {
    gfunc_parser = ptrFunc;
    return 0;
}

VORN_API int set_parse_data_version_2(void (*ptrFunc)(VornCffexMdType*)) {
    gfunc_parser_verison_2 = ptrFunc;
    return 0;
}

VORN_API int init_connector(const char* filename) {
    if (!filename) return -1;
    CSignalProcess::InitSignal();
    CVornCffexMdApi* api = CVornCffexMdApi::CreateVornCffexMdApi();
    if (!api) return -1;
    CVornCffexMdSpiImpl spi;
    const int result = api->VornRecvStart(spi, filename);
    // A failed start-up releases the connector too: an application may retry in a loop.
    CVornCffexMdApi::DestroyVornCffexMdApi(*api);
    if (result != 0) {
        printf("IMdToAppApi VornStart is fail, [%d]. \n", result);
        fflush(stdout);
        return result;
    }
    return 0;
}
}

CVornCffexMdApi* CVornCffexMdApi::CreateVornCffexMdApi() { return new (std::nothrow) CVornCffexMdApiImpl(); }

// A reference bound through a null pointer deletes nothing: delete of null is a no-op.
void CVornCffexMdApi::DestroyVornCffexMdApi(CVornCffexMdApi& refApi) {
    delete static_cast<CVornCffexMdApiImpl*>(&refApi);
}

CVornCffexMdApiImpl::CVornCffexMdApiImpl() : m_logServer(CCommonLog::GetInstance()) {
    m_udp_src_ip_a.Assign("192.168.1.1");
    m_udp_dst_port_a.Assign("37110");
    m_udp_src_ip_b.Assign("192.168.1.2");
    m_udp_dst_port_b.Assign("37110");
    m_ins_price_infos.max_load_factor(1.0f);
    m_ins_price_infos.reserve(10);
    m_depth_market_data_infos.max_load_factor(1.0f);
    m_depth_market_data_infos.reserve(10);
    m_depth_market_trust_flag.max_load_factor(1.0f);
    m_depth_market_trust_flag.reserve(10);
    m_FieldData.resize(kFieldScratchBytes);
}

// Queued packets go back to the idle chain and every node is freed by the list itself.
CVornCffexMdApiImpl::~CVornCffexMdApiImpl() = default;

int CVornCffexMdApiImpl::VornRecvStart(CVornCffexMdSpi& refVornCffexMdSpi, const char* lpConfig) {
    if (VornStart(refVornCffexMdSpi, lpConfig) != 0) {
        m_counters.SetRunState(COUNTERS_START_FAILED);
        ReleaseCard();
        return -1;
    }
    m_counters.SetRunState(COUNTERS_RUNNING);
    while (VornRecv() != -1) {
    }
    // The stop request ended this connector; a later init_connector in the same process runs.
    m_isExit.store(false, std::memory_order_relaxed);
    ReleaseCard();
    return 0;
}

void CVornCffexMdApiImpl::ReleaseCard() {
    CExanicDMA::GetInstance().Release();
    CExanicReg::GetInstance().Release();
    if (m_pNicHandler) exanic_release_handle(m_pNicHandler);
    m_pNicHandler = nullptr;
}

int CVornCffexMdApiImpl::VornStart(CVornCffexMdSpi& refVornCffexMdSpi, const char* lpConfig) {
    if (!lpConfig) {
        printf("VornStart error, lpConfig is nullptr");
        fflush(stdout);
        return -1;
    }
    init_snaphot_params();
    init_market_data();
    m_vornCffexMdSpiOptional.m_pointer = &refVornCffexMdSpi;
    m_configFileName.Assign(lpConfig, strnlen(lpConfig, sizeof m_configFileName.m_value));

    if (_ReadConfig() != 0) {
        puts("Init, _ReadConfig failed ");
        fflush(stdout);
        return -1;
    }
    StartCounters();
    m_ExanicRecvList.Init(m_r10ConfigInfo.exanic_cache_size, 32767);
    if (LoadSnaphot() != 0) return -1;
    ChooseWorkMode();
    if (m_iWorkMode != 2 && PrepareCodePage() != 0) return -1;
    CountSelectedInstruments();
    _BindCpu();
    if (m_r10ConfigInfo.socket_transport) return StartSockets();

    const char* device = m_r10ConfigInfo.device.c_str();
    m_pNicHandler = exanic_acquire_handle(device);
    if (!m_pNicHandler) {
        VORN_LOG(LOG_ERROR, "[%s:%d][%s] get [%s] handle failed, %s", device, exanic_get_last_error());
        return -1;
    }
    if (CExanicReg::GetInstance().fpga_init(m_pNicHandler) != 0) {
        VORN_LOG(LOG_ERROR, "[%s:%d][%s] get [%s] reg init failed, %s", device, exanic_get_last_error());
        return -1;
    }
    if (CExanicDMA::GetInstance().exanic_dma0_init(m_pNicHandler) != 0) {
        VORN_LOG(LOG_ERROR, "[%s:%d][%s] get [%s] dma0 init failed, %s", device, exanic_get_last_error());
        return -1;
    }
    if (CExanicDMA::GetInstance().exanic_dma1_init(m_pNicHandler) != 0) {
        VORN_LOG(LOG_ERROR, "[%s:%d][%s] get [%s] dma1 init failed, %s", device, exanic_get_last_error());
        return -1;
    }
    m_counters.StartupStep(STARTUP_CARD_OPENED);
    m_counters.EnableWireToCallback(); // from the card's timestamps
    _InitFpgaCommon();
    if (_CheckVersion() != 0) {
        VORN_LOG(LOG_ERROR, "[%s:%d] [%s] _CheckVersion failed");
        return -1;
    }
    m_counters.StartupStep(STARTUP_VERSION_CHECKED);
    if (m_iWorkMode == 2) {
        _InitFpgaUdp();
        _MarketToContract();
        _WriteContractTable(m_instTable, 2048);
        m_counters.StartupStep(STARTUP_FPGA_READY);
        CExanicReg::GetInstance().set_fpga_reg(TABLE_END_FLAG, 1);
        return 0;
    }
    ParseFeedChannels();
    m_counters.StartupStep(STARTUP_FPGA_READY);
    _InitSoftUdp();
    return 0;
}

int CVornCffexMdApiImpl::VornRecv() {
    if (m_isExit.load(std::memory_order_relaxed)) return -1;
    if (m_r10ConfigInfo.socket_transport) {
        SocketReceive();
        return 0;
    }
    if (m_iWorkMode == 2) {
        ExanicCffexDMA1();
        ExanicCffexDMA0_Abnormal_Event();
        return 0;
    }
    ExanicCffexDMA0();
    return 0;
}

void CVornCffexMdApiImpl::_BindCpu() {
    const int core = m_r10ConfigInfo.cpucore;
    if (core < 0 || core > get_nprocs()) {
        VORN_LOG(LOG_WARNING, "[%s:%d] [%s] CPU[%d] exceed max procs.", core);
        return;
    }
    cpu_set_t set; // 1024 bits
    CPU_ZERO(&set);
    if (core < CPU_SETSIZE) CPU_SET(core, &set);
    if (sched_setaffinity(0, sizeof set, &set) == 0)
        VORN_LOG(LOG_INFO, "[%s:%d] [%s] set CPU[%d] affinity successful\n", core);
    else
        VORN_LOG(LOG_WARNING, "[%s:%d] [%s] set CPU[%d] affinity failed\n", core);
}
