// libexanic's device and receive functions over a simulated device.
#include <atomic>
#include <mutex>

#include "device.h"
#include "exanic/exanic.h"
#include "exanic/fifo_rx.h"
#include "exanic/util.h"
#include "export.h"
#include "refill.h"
#include "ring.h"
#include "vorn_sim_card.h"

using vorn_sim::ErrorSink;

// Open handles are kept on a process-wide list, as the card's handles are process resources:
// an application that never releases its handle still holds it reachable, not leaked.
struct exanic {
    vorn_sim::Mapping* mapping;
    exanic* prev;
    exanic* next;
};

// A receive buffer keeps its own reference to the mapping, so it stays usable even if the
// device handle is released first.
struct exanic_rx {
    vorn_sim::Mapping* mapping;
    int port;
    vorn_sim::RxCursor cursor;
    vorn_sim::Refill refill; // called when the ring is found empty
};

namespace {

std::atomic<uint64_t> last_rx_put_ns[VORN_SIM_PORTS];

std::mutex open_handles_mutex;
exanic* open_handles = nullptr;

void track(exanic* handle) {
    std::lock_guard<std::mutex> guard(open_handles_mutex);
    handle->prev = nullptr;
    handle->next = open_handles;
    if (open_handles != nullptr) open_handles->prev = handle;
    open_handles = handle;
}

void untrack(exanic* handle) {
    std::lock_guard<std::mutex> guard(open_handles_mutex);
    if (handle->prev != nullptr)
        handle->prev->next = handle->next;
    else
        open_handles = handle->next;
    if (handle->next != nullptr) handle->next->prev = handle->prev;
}

uint32_t rx_fail_bit(int port) { return port == 0 ? VORN_SIM_FAIL_RX0 : VORN_SIM_FAIL_RX1; }

bool valid_rx_channel(exanic_t* exanic, int port, int buffer) {
    if (exanic == nullptr) {
        vorn_sim::set_error(ErrorSink::exanic, "exanic_acquire_rx_buffer: no device handle");
        return false;
    }
    if (port < 0 || port >= VORN_SIM_PORTS || buffer != 0) {
        vorn_sim::set_error(ErrorSink::exanic, "%s has no receive buffer %d on port %d (ports 0-%d, buffer 0 only)",
                            exanic->mapping->device, buffer, port, VORN_SIM_PORTS - 1);
        return false;
    }
    return true;
}

} // namespace

VORN_SIM_EXPORT exanic_t* exanic_acquire_handle(const char* device_name) {
    vorn_sim::Mapping* mapping = vorn_sim::map_device(device_name, ErrorSink::exanic);
    if (mapping == nullptr) return nullptr;
    if (vorn_sim::take_fail_bit(mapping, VORN_SIM_FAIL_HANDLE)) {
        vorn_sim::set_error(ErrorSink::exanic, "exanic_acquire_handle(%s): injected failure", device_name);
        vorn_sim::release(mapping);
        return nullptr;
    }
    exanic* handle = new exanic{mapping, nullptr, nullptr};
    track(handle);
    return handle;
}

VORN_SIM_EXPORT void exanic_release_handle(exanic_t* exanic) {
    if (exanic == nullptr) return;
    untrack(exanic);
    vorn_sim::release(exanic->mapping);
    delete exanic;
}

VORN_SIM_EXPORT volatile uint32_t* exanic_get_devkit_registers(exanic_t* exanic) {
    if (exanic == nullptr) {
        vorn_sim::set_error(ErrorSink::exanic, "exanic_get_devkit_registers: no device handle");
        return nullptr;
    }
    if (vorn_sim::take_fail_bit(exanic->mapping, VORN_SIM_FAIL_REGISTERS)) {
        vorn_sim::set_error(ErrorSink::exanic, "exanic_get_devkit_registers(%s): injected failure",
                            exanic->mapping->device);
        return nullptr;
    }
    return exanic->mapping->dev->registers;
}

VORN_SIM_EXPORT const char* exanic_get_last_error(void) { return vorn_sim::error_text(ErrorSink::exanic); }

VORN_SIM_EXPORT exanic_rx_t* exanic_acquire_rx_buffer(exanic_t* exanic, int port_number, int buffer_number) {
    if (!valid_rx_channel(exanic, port_number, buffer_number)) return nullptr;
    if (vorn_sim::take_fail_bit(exanic->mapping, rx_fail_bit(port_number))) {
        vorn_sim::set_error(ErrorSink::exanic, "exanic_acquire_rx_buffer(%s, port %d): injected failure",
                            exanic->mapping->device, port_number);
        return nullptr;
    }
    vorn_sim::PortRing& ring = exanic->mapping->dev->ports[port_number];
    vorn_sim::retain(exanic->mapping);
    // Start where the last reader of this port stopped: frames put before we came are ours.
    uint64_t start = ring.tail.load(std::memory_order_acquire);
    return new exanic_rx{exanic->mapping, port_number, vorn_sim::RxCursor{&ring, start},
                         vorn_sim::find_refill(exanic->mapping->device, port_number)};
}

VORN_SIM_EXPORT void exanic_release_rx_buffer(exanic_rx_t* rx) {
    if (rx == nullptr) return;
    vorn_sim::release(rx->mapping);
    delete rx;
}

VORN_SIM_EXPORT ssize_t exanic_receive_frame(exanic_rx_t* rx, char* rx_buf, size_t rx_buf_size,
                                             exanic_cycles32_t* timestamp) {
    uint64_t put_ns = 0;
    ssize_t result = vorn_sim::take_frame(rx->cursor, rx_buf, rx_buf_size, &put_ns);
    if (result == 0 && rx->refill.fn != nullptr) {
        rx->refill.fn(rx->refill.context);
        result = vorn_sim::take_frame(rx->cursor, rx_buf, rx_buf_size, &put_ns);
    }
    if (result == 0 || result == -EXANIC_RX_FRAME_SWOVFL) return result;
    if (timestamp != nullptr) *timestamp = static_cast<exanic_cycles32_t>(put_ns);
    if (result > 0) last_rx_put_ns[rx->port].store(put_ns, std::memory_order_relaxed);
    return result;
}

VORN_SIM_EXPORT uint64_t vorn_sim_last_rx_put_ns(int port) {
    if (port < 0 || port >= VORN_SIM_PORTS) return 0;
    return last_rx_put_ns[port].load(std::memory_order_relaxed);
}
