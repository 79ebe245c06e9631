// The card's two receive channels: port 0 (raw feed or events) and port 1 (decoded records).
#pragma once

#include <exanic/exanic.h>
#include <exanic/fifo_rx.h>

namespace Vorn_R10 {

class CExanicDMA {
public:
    // One per process, constant-initialized: the receive loop reaches it with no call or guard.
    static CExanicDMA& GetInstance() { return s_instance; }

    int exanic_dma0_init(exanic_t* pNicHandler);
    int exanic_dma1_init(exanic_t* pNicHandler);
    exanic_rx_t* get_dma0_ptr() const { return m_pDMA0; }
    exanic_rx_t* get_dma1_ptr() const { return m_pDMA1; }
    // Gives both receive buffers back (a connector that ends; the next one acquires its own).
    void Release();

private:
    constexpr CExanicDMA() = default;
    static CExanicDMA s_instance;
    exanic_rx_t* m_pDMA0 = nullptr;
    exanic_rx_t* m_pDMA1 = nullptr;
};

} // namespace Vorn_R10
