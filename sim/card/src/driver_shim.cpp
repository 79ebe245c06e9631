// libvorn_card_driver.so: the card's driver interface over simulated cards, for LD_PRELOAD.
// Under it the vendor's unchanged libexanic finds a card: open("/dev/NAME") of a simulated
// card NAME gives a descriptor whose ioctl requests and mmap offsets are those of the card's
// driver, backed by the card's shared-memory object. Every other path and descriptor passes
// through to the C library untouched.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "device.h"
#include "export.h"

namespace {

using vorn_sim::DeviceLayout;

// Request layouts and numbers of the driver's interface (type 'x').
struct InfoEx {
    size_t tx_buffer_size;
    size_t filters_size;
    int if_index[4];
    int max_buffers;
};
struct InfoEx2 {
    size_t tx_buffer_size;
    size_t filters_size;
    unsigned int max_buffers;
    unsigned int num_ports;
    unsigned int reserved[2];
    int if_index[32];
};
struct DevkitInfo {
    unsigned regs_size;
    unsigned mem_size;
};
constexpr unsigned long kInfoEx = _IOR('x', 0xe0, InfoEx);
constexpr unsigned long kInfoEx2 = _IOR('x', 0xe0, InfoEx2);
constexpr unsigned long kDevkitInfo = _IOR('x', 0xed, DevkitInfo);
constexpr unsigned long kDevkitInfoEx = _IOR('x', 0xef, DevkitInfo);

// The driver's mmap page offsets.
constexpr off_t kPage = static_cast<off_t>(vorn_sim::kPageSize);
constexpr off_t kPgoffRegisters = 0;
constexpr off_t kPgoffInfo = 3;
constexpr off_t kPgoffRxRegion = 512;
constexpr off_t kRxRegionPages = 512; // 2 MiB a port
constexpr off_t kPgoffDevkitRegs = 262144;
constexpr off_t kPgoffDevkitMem = 262148;

constexpr int kMaxFds = 65536;
constexpr size_t kMaxRxMaps = 64;

// The open card descriptors: the shared-memory object's own descriptor, and the device mapped.
struct CardFd {
    DeviceLayout* dev;
};

struct RxMap {
    void* addr;
    DeviceLayout* dev;
    int port;
};

std::atomic<CardFd*> g_cards[kMaxFds];
std::mutex g_mutex; // opening, closing and the rx mappings
RxMap g_rx_maps[kMaxRxMaps];

template <typename Fn>
Fn next_symbol(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// The C library's own function `name`, looked up once.
#define REAL(Fn, name)                                               \
    ([] {                                                            \
        static const Fn fn = next_symbol<Fn>(name);                  \
        return fn;                                                   \
    }())

using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using MmapFn = void* (*)(void*, size_t, int, int, int, off_t);
using MunmapFn = int (*)(void*, size_t);
using RwFn = ssize_t (*)(int, void*, size_t);
using WriteFn = ssize_t (*)(int, const void*, size_t);

CardFd* card_of(int fd) {
    if (fd < 0 || fd >= kMaxFds) return nullptr;
    return g_cards[fd].load(std::memory_order_acquire);
}

// The simulated card a /dev path names, or nullptr when it names none.
const char* card_name(const char* path) {
    static const char kDev[] = "/dev/";
    if (path == nullptr || std::strncmp(path, kDev, sizeof kDev - 1) != 0) return nullptr;
    const char* name = path + sizeof kDev - 1;
    return name[0] != '\0' && std::strchr(name, '/') == nullptr ? name : nullptr;
}

// Opens the simulated card `name` for a /dev open: its descriptor, -1 with errno when the
// card is of another layout, -2 when there is no such card (the path is not ours).
int open_card(const char* name) {
    int fd = -1;
    errno = 0; // only ENODEV (a card of another layout) is ours to report
    DeviceLayout* dev = vorn_sim::open_device(name, vorn_sim::ErrorSink::control, &fd);
    if (dev == nullptr) {
        if (errno != ENODEV) return -2;
        std::fprintf(stderr, "libvorn_card_driver: %s\n", vorn_sim::error_text(vorn_sim::ErrorSink::control));
        errno = ENODEV;
        return -1;
    }
    if (fd >= kMaxFds) {
        REAL(MunmapFn, "munmap")(dev, sizeof(DeviceLayout));
        REAL(CloseFn, "close")(fd);
        errno = EMFILE;
        return -1;
    }
    std::lock_guard<std::mutex> guard(g_mutex);
    g_cards[fd].store(new CardFd{dev}, std::memory_order_release);
    return fd;
}

int open_path(const char* path, int flags, mode_t mode, bool at, int dirfd) {
    const char* name = card_name(path);
    if (name != nullptr) {
        const int fd = open_card(name);
        if (fd != -2) return fd;
    }
    if (at) return REAL(OpenatFn, "openat")(dirfd, path, flags, mode);
    return REAL(OpenFn, "open")(path, flags, mode);
}

mode_t mode_arg(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

int card_ioctl(CardFd* card, unsigned long request, void* arg) {
    (void)card;
    if (arg == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (request == kInfoEx2) {
        InfoEx2 info{};
        info.num_ports = VORN_SIM_PORTS;
        std::memcpy(arg, &info, sizeof info);
        return 0;
    }
    if (request == kInfoEx) {
        InfoEx info{};
        std::memcpy(arg, &info, sizeof info);
        return 0;
    }
    if (request == kDevkitInfo) {
        DevkitInfo info{sizeof DeviceLayout::registers, sizeof DeviceLayout::devkit_memory};
        std::memcpy(arg, &info, sizeof info);
        return 0;
    }
    if (request == kDevkitInfoEx) { // no extended devkit region
        DevkitInfo info{0, 0};
        std::memcpy(arg, &info, sizeof info);
        return 0;
    }
    errno = ENOTTY;
    return -1;
}

// Where a driver mapping lies in the device object: its offset, and the bytes there; false
// for an offset the driver does not map.
bool region_of(off_t offset, off_t* at, size_t* bytes, int* rx_port) {
    *rx_port = -1;
    if (offset % kPage != 0) return false;
    const off_t page = offset / kPage;
    if (page == kPgoffRegisters) {
        *at = offsetof(DeviceLayout, card_registers);
        *bytes = sizeof DeviceLayout::card_registers;
    } else if (page == kPgoffInfo) {
        *at = offsetof(DeviceLayout, info);
        *bytes = sizeof DeviceLayout::info;
    } else if (page == kPgoffDevkitRegs) {
        *at = offsetof(DeviceLayout, registers);
        *bytes = sizeof DeviceLayout::registers;
    } else if (page == kPgoffDevkitMem) {
        *at = offsetof(DeviceLayout, devkit_memory);
        *bytes = sizeof DeviceLayout::devkit_memory;
    } else if (page >= kPgoffRxRegion && (page - kPgoffRxRegion) % kRxRegionPages == 0 &&
               (page - kPgoffRxRegion) / kRxRegionPages < VORN_SIM_PORTS) {
        *rx_port = static_cast<int>((page - kPgoffRxRegion) / kRxRegionPages);
        *at = offsetof(DeviceLayout, rx) + *rx_port * sizeof(vorn_sim::RxRing);
        *bytes = sizeof(vorn_sim::RxRing);
    } else {
        return false;
    }
    return true;
}

void* card_mmap(CardFd* card, void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    off_t at = 0;
    size_t bytes = 0;
    int port = -1;
    if (length == 0 || !region_of(offset, &at, &bytes, &port) || length > bytes) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    void* mapped = REAL(MmapFn, "mmap")(addr, length, prot, flags, fd, at);
    if (mapped == MAP_FAILED || port < 0) return mapped;
    // A receive ring read by a library that keeps its position to itself.
    std::lock_guard<std::mutex> guard(g_mutex);
    for (RxMap& map : g_rx_maps) {
        if (map.addr != nullptr) continue;
        map = RxMap{mapped, card->dev, port};
        card->dev->header.ports[port].blind_readers.fetch_add(1, std::memory_order_acq_rel);
        break;
    }
    return mapped;
}

} // namespace

VORN_SIM_EXPORT int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_arg(flags, args);
    va_end(args);
    return open_path(path, flags, mode, false, AT_FDCWD);
}

VORN_SIM_EXPORT int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_arg(flags, args);
    va_end(args);
    return open_path(path, flags, mode, false, AT_FDCWD);
}

VORN_SIM_EXPORT int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_arg(flags, args);
    va_end(args);
    return open_path(path, flags, mode, true, dirfd);
}

