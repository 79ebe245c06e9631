// Opening, creating and removing simulated devices, and the error texts of both APIs.
#ifndef VORN_SIM_CARD_DEVICE_H
#define VORN_SIM_CARD_DEVICE_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "layout.h"

namespace vorn_sim {

// Which API's last-error text a failure is reported through.
enum class ErrorSink { exanic, control };

void set_error(ErrorSink sink, const char* format, ...) __attribute__((format(printf, 2, 3)));
const char* error_text(ErrorSink sink);

// A process-local mapping of one device, shared by the handles that use it and unmapped when
// the last of them lets go.
struct Mapping {
    DeviceLayout* dev;
    std::atomic<int> refs;
    char device[64];
};

// Maps an existing device of this layout; NULL with the error set (and errno ENOENT when it
// does not exist, ENODEV when it is of another layout) otherwise. With fd_out, the open
// shared-memory object is kept there.
DeviceLayout* open_device(const char* device, ErrorSink sink, int* fd_out);
// Maps an existing device; NULL with the error set when it does not exist or is not one.
Mapping* map_device(const char* device, ErrorSink sink);
void retain(Mapping* mapping);
void release(Mapping* mapping);

// Creates the device or resets an existing one in place. False with the control error set.
bool create_device(const char* device);
bool remove_device(const char* device);

// Clears `bit` in the device's fail flags and tells whether it was set.
bool take_fail_bit(Mapping* mapping, uint32_t bit);

} // namespace vorn_sim

#endif
