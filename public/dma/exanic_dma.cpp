#include "exanic_dma.h"

#include "CommonLog.h"

namespace Vorn_R10 {

CExanicDMA CExanicDMA::s_instance;

// Each channel logs its own failure, so the line names the init function that failed.
int CExanicDMA::exanic_dma0_init(exanic_t* pNicHandler) {
    if (!pNicHandler) {
        VORN_LOG(LOG_ERROR, "[%s:%d][%s] pNicHandler is nullptr");
        return -1;
    }
    m_pDMA0 = exanic_acquire_rx_buffer(pNicHandler, 0, 0);
    if (!m_pDMA0) {
        VORN_LOG(LOG_ERROR, "[%s:%d][%s] get tcp rx buffer failed, %s", exanic_get_last_error());
        return -1;
    }
    return 0;
}

int CExanicDMA::exanic_dma1_init(exanic_t* pNicHandler) {
    if (!pNicHandler) {
        VORN_LOG(LOG_ERROR, "[%s:%d][%s] pNicHandler is nullptr");
        return -1;
    }
    m_pDMA1 = exanic_acquire_rx_buffer(pNicHandler, 1, 0);
    if (!m_pDMA1) {
        VORN_LOG(LOG_ERROR, "[%s:%d][%s] get tcp rx buffer failed, %s", exanic_get_last_error());
        return -1;
    }
    return 0;
}

void CExanicDMA::Release() {
    if (m_pDMA0) exanic_release_rx_buffer(m_pDMA0);
    if (m_pDMA1) exanic_release_rx_buffer(m_pDMA1);
    m_pDMA0 = m_pDMA1 = nullptr;
}

} // namespace Vorn_R10
