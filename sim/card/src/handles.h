// The handles our libexanic functions hand out.
#ifndef VORN_SIM_CARD_HANDLES_H
#define VORN_SIM_CARD_HANDLES_H

#include <cstdint>

#include "device.h"
#include "refill.h"
#include "ring.h"

// Open handles are kept on a process-wide list, as the card's handles are process resources:
// an application that never releases its handle still holds it reachable, not leaked.
struct exanic {
    vorn_sim::Mapping* mapping;
    uint32_t tick_hz; // read once when acquired, as the card's tick rate does not change
    exanic* prev;
    exanic* next;
};

// A receive buffer keeps its own reference to the mapping, so it stays usable even if the
// device handle is released first.
struct exanic_rx {
    vorn_sim::Mapping* mapping;
    int port;
    uint32_t tick_hz;
    vorn_sim::RxCursor cursor;
    vorn_sim::Refill refill; // called when the ring is found empty
};

#endif
