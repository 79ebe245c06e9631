// libvorn_card_driver.so's driver interface, called through its own exported functions (the
// test loads it with dlopen rather than LD_PRELOAD): what the vendor's library asks of a card
// descriptor, the errors of everything else, and paths that are no simulated card.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>

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

template <typename Fn>
Fn Symbol(void* library, const char* name) {
    return library ? reinterpret_cast<Fn>(dlsym(library, name)) : nullptr;
}

// A fresh card with our reader on port 0, and the driver interface's functions.
class Driver : public SimCardTest<0> {
protected:
    void SetUp() override {
        ASSERT_TRUE(open_ && close_ && ioctl_ && mmap_ && munmap_ && read_) << dlerror();
        SimCardTest<0>::SetUp();
    }
    void TearDown() override {
        SimCardTest<0>::TearDown();
        if (shim) dlclose(shim);
    }

    void* shim = dlopen(CARD_DRIVER_SHIM, RTLD_NOW | RTLD_LOCAL);
    const decltype(&::open) open_ = Symbol<decltype(&::open)>(shim, "open");
    const decltype(&::close) close_ = Symbol<decltype(&::close)>(shim, "close");
    const decltype(&::ioctl) ioctl_ = Symbol<decltype(&::ioctl)>(shim, "ioctl");
    const decltype(&::mmap) mmap_ = Symbol<decltype(&::mmap)>(shim, "mmap");
    const decltype(&::munmap) munmap_ = Symbol<decltype(&::munmap)>(shim, "munmap");
    const decltype(&::read) read_ = Symbol<decltype(&::read)>(shim, "read");
};

TEST_F(Driver, ServesWhatTheVendorsLibraryAsks) {
    const int fd = open_(("/dev/" + device).c_str(), O_RDWR);
    ASSERT_GE(fd, 0) << strerror(errno);
    InfoEx2 info;
    memset(&info, 0xff, sizeof info);
    ASSERT_EQ(0, ioctl_(fd, _IOR('x', 0xe0, InfoEx2), &info));
    EXPECT_EQ("2 0", std::to_string(info.num_ports) + " " + std::to_string(info.tx_buffer_size)); // no transmit side
    DevkitInfo devkit{};
    ASSERT_EQ(0, ioctl_(fd, _IOR('x', 0xed, DevkitInfo), &devkit));
    EXPECT_EQ("16384 4096", std::to_string(devkit.regs_size) + " " + std::to_string(devkit.mem_size)); // 4096 words

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
    uint64_t first = 0, second = 0; // generation (bits 56-63), filter and length (40-47) above the stamp
    memcpy(&first, ring + 120, 8);
    memcpy(&second, ring + 128 + 120, 8);
    EXPECT_EQ(0x010000u, first >> 40); // more chunks follow
    EXPECT_EQ(0x01000au, second >> 40);
    EXPECT_EQ(0, memcmp(ring, frame.data(), 120));

    // Anything else fails as the driver does.
    char byte;
    const bool refused[] = {
        ioctl_(fd, _IOW('x', 0xe3, int), &devkit) == -1 && errno == ENOTTY,
        mmap_(nullptr, kPage, PROT_READ, MAP_SHARED, fd, 5 * kPage) == MAP_FAILED && errno == EINVAL,
        mmap_(nullptr, 3 * kPage, PROT_READ, MAP_SHARED, fd, 0) == MAP_FAILED && errno == EINVAL, // beyond the registers
        mmap_(nullptr, 512 * kPage, PROT_READ, MAP_SHARED, fd, 1536 * kPage) == MAP_FAILED && errno == EINVAL, // port 2
        read_(fd, &byte, 1) == -1 && errno == EINVAL};
    for (const bool& each : refused) EXPECT_TRUE(each) << &each - refused;
    EXPECT_EQ(0, munmap_(const_cast<unsigned char*>(ring), 512 * kPage));
    vorn_sim_get_counters(card, 1, &counters);
    EXPECT_EQ(0u, counters.blind_readers);
    EXPECT_EQ(0, close_(fd)); // the other mappings go with the test's process
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
    const std::string frame(120, 'a'); // one chunk, exactly full
    char buf[256];
    ASSERT_EQ(0, vorn_sim_put_frame(card, 0, frame.data(), frame.size(), VORN_SIM_OVERWRITE, 0));
    ASSERT_EQ(120, exanic_receive_frame(rx, buf, sizeof buf, nullptr)); // the reader waits at chunk 1
    for (uint32_t n = 0; n < VORN_SIM_RING_CHUNKS; ++n) // chunks 1 to one lap past chunk 0
        ASSERT_EQ(0, vorn_sim_put_frame(card, 0, frame.data(), frame.size(), VORN_SIM_OVERWRITE, 0));
    memset(ring + 128, 'b', 64); // the next frame's bytes at chunk 1, half written
    EXPECT_EQ(-256, exanic_receive_frame(rx, buf, sizeof buf, nullptr)); // EXANIC_RX_FRAME_SWOVFL
    munmap_(ring, 512 * kPage);
    close_(fd);
}

// Paths that are no simulated card go to the C library. A card of another layout (another
// version, or this version and another size) is refused by the driver and by our library,
// with the message that says to recreate it.
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
    uint32_t current = 0; // the layout version follows the 8-byte magic
    ASSERT_EQ(ssize_t(sizeof current), pread(shm, &current, sizeof current, 8));
    const std::string recreate = "'" + device + "' is not a simulated ExaNIC device of this version (recreate it "
                                 "with vorn-card create " + device + ")";
    for (const uint32_t version : {current - 1, current}) { // an older version; this one cut short
        ASSERT_EQ(ssize_t(sizeof version), pwrite(shm, &version, sizeof version, 8));
        ASSERT_EQ(0, version == current ? ftruncate(shm, 1 << 20) : 0);
        EXPECT_EQ(-1, open_(("/dev/" + device).c_str(), O_RDWR));
        EXPECT_EQ(ENODEV, errno);
        EXPECT_EQ(nullptr, exanic_acquire_handle(device.c_str()));
        EXPECT_EQ(recreate, exanic_get_last_error());
    }
    ::close(shm);
}

} // namespace
