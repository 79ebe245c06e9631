#include "device.h"

#include "card_clock.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

// Devices are POSIX shared-memory objects (/dev/shm); with VORN_SIM_SHM_DIR set, files of the
// same name in that folder instead, so a test run keeps its cards in a folder of its own.
std::string object_path(const char* name) {
    const char* dir = std::getenv("VORN_SIM_SHM_DIR");
    return dir && *dir ? std::string(dir) + name : std::string();
}

int open_object(const char* name, int flags, mode_t mode) {
    const std::string path = object_path(name);
    return path.empty() ? shm_open(name, flags, mode) : open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, mode);
}

int unlink_object(const char* name) {
    const std::string path = object_path(name);
    return path.empty() ? shm_unlink(name) : unlink(path.c_str());
}

DeviceLayout* map_fd(int fd) {
    void* base = mmap(nullptr, sizeof(DeviceLayout), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return base == MAP_FAILED ? nullptr : static_cast<DeviceLayout*>(base);
}

void reset_port(PortState& state, RxRing& ring) {
    state.put_chunks.store(0, std::memory_order_relaxed);
    state.put_frames.store(0, std::memory_order_relaxed);
    state.read_chunks.store(0, std::memory_order_relaxed);
    state.taken.store(0, std::memory_order_relaxed);
    state.lost.store(0, std::memory_order_relaxed);
    state.skipped.store(0, std::memory_order_relaxed);
    state.blind_readers.store(0, std::memory_order_relaxed);
    // All zeros: every chunk of the generation before the first lap's, as a new ring.
    std::memset(static_cast<void*>(&ring), 0, sizeof ring);
}

// The card's registers the vendor's library reads when it acquires a handle and a buffer: a
// 10G card (whose clock is the one simulated), both ports implemented, receiving and enabled.
void preset_card_registers(DeviceLayout& dev) {
    volatile uint32_t* regs = dev.card_registers;
    regs[kRegHardwareId] = kHardwareIdX10;
    for (uint32_t port = 0; port < VORN_SIM_PORTS; ++port) {
        regs[port_register(port, kPortEnabled)] = 1;
        regs[port_register(port, kPortStatus)] = 0;
    }
}

// Zeroes all state, rings included, and presets the registers and the clock.
void reset_device(DeviceLayout& dev) {
    Header& header = dev.header;
    header.fail_bits.store(0, std::memory_order_relaxed);
    std::memset(dev.registers, 0, sizeof dev.registers);
    std::memset(dev.card_registers, 0, sizeof dev.card_registers);
    std::memset(dev.devkit_memory, 0, sizeof dev.devkit_memory);
    start_clock(dev);
    for (int port = 0; port < VORN_SIM_PORTS; ++port) reset_port(header.ports[port], dev.rx[port]);
    preset_card_registers(dev);
    dev.registers[kRegisterVerdict] = VORN_SIM_VERDICT_OK;
    dev.registers[kRegisterFirmwareVersion] = VORN_SIM_FIRMWARE_VERSION;
    header.layout_version = kLayoutVersion;
    std::atomic_thread_fence(std::memory_order_release);
    header.magic = kDeviceMagic;
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

DeviceLayout* open_device(const char* device, ErrorSink sink, int* fd_out) {
    if (!valid_device_name(device, sink)) return nullptr;
    char name[kShmNameSize];
    shm_name_of(device, name);
    int fd = open_object(name, O_RDWR, 0);
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
    if (dev == nullptr || dev->header.magic != kDeviceMagic || dev->header.layout_version != kLayoutVersion) {
        if (dev != nullptr) munmap(dev, sizeof(DeviceLayout));
        close(fd);
        set_error(sink,
                  "'%s' is not a simulated ExaNIC device of this version (recreate it with "
                  "vorn-card create %s)",
                  device, device);
        errno = ENODEV;
        return nullptr;
    }
    if (fd_out != nullptr)
        *fd_out = fd;
    else
        close(fd);
    return dev;
}

Mapping* map_device(const char* device, ErrorSink sink) {
    DeviceLayout* dev = open_device(device, sink, nullptr);
    if (dev == nullptr) return nullptr;
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
    int fd = open_object(name, O_RDWR | O_CREAT, 0666);
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
    if (unlink_object(name) != 0) {
        set_error(ErrorSink::control, "cannot remove simulated ExaNIC device '%s': %s", device, std::strerror(errno));
        return false;
    }
    return true;
}

bool take_fail_bit(Mapping* mapping, uint32_t bit) {
    return (mapping->dev->header.fail_bits.fetch_and(~bit, std::memory_order_acq_rel) & bit) != 0;
}

} // namespace vorn_sim
