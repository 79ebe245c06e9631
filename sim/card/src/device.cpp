#include "device.h"

#include "card_clock.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace vorn_sim {
namespace {

constexpr size_t kErrorSize = 256;
constexpr size_t kShmNameSize = 96;
constexpr char kShmPrefix[] = "/vorn_exanic_";

thread_local char exanic_error[kErrorSize];
thread_local char control_error[kErrorSize];

char* error_buffer(ErrorSink sink) { return sink == ErrorSink::exanic ? exanic_error : control_error; }

// Device names become part of a shared-memory object name: no slashes, bounded length.
bool valid_device_name(const char* device, ErrorSink sink) {
    if (device == nullptr || device[0] == '\0') {
        set_error(sink, "empty simulated ExaNIC device name");
        return false;
    }
    if (std::strchr(device, '/') != nullptr || std::strlen(device) >= sizeof(Mapping::device)) {
        set_error(sink, "invalid simulated ExaNIC device name '%s' (no '/', at most %zu chars)", device,
                  sizeof(Mapping::device) - 1);
        return false;
    }
    return true;
}

void shm_name_of(const char* device, char (&name)[kShmNameSize]) {
    std::snprintf(name, sizeof name, "%s%s", kShmPrefix, device);
}

DeviceLayout* map_fd(int fd) {
    void* base = mmap(nullptr, sizeof(DeviceLayout), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return base == MAP_FAILED ? nullptr : static_cast<DeviceLayout*>(base);
}

void reset_port(PortRing& port) {
    port.head.store(0, std::memory_order_relaxed);
    port.write_at.store(0, std::memory_order_relaxed);
    port.tail.store(0, std::memory_order_relaxed);
    port.taken.store(0, std::memory_order_relaxed);
    port.lost.store(0, std::memory_order_relaxed);
    for (SlotHeader& slot : port.slots) {
        slot.seq.store(0, std::memory_order_relaxed);
        slot.stamp.store(0, std::memory_order_relaxed);
        slot.len.store(0, std::memory_order_relaxed);
        slot.flags.store(0, std::memory_order_relaxed);
        slot.offset.store(0, std::memory_order_relaxed);
    }
}

// Zeroes all state but the frame bytes (unreachable once the slot headers are reset).
void reset_device(DeviceLayout& dev) {
    dev.fail_bits.store(0, std::memory_order_relaxed);
    std::memset(dev.registers, 0, sizeof dev.registers);
    std::memset(dev.card_registers, 0, sizeof dev.card_registers);
    start_clock(dev);
    for (PortRing& port : dev.ports) reset_port(port);
    dev.registers[kRegisterVerdict] = VORN_SIM_VERDICT_OK;
    dev.registers[kRegisterFirmwareVersion] = VORN_SIM_FIRMWARE_VERSION;
    dev.layout_version = kLayoutVersion;
    std::atomic_thread_fence(std::memory_order_release);
    dev.magic = kDeviceMagic;
}

// Gives the object exactly the device size; an object of another size is cleared first.
bool size_object(int fd, const char* device) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        set_error(ErrorSink::control, "cannot stat device '%s': %s", device, std::strerror(errno));
        return false;
    }
    if (static_cast<size_t>(st.st_size) == sizeof(DeviceLayout)) return true;
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, sizeof(DeviceLayout)) != 0) {
        set_error(ErrorSink::control, "cannot size device '%s': %s", device, std::strerror(errno));
        return false;
    }
    return true;
}

} // namespace

void set_error(ErrorSink sink, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(error_buffer(sink), kErrorSize, format, args);
    va_end(args);
}

const char* error_text(ErrorSink sink) { return error_buffer(sink); }

Mapping* map_device(const char* device, ErrorSink sink) {
    if (!valid_device_name(device, sink)) return nullptr;
    char name[kShmNameSize];
    shm_name_of(device, name);
    int fd = shm_open(name, O_RDWR, 0);
    if (fd < 0) {
        if (errno == ENOENT)
            set_error(sink, "no simulated ExaNIC device '%s' (create it with vorn-card create %s)", device, device);
        else
            set_error(sink, "cannot open simulated ExaNIC device '%s': %s", device, std::strerror(errno));
        return nullptr;
    }
    struct stat st;
    bool sized = fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) == sizeof(DeviceLayout);
    DeviceLayout* dev = sized ? map_fd(fd) : nullptr;
    close(fd);
    if (dev == nullptr || dev->magic != kDeviceMagic || dev->layout_version != kLayoutVersion) {
        if (dev != nullptr) munmap(dev, sizeof(DeviceLayout));
        set_error(sink,
                  "'%s' is not a simulated ExaNIC device of this version (recreate it with "
                  "vorn-card create %s)",
                  device, device);
        return nullptr;
    }
    Mapping* mapping = new Mapping;
    mapping->dev = dev;
    mapping->refs.store(1, std::memory_order_relaxed);
    std::snprintf(mapping->device, sizeof mapping->device, "%s", device);
    return mapping;
}

void retain(Mapping* mapping) { mapping->refs.fetch_add(1, std::memory_order_relaxed); }

void release(Mapping* mapping) {
    if (mapping == nullptr || mapping->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    munmap(mapping->dev, sizeof(DeviceLayout));
    delete mapping;
}

bool create_device(const char* device) {
    if (!valid_device_name(device, ErrorSink::control)) return false;
    char name[kShmNameSize];
    shm_name_of(device, name);
    int fd = shm_open(name, O_RDWR | O_CREAT, 0666);
    if (fd < 0) {
        set_error(ErrorSink::control, "cannot create simulated ExaNIC device '%s': %s", device, std::strerror(errno));
        return false;
    }
    if (!size_object(fd, device)) {
        close(fd);
        return false;
    }
    DeviceLayout* dev = map_fd(fd);
    int map_errno = errno;
    close(fd);
    if (dev == nullptr) {
        set_error(ErrorSink::control, "cannot map device '%s': %s", device, std::strerror(map_errno));
        return false;
    }
    reset_device(*dev);
    munmap(dev, sizeof(DeviceLayout));
    return true;
}

bool remove_device(const char* device) {
    if (!valid_device_name(device, ErrorSink::control)) return false;
    char name[kShmNameSize];
    shm_name_of(device, name);
    if (shm_unlink(name) != 0) {
        set_error(ErrorSink::control, "cannot remove simulated ExaNIC device '%s': %s", device, std::strerror(errno));
        return false;
    }
    return true;
}

bool take_fail_bit(Mapping* mapping, uint32_t bit) {
    return (mapping->dev->fail_bits.fetch_and(~bit, std::memory_order_acq_rel) & bit) != 0;
}

} // namespace vorn_sim
