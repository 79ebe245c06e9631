// libexanic's device and receive functions over a simulated device.
#include <atomic>
#include <mutex>

#include "card_clock.h"
#include "device.h"
#include "exanic/exanic.h"
#include "exanic/fifo_rx.h"
#include "exanic/util.h"
#include "export.h"
#include "handles.h"
#include "vorn_sim_card.h"

using vorn_sim::ErrorSink;

namespace {

// Card time (ticks, and the tick rate) of the last frame each port returned in this process;
// converted to nanoseconds only when asked for.
std::atomic<int64_t> last_rx_ticks[VORN_SIM_PORTS];
std::atomic<uint32_t> last_rx_tick_hz[VORN_SIM_PORTS];

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
    const uint32_t tick_hz = const_cast<const volatile uint32_t*>(mapping->dev->card_registers)[vorn_sim::kRegClockHz];
    exanic* handle = new exanic{mapping, tick_hz, nullptr, nullptr};
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
    return new exanic_rx{exanic->mapping, port_number, exanic->tick_hz, vorn_sim::RxCursor{&ring, start},
                         vorn_sim::find_refill(exanic->mapping->device, port_number)};
}

VORN_SIM_EXPORT void exanic_release_rx_buffer(exanic_rx_t* rx) {
    if (rx == nullptr) return;
    vorn_sim::release(rx->mapping);
    delete rx;
}

VORN_SIM_EXPORT ssize_t exanic_receive_frame(exanic_rx_t* rx, char* rx_buf, size_t rx_buf_size,
                                             exanic_cycles32_t* timestamp) {
    uint32_t stamp = 0;
    ssize_t result = vorn_sim::take_frame(rx->cursor, rx_buf, rx_buf_size, &stamp);
    if (result == 0 && rx->refill.fn != nullptr) {
        rx->refill.fn(rx->refill.context);
        result = vorn_sim::take_frame(rx->cursor, rx_buf, rx_buf_size, &stamp);
    }
    if (result == 0 || result == -EXANIC_RX_FRAME_SWOVFL) return result;
    if (timestamp != nullptr) *timestamp = stamp;
    if (result > 0) {
        // The handle's clock functions need only the mapping and the tick rate.
        exanic card{rx->mapping, rx->tick_hz, nullptr, nullptr};
        last_rx_ticks[rx->port].store(exanic_expand_timestamp(&card, stamp), std::memory_order_relaxed);
        last_rx_tick_hz[rx->port].store(rx->tick_hz, std::memory_order_relaxed);
    }
    return result;
}

VORN_SIM_EXPORT uint64_t vorn_sim_last_rx_put_ns(int port) {
    if (port < 0 || port >= VORN_SIM_PORTS) return 0;
    exanic card{nullptr, last_rx_tick_hz[port].load(std::memory_order_relaxed), nullptr, nullptr};
    const int64_t ns = exanic_cycles_to_ns(&card, last_rx_ticks[port].load(std::memory_order_relaxed));
    return ns > 0 ? static_cast<uint64_t>(ns) : 0;
}
