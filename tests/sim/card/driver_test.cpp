// libvorn_card_driver.so's driver interface, called through its own exported functions (the
// test loads it with dlopen rather than LD_PRELOAD): what the vendor's library asks of a card
// descriptor, the errors of everything else, and paths that are no simulated card.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <exanic/exanic.h>
#include <exanic/fifo_rx.h>
#include <vorn_sim_card.h>

#include "card_file.h"

namespace {

// The driver's request layouts (type 'x', number 0xe0 and 0xed).
struct InfoEx2 {
    size_t tx_buffer_size, filters_size;
    unsigned int max_buffers, num_ports, reserved[2];
    int if_index[32];
};
struct DevkitInfo {
    unsigned regs_size, mem_size;
};
constexpr long kPage = 4096;

class Driver : public ::testing::Test {
protected:
    void SetUp() override {
        shim = dlopen(CARD_DRIVER_SHIM, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, shim) << dlerror();
        open_ = reinterpret_cast<int (*)(const char*, int, ...)>(dlsym(shim, "open"));
        close_ = reinterpret_cast<int (*)(int)>(dlsym(shim, "close"));
        ioctl_ = reinterpret_cast<int (*)(int, unsigned long, ...)>(dlsym(shim, "ioctl"));
        mmap_ = reinterpret_cast<void* (*)(void*, size_t, int, int, int, off_t)>(dlsym(shim, "mmap"));
        munmap_ = reinterpret_cast<int (*)(void*, size_t)>(dlsym(shim, "munmap"));
        read_ = reinterpret_cast<ssize_t (*)(int, void*, size_t)>(dlsym(shim, "read"));
        ASSERT_TRUE(open_ && close_ && ioctl_ && mmap_ && munmap_ && read_);
        ASSERT_EQ(0, vorn_sim_create(device.c_str())) << vorn_sim_last_error();
        card = vorn_sim_open(device.c_str());
    }
    void TearDown() override {
        if (card) vorn_sim_close(card);
        vorn_sim_remove(device.c_str());
        if (shim) dlclose(shim);
    }

