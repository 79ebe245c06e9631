// Feeding a port from its reader's own thread: a hook, registered per device and port in this
// process, that a receive buffer acquired afterwards calls whenever it finds its ring empty.
#ifndef VORN_SIM_CARD_REFILL_H
#define VORN_SIM_CARD_REFILL_H

namespace vorn_sim {

struct Refill {
    void (*fn)(void* context) = nullptr; // nullptr: no hook
    void* context = nullptr;
};

// Registers (or with fn nullptr removes) the hook of `device`'s `port` for receive buffers
// acquired afterwards in this process.
void set_refill(const char* device, int port, Refill refill);
// The hook registered for `device`'s `port`; fn nullptr when none.
Refill find_refill(const char* device, int port);

} // namespace vorn_sim

#endif