VORN_SIM_EXPORT int close(int fd) {
    if (card_of(fd) != nullptr) {
        std::lock_guard<std::mutex> guard(g_mutex);
        CardFd* card = g_cards[fd].exchange(nullptr, std::memory_order_acq_rel);
        if (card != nullptr) {
            // The device stays mapped while a ring of it is: munmap counts its reader off.
            bool ring_mapped = false;
            for (const RxMap& map : g_rx_maps) ring_mapped |= map.addr != nullptr && map.dev == card->dev;
            if (!ring_mapped) REAL(MunmapFn, "munmap")(card->dev, sizeof(DeviceLayout));
            delete card;
        }
    }
    return REAL(CloseFn, "close")(fd);
}

VORN_SIM_EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    CardFd* card = card_of(fd);
    if (card != nullptr) return card_ioctl(card, request, arg);
    return REAL(IoctlFn, "ioctl")(fd, request, arg);
}

VORN_SIM_EXPORT void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    CardFd* card = (flags & MAP_ANONYMOUS) ? nullptr : card_of(fd);
    if (card != nullptr) return card_mmap(card, addr, length, prot, flags, fd, offset);
    return REAL(MmapFn, "mmap")(addr, length, prot, flags, fd, offset);
}

VORN_SIM_EXPORT void* mmap64(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    return mmap(addr, length, prot, flags, fd, offset);
}

VORN_SIM_EXPORT int munmap(void* addr, size_t length) {
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        for (RxMap& map : g_rx_maps) {
            if (map.addr != addr || addr == nullptr) continue;
            map.dev->header.ports[map.port].blind_readers.fetch_sub(1, std::memory_order_acq_rel);
            map = RxMap{};
            break;
        }
    }
    return REAL(MunmapFn, "munmap")(addr, length);
}

// A card descriptor is no file: reading or writing it fails as the driver's does.
VORN_SIM_EXPORT ssize_t read(int fd, void* buf, size_t count) {
    if (card_of(fd) != nullptr) {
        errno = EINVAL;
        return -1;
    }
    return REAL(RwFn, "read")(fd, buf, count);
}

VORN_SIM_EXPORT ssize_t write(int fd, const void* buf, size_t count) {
    if (card_of(fd) != nullptr) {
        errno = EINVAL;
        return -1;
    }
    return REAL(WriteFn, "write")(fd, buf, count);
}
