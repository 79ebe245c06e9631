// The control side of the simulated card: devices, registers, frames, counters, faults.
#include <time.h>

#include "card_clock.h"
#include "device.h"
#include "export.h"
#include "refill.h"
#include "ring.h"
#include "vorn_sim_card.h"

using vorn_sim::ErrorSink;

struct vorn_sim_card {
    vorn_sim::Mapping* mapping;
};

namespace {

bool valid_port(int port) { return port >= 0 && port < VORN_SIM_PORTS; }

vorn_sim::PortRing& port_ring(vorn_sim_card_t* card, int port) { return card->mapping->dev->ports[port]; }

} // namespace

VORN_SIM_EXPORT int vorn_sim_create(const char* device) { return vorn_sim::create_device(device) ? 0 : -1; }

VORN_SIM_EXPORT int vorn_sim_remove(const char* device) { return vorn_sim::remove_device(device) ? 0 : -1; }

VORN_SIM_EXPORT vorn_sim_card_t* vorn_sim_open(const char* device) {
    vorn_sim::Mapping* mapping = vorn_sim::map_device(device, ErrorSink::control);
    return mapping == nullptr ? nullptr : new vorn_sim_card{mapping};
}

VORN_SIM_EXPORT void vorn_sim_close(vorn_sim_card_t* card) {
    if (card == nullptr) return;
    vorn_sim::release(card->mapping);
    delete card;
}

VORN_SIM_EXPORT const char* vorn_sim_last_error(void) { return vorn_sim::error_text(ErrorSink::control); }

VORN_SIM_EXPORT uint32_t vorn_sim_read_reg(vorn_sim_card_t* card, uint32_t reg) {
    if (reg >= VORN_SIM_REGISTER_WORDS) return 0;
    volatile uint32_t* registers = card->mapping->dev->registers;
    return registers[reg];
}

VORN_SIM_EXPORT void vorn_sim_write_reg(vorn_sim_card_t* card, uint32_t reg, uint32_t value) {
    if (reg >= VORN_SIM_REGISTER_WORDS) return;
    volatile uint32_t* registers = card->mapping->dev->registers;
    registers[reg] = value;
}

VORN_SIM_EXPORT int vorn_sim_put_frame(vorn_sim_card_t* card, int port, const void* frame, size_t len,
                                       vorn_sim_put_mode mode, unsigned flags) {
    if (!valid_port(port)) {
        vorn_sim::set_error(ErrorSink::control, "no port %d (ports 0-%d)", port, VORN_SIM_PORTS - 1);
        return -1;
    }
    if (len > VORN_SIM_MAX_FRAME || (len > 0 && frame == nullptr)) {
        vorn_sim::set_error(ErrorSink::control, "frame of %zu bytes does not fit a slot (max %u)", len,
                            VORN_SIM_MAX_FRAME);
        return -1;
    }
    vorn_sim::PutStatus status =
        vorn_sim::put_frame(port_ring(card, port), frame, len, mode == VORN_SIM_WAIT, flags,
                           vorn_sim::stamp_now(*card->mapping->dev));
    if (status == vorn_sim::PutStatus::reader_stalled) {
        vorn_sim::set_error(ErrorSink::control, "%s port %d: the reader made no room for 10 s, frame not put",
                            card->mapping->device, port);
        return -1;
    }
    return 0;
}

VORN_SIM_EXPORT uint64_t vorn_sim_backlog(vorn_sim_card_t* card, int port) {
    if (!valid_port(port)) return 0;
    vorn_sim::PortRing& ring = port_ring(card, port);
    uint64_t tail = ring.tail.load(std::memory_order_acquire);
    uint64_t head = ring.head.load(std::memory_order_acquire);
    return head > tail ? head - tail : 0;
}

VORN_SIM_EXPORT int vorn_sim_get_counters(vorn_sim_card_t* card, int port, vorn_sim_counters* out) {
    if (!valid_port(port) || out == nullptr) {
        vorn_sim::set_error(ErrorSink::control, "no port %d (ports 0-%d)", port, VORN_SIM_PORTS - 1);
        return -1;
    }
    vorn_sim::PortRing& ring = port_ring(card, port);
    out->put = ring.head.load(std::memory_order_acquire);
    out->taken = ring.taken.load(std::memory_order_relaxed);
    out->lost = ring.lost.load(std::memory_order_relaxed);
    return 0;
}

VORN_SIM_EXPORT int vorn_sim_set_refill(vorn_sim_card_t* card, int port, void (*refill)(void* context), void* context) {
    if (!valid_port(port)) {
        vorn_sim::set_error(ErrorSink::control, "no port %d (ports 0-%d)", port, VORN_SIM_PORTS - 1);
        return -1;
    }
    vorn_sim::set_refill(card->mapping->device, port, vorn_sim::Refill{refill, context});
    return 0;
}

VORN_SIM_EXPORT void vorn_sim_fail_next(vorn_sim_card_t* card, unsigned what) {
    card->mapping->dev->fail_bits.fetch_or(what, std::memory_order_acq_rel);
}

VORN_SIM_EXPORT uint64_t vorn_sim_now_ns(void) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}
