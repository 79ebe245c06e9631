#include "exanic_dma.h"

#include "CommonLog.h"

namespace Vorn_R10 {

namespace {

exanic_rx_t* AcquireChannel(exanic_t* pNicHandler, int port) {
    if (!pNicHandler) {
        VORN_LOG(LOG_ERROR, "[%s:%d][%s] pNicHandler is nullptr");
        return nullptr;
    }
    exanic_rx_t* channel = exanic_acquire_rx_buffer(pNicHandler, port, 0);
    if (!channel) VORN_LOG(LOG_ERROR, "[%s:%d][%s] get tcp rx buffer failed, %s", exanic_get_last_error());
    return channel;
}

} // namespace

CExanicDMA& CExanicDMA::GetInstance() {
    static CExanicDMA instance;
    return instance;
}

int CExanicDMA::exanic_dma0_init(exanic_t* pNicHandler) {
    m_pDMA0 = AcquireChannel(pNicHandler, 0);
    return m_pDMA0 ? 0 : -1;
}

int CExanicDMA::exanic_dma1_init(exanic_t* pNicHandler) {
    m_pDMA1 = AcquireChannel(pNicHandler, 1);
    return m_pDMA1 ? 0 : -1;
}

} // namespace Vorn_R10