    const std::string device = "vtdrv" + std::to_string(getpid());
    void* shim = nullptr;
    vorn_sim_card_t* card = nullptr;
    int (*open_)(const char*, int, ...) = nullptr;
    int (*close_)(int) = nullptr;
    int (*ioctl_)(int, unsigned long, ...) = nullptr;
    void* (*mmap_)(void*, size_t, int, int, int, off_t) = nullptr;
    int (*munmap_)(void*, size_t) = nullptr;
    ssize_t (*read_)(int, void*, size_t) = nullptr;
};

TEST_F(Driver, ServesWhatTheVendorsLibraryAsks) {
    const int fd = open_(("/dev/" + device).c_str(), O_RDWR);
    ASSERT_GE(fd, 0) << strerror(errno);
    InfoEx2 info;
    memset(&info, 0xff, sizeof info);
    ASSERT_EQ(0, ioctl_(fd, _IOR('x', 0xe0, InfoEx2), &info));
    EXPECT_EQ(2u, info.num_ports);
    EXPECT_EQ(0u, info.tx_buffer_size); // no transmit side
    DevkitInfo devkit{};
    ASSERT_EQ(0, ioctl_(fd, _IOR('x', 0xed, DevkitInfo), &devkit));
    EXPECT_EQ(16384u, devkit.regs_size); // the 4096 register words
    EXPECT_EQ(4096u, devkit.mem_size);

    // Registers (page 0): the tick rate (word 13), 64-bit clock capability (word 14), port 0
    // enabled (word 128); the devkit registers (page 262144) are the card's register window.
    auto* regs = static_cast<volatile uint32_t*>(mmap_(nullptr, 2 * kPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    ASSERT_NE(MAP_FAILED, regs);
    EXPECT_EQ(VORN_SIM_CLOCK_HZ, regs[13]);
    EXPECT_EQ(0x100u, regs[14] & 0x100u);
    EXPECT_EQ(1u, regs[128]);
    auto* devkit_regs = static_cast<volatile uint32_t*>(
        mmap_(nullptr, devkit.regs_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 262144 * kPage));
    ASSERT_NE(MAP_FAILED, devkit_regs);
    devkit_regs[300] = 77;
    EXPECT_EQ(77u, vorn_sim_read_reg(card, 300));
    EXPECT_EQ(VORN_SIM_FIRMWARE_VERSION, devkit_regs[65]);

    // Port 1's receive region (page 512 + 512): a frame of 130 bytes fills two chunks; the
    // second's info word carries length 10 and generation 1 (the first lap).
    auto* ring = static_cast<const unsigned char*>(mmap_(nullptr, 512 * kPage, PROT_READ, MAP_SHARED, fd, 1024 * kPage));
    ASSERT_NE(MAP_FAILED, ring);
    vorn_sim_counters counters{};
    vorn_sim_get_counters(card, 1, &counters);
    EXPECT_EQ(1u, counters.blind_readers);
    const std::string frame(130, 'f');
    ASSERT_EQ(0, vorn_sim_put_frame(card, 1, frame.data(), frame.size(), VORN_SIM_OVERWRITE, 0));
    uint64_t first = 0, second = 0;
    memcpy(&first, ring + 120, 8);
    memcpy(&second, ring + 128 + 120, 8);
    EXPECT_EQ(0u, (first >> 40) & 0xff); // more chunks follow
    EXPECT_EQ(1u, first >> 56);
    EXPECT_EQ(10u, (second >> 40) & 0xff);
    EXPECT_EQ(1u, second >> 56);
    EXPECT_EQ(0, memcmp(ring, frame.data(), 120));

    // Anything else fails as the driver does.
    EXPECT_EQ(-1, ioctl_(fd, _IOW('x', 0xe3, int), &devkit));
    EXPECT_EQ(ENOTTY, errno);
    EXPECT_EQ(MAP_FAILED, mmap_(nullptr, kPage, PROT_READ, MAP_SHARED, fd, 5 * kPage));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(MAP_FAILED, mmap_(nullptr, 3 * kPage, PROT_READ, MAP_SHARED, fd, 0)); // beyond the registers
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(MAP_FAILED, mmap_(nullptr, 512 * kPage, PROT_READ, MAP_SHARED, fd, 1536 * kPage)); // port 2
    char byte;
    EXPECT_EQ(-1, read_(fd, &byte, 1));
    EXPECT_EQ(EINVAL, errno);

    EXPECT_EQ(0, munmap_(const_cast<unsigned char*>(ring), 512 * kPage));
    vorn_sim_get_counters(card, 1, &counters);
    EXPECT_EQ(0u, counters.blind_readers);
    munmap_(const_cast<uint32_t*>(regs), 2 * kPage);
    munmap_(const_cast<uint32_t*>(devkit_regs), devkit.regs_size);
    EXPECT_EQ(0, close_(fd));
}

// The instant a producer is inside a frame's bytes a lap on, seen through the driver's view of
// the ring: the new frame's first bytes written, that chunk's info word still the old lap's,
// the chunk before it already the new lap's. Our reader, one lap behind, must report the lap
// rather than a frame of mixed bytes.
TEST_F(Driver, AFrameBeingOverwrittenReadsAsALap) {
    const int fd = open_(("/dev/" + device).c_str(), O_RDWR);
    ASSERT_GE(fd, 0) << strerror(errno);
    auto* ring = static_cast<char*>(mmap_(nullptr, 512 * kPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 512 * kPage));
    ASSERT_NE(MAP_FAILED, ring);
    exanic_t* handle = exanic_acquire_handle(device.c_str());
    exanic_rx_t* rx = exanic_acquire_rx_buffer(handle, 0, 0);
    ASSERT_NE(nullptr, rx);
    const std::string frame(120, 'a'); // one chunk, exactly full
    char buf[256];
    ASSERT_EQ(0, vorn_sim_put_frame(card, 0, frame.data(), frame.size(), VORN_SIM_OVERWRITE, 0));
    ASSERT_EQ(120, exanic_receive_frame(rx, buf, sizeof buf, nullptr)); // the reader waits at chunk 1
    for (uint32_t n = 0; n < VORN_SIM_RING_CHUNKS; ++n) // chunks 1 to one lap past chunk 0
        ASSERT_EQ(0, vorn_sim_put_frame(card, 0, frame.data(), frame.size(), VORN_SIM_OVERWRITE, 0));
    memset(ring + 128, 'b', 64); // the next frame's bytes at chunk 1, half written
    EXPECT_EQ(-256, exanic_receive_frame(rx, buf, sizeof buf, nullptr)); // EXANIC_RX_FRAME_SWOVFL
    exanic_release_rx_buffer(rx);
    exanic_release_handle(handle);
    munmap_(ring, 512 * kPage);
    close_(fd);
}

// Paths that are no simulated card go to the C library; a card of another layout is refused.
TEST_F(Driver, OtherPathsPassThroughAndOlderCardsAreRefused) {
    const int null = open_("/dev/null", O_RDONLY);
    ASSERT_GE(null, 0);
    char byte;
    EXPECT_EQ(0, read_(null, &byte, 1));
    EXPECT_EQ(0, close_(null));
    EXPECT_EQ(-1, open_(("/dev/" + device + "_none").c_str(), O_RDWR));
    EXPECT_EQ(ENOENT, errno);

    const int shm = ::open(SimCardFile(device).c_str(), O_RDWR);
    ASSERT_GE(shm, 0);
    const uint32_t older = 3;
    ASSERT_EQ(ssize_t(sizeof older), pwrite(shm, &older, sizeof older, 8)); // the layout version
    ::close(shm);
    EXPECT_EQ(-1, open_(("/dev/" + device).c_str(), O_RDWR));
    EXPECT_EQ(ENODEV, errno);
}

} // namespace
