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

vorn_sim::PortState& port_state(vorn_sim_card_t* card, int port) { return card->mapping->dev->header.ports[port]; }

// The frame status a put's flags ask for: the last chunk carries one error at most.
uint8_t status_of(unsigned flags) {
    if (flags & VORN_SIM_FRAME_FAULTY) return vorn_sim::kStatusCorrupt;
    if (flags & VORN_SIM_FRAME_ABORTED) return vorn_sim::kStatusAborted;
    if (flags & VORN_SIM_FRAME_HW_OVERFLOW) return vorn_sim::kStatusHwOverflow;
    return 0;
}

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
    if (len == 0 || len > VORN_SIM_MAX_FRAME || frame == nullptr) {
        vorn_sim::set_error(ErrorSink::control, "frame of %zu bytes cannot be put (1 to %u bytes)", len,
                            VORN_SIM_MAX_FRAME);
        return -1;
    }
    vorn_sim::DeviceLayout& dev = *card->mapping->dev;
    vorn_sim::PutStatus status = vorn_sim::put_frame(port_state(card, port), dev.rx[port], frame, len,
                                                     mode == VORN_SIM_WAIT, status_of(flags), vorn_sim::stamp_now(dev));
    if (status == vorn_sim::PutStatus::reader_stalled) {
        vorn_sim::set_error(ErrorSink::control, "%s port %d: the reader made no room for 10 s, frame not put",
                            card->mapping->device, port);
        return -1;
    }
    return 0;
}

VORN_SIM_EXPORT int64_t vorn_sim_put_lapping(vorn_sim_card_t* card, int port, const void* frame, size_t len) {
    if (!valid_port(port) || len == 0 || len > VORN_SIM_MAX_FRAME || frame == nullptr) {
        vorn_sim::set_error(ErrorSink::control, "no port %d or a frame of %zu bytes (1 to %u)", port, len,
                            VORN_SIM_MAX_FRAME);
        return -1;
    }
    vorn_sim::DeviceLayout& dev = *card->mapping->dev;
    return static_cast<int64_t>(
        vorn_sim::put_lapping(port_state(card, port), dev.rx[port], frame, len, vorn_sim::stamp_now(dev)));
}

VORN_SIM_EXPORT uint64_t vorn_sim_backlog(vorn_sim_card_t* card, int port) {
    if (!valid_port(port)) return 0;
    const vorn_sim::PortState& state = port_state(card, port);
    const uint64_t taken = state.taken.load(std::memory_order_acquire) + state.lost.load(std::memory_order_acquire) +
                           state.skipped.load(std::memory_order_acquire);
    const uint64_t put = state.put_frames.load(std::memory_order_acquire);
    return put > taken ? put - taken : 0;
}

VORN_SIM_EXPORT int vorn_sim_room(vorn_sim_card_t* card, int port, size_t len) {
    if (!valid_port(port) || len == 0 || len > VORN_SIM_MAX_FRAME) return 0;
    const vorn_sim::PortState& state = port_state(card, port);
    const uint64_t put = state.put_chunks.load(std::memory_order_relaxed);
    const uint64_t read = state.read_chunks.load(std::memory_order_acquire);
    return put + vorn_sim::chunks_for(len) - read <= vorn_sim::kRingChunks - 1 ? 1 : 0;
}

VORN_SIM_EXPORT int vorn_sim_get_counters(vorn_sim_card_t* card, int port, vorn_sim_counters* out) {
    if (!valid_port(port) || out == nullptr) {
        vorn_sim::set_error(ErrorSink::control, "no port %d (ports 0-%d)", port, VORN_SIM_PORTS - 1);
        return -1;
    }
    const vorn_sim::PortState& state = port_state(card, port);
    out->put = state.put_frames.load(std::memory_order_acquire);
    out->taken = state.taken.load(std::memory_order_relaxed);
    out->lost = state.lost.load(std::memory_order_relaxed);
    out->skipped = state.skipped.load(std::memory_order_relaxed);
    out->blind_readers = state.blind_readers.load(std::memory_order_relaxed);
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
    card->mapping->dev->header.fail_bits.fetch_or(what, std::memory_order_acq_rel);
}

VORN_SIM_EXPORT uint64_t vorn_sim_now_ns(void) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}
