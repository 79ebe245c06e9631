// What the connector relies on from the simulated card: whole frames under a lapping producer,
// lossless waiting, the lost and skipped counts (sizes and error codes are held to the vendor's
// reader by tests/vendor), the card's clock, and libvorn_card_driver.so's driver interface
// (loaded with dlopen): what the vendor's library asks of a card descriptor and nothing else.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include <exanic/exanic.h>
#include <exanic/fifo_rx.h>
#include <exanic/time.h>
#include <vorn_sim_card.h>

#include "child_process.h"
#include "test_files.h"
#include "tick_clock.h"

namespace {

using Vorn_R10::RealtimeNs;

// A fresh card (a shared-memory object, or a file under VORN_SIM_SHM_DIR) read on port `Port`.
template <int Port>
class SimCardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, vorn_sim_create(device.c_str())) << vorn_sim_last_error();
        card = vorn_sim_open(device.c_str());
        handle = exanic_acquire_handle(device.c_str());
        rx = handle ? exanic_acquire_rx_buffer(handle, Port, 0) : nullptr;
        ASSERT_TRUE(card && rx) << exanic_get_last_error();
    }
    void TearDown() override {
        if (rx) exanic_release_rx_buffer(rx);
        if (handle) exanic_release_handle(handle);
        if (card) vorn_sim_close(card);
        vorn_sim_remove(device.c_str());
    }
    const std::string device = "vtcard" + std::to_string(Port) + "_" + std::to_string(getpid());
    vorn_sim_card_t* card = nullptr;
    exanic_t* handle = nullptr;
    exanic_rx_t* rx = nullptr;
};

// A frame of `len` bytes (at least 8): its number, then bytes hashed from it (laps apart differ).
std::vector<char> NumberedFrame(uint64_t number, size_t len) {
    std::vector<char> frame(len);
    memcpy(frame.data(), &number, sizeof number);
    const uint32_t hash = static_cast<uint32_t>(number * 2654435761u);
    for (size_t i = sizeof number; i < len; ++i) frame[i] = static_cast<char>((hash >> 24) + (hash >> 16) * i);
    return frame;
}

bool IsFrame(const char* frame, ssize_t len, uint64_t expected) {
    return len >= 8 && std::vector<char>(frame, frame + len) == NumberedFrame(expected, static_cast<size_t>(len));
}

class Ring : public SimCardTest<0>, public ::testing::WithParamInterface<vorn_sim_put_mode> {
public:
    void Put(const std::vector<char>& frame, vorn_sim_put_mode mode = VORN_SIM_OVERWRITE) {
        ASSERT_EQ(0, vorn_sim_put_frame(card, 0, frame.data(), frame.size(), mode, 0)) << vorn_sim_last_error();
    }
    vorn_sim_counters Counters() { vorn_sim_counters c{}; return vorn_sim_get_counters(card, 0, &c), c; }
};

// vorn-card on a card with a frame taken: each command's output and exit code.
TEST_F(Ring, TheCardToolSetsShowsAndCounts) {
    Put(NumberedFrame(1, 60)), Put(NumberedFrame(2, 60));
    char buf[128];
    ASSERT_EQ(60, exanic_receive_frame(rx, buf, sizeof buf, nullptr));
    const vorn_test::TempDir dir;
    const std::pair<std::vector<std::string>, std::string> runs[] = {
        {{"set", device, "0x12c", "4294967295"}, "0 "}, {{"regs", device, "299", "3"}, "0  299  0x00000000  0\n 300  0xffffffff  4294967295\n 301  0x00000000  0\n"},
        {{"regs", device, "300", "0xf01"}, "2 "}, {{"set", device, "4096", "1"}, "2 "}, {{"regs", device, "1", "2", "3"}, "2 "},
        {{"counters", device}, "0 port           put         taken          lost       skipped       backlog   blind\n   0             2             1             0             0             1       0\n   1             0             0             0             0             0       0\n"}};
    for (const auto& [args, expected] : runs) {
        std::vector<std::string> argv{VORN_CARD_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        const int code = vorn_test::WaitExit(vorn_test::Spawn(argv, dir.File("out"), dir.File("err")), std::chrono::seconds(10));
        EXPECT_EQ(expected, std::to_string(code) + " " + vorn_test::ReadFile(dir.File("out"))) << args[0];
    }
}

// A reader starts after the newest frame put; lapped, it gets -256 once, loses the lap and goes
// on. A port's refill hook is called by its buffers finding the ring empty, then looked at again.
TEST_F(Ring, StartsAfterTheNewestFrameAndSurvivesALap) {
    exanic_release_rx_buffer(rx);
    for (uint64_t n = 0; n < 3000; ++n) Put(NumberedFrame(n, 200)); // mid-way through the second lap
    struct Hook { Ring* test; int calls; } hook{this, 0};
    const auto refill = [](void* h) { if (static_cast<Hook*>(h)->calls++ == 0) static_cast<Hook*>(h)->test->Put(NumberedFrame(3000, 200)); };
    ASSERT_EQ(0, vorn_sim_set_refill(card, 0, refill, &hook));
    rx = exanic_acquire_rx_buffer(handle, 0, 0);
    exanic_rx_t* other = exanic_acquire_rx_buffer(handle, 1, 0);
    char buf[256];
    EXPECT_EQ(0, exanic_receive_frame(other, buf, sizeof buf, nullptr) + hook.calls);
    EXPECT_TRUE(IsFrame(buf, exanic_receive_frame(rx, buf, sizeof buf, nullptr), 3000));
    EXPECT_EQ(3000u + 1, Counters().skipped + hook.calls);
    exanic_release_rx_buffer(other);

    // The reader, polling while the lap is put, finds it all at once, never a frame of it.
    const std::vector<char> filler = NumberedFrame(7, 100);
    int64_t lap = 0;
    std::thread lapper([&] { lap = vorn_sim_put_lapping(card, 0, filler.data(), filler.size()); });
    ssize_t got = 0;
    while ((got = exanic_receive_frame(rx, buf, sizeof buf, nullptr)) == 0) {}
    lapper.join();
    EXPECT_EQ(-256, got); // EXANIC_RX_FRAME_SWOVFL
    EXPECT_EQ(int64_t(VORN_SIM_RING_CHUNKS + 1), lap); // one chunk each, one more than a ring
    EXPECT_EQ(0, exanic_receive_frame(rx, buf, sizeof buf, nullptr));
    Put(NumberedFrame(3001, 250));
    EXPECT_TRUE(IsFrame(buf, exanic_receive_frame(rx, buf, sizeof buf, nullptr), 3001));
    const vorn_sim_counters counters = Counters();
    EXPECT_EQ(uint64_t(lap), counters.lost);
    EXPECT_EQ(counters.put, counters.taken + counters.lost + counters.skipped);
}

// A quarter of the frames fill one chunk exactly, a quarter one in part, the rest span chunks.
size_t SizeOf(uint64_t n) { return n % 4 == 0 ? 120 : n % 4 == 1 ? 8 + n % 112 : 121 + n % 3000; }

// A producer faster than the reader: overwriting, it laps the reader, sometimes mid-copy, and
// every frame taken is still whole and newer than the last; waiting, it loses nothing.
TEST_P(Ring, ASlowReaderGetsWholeFramesOnly) {
    const bool wait = GetParam() == VORN_SIM_WAIT;
    const uint64_t total = wait ? 20000 : 400000; // several rings' worth either way
    std::atomic<bool> producing{true};
    std::thread producer([&] {
        for (uint64_t n = 0; n < total; ++n) Put(NumberedFrame(n, SizeOf(n)), GetParam());
        producing = false;
    });
    std::vector<char> buf(VORN_SIM_MAX_FRAME);
    uint64_t taken = 0, laps = 0, bad = 0, last = -1; // last: none yet
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((producing || vorn_sim_backlog(card, 0) > 0) && std::chrono::steady_clock::now() < deadline) {
        const ssize_t len = exanic_receive_frame(rx, buf.data(), buf.size(), nullptr);
        laps += len == -256;
        if (len <= 0) continue;
        ++taken;
        int64_t number;
        memcpy(&number, buf.data(), sizeof number);
        bad += !IsFrame(buf.data(), len, uint64_t(number)) || size_t(len) != SizeOf(uint64_t(number)) ||
               number != (wait ? int64_t(last + 1) : std::max(number, int64_t(last + 1)));
        last = number;
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(3);
        while (producing && std::chrono::steady_clock::now() < until) {} // stay slower than the producer
    }
    producer.join();
    EXPECT_EQ(0u, bad);
    EXPECT_EQ(wait, laps == 0);
    const vorn_sim_counters counters = Counters();
    EXPECT_EQ(taken, counters.taken);
    EXPECT_EQ(total, counters.taken + counters.lost); // a frame may count as lost and taken in a race
    EXPECT_EQ(wait ? total : counters.taken, taken);
}

INSTANTIATE_TEST_SUITE_P(Producer, Ring, ::testing::Values(VORN_SIM_OVERWRITE, VORN_SIM_WAIT));

using Clock = SimCardTest<1>;

// A frame's stamp, widened and converted, lies between the host's time before and after the put
// (less one tick of rounding), as does the put time the card library reports for it. A stamp is
// widened to the lap of the low word nearest the card's clock (up to half the 32-bit range
// before or after it); ticks convert at the card's rate, fractions rounded down to the ns.
TEST_F(Clock, StampsFollowTheHostsClockAndWidenAndConvertAtTheCardsRate) {
    const int64_t tick_ns = 1'000'000'000ll / VORN_SIM_CLOCK_HZ + 1;
    for (int i = 0; i < 3; ++i, usleep(2000)) {
        const char frame[60] = {1, 2, 3};
        char buf[128];
        exanic_cycles32_t stamp = 0;
        const int64_t before = RealtimeNs();
        EXPECT_EQ(0, vorn_sim_put_frame(card, 1, frame, sizeof frame, VORN_SIM_WAIT, 0));
        EXPECT_EQ(60, exanic_receive_frame(rx, buf, sizeof buf, &stamp));
        const int64_t after = RealtimeNs();
        const exanic_cycles_t cycles = exanic_expand_timestamp(handle, stamp);
        EXPECT_EQ(stamp, static_cast<exanic_cycles32_t>(cycles));
        const int64_t ns = exanic_cycles_to_ns(handle, cycles), now = static_cast<int64_t>(vorn_sim_now_ns());
        EXPECT_TRUE(ns >= before - tick_ns && ns <= after) << before << " " << ns << " " << after;
        EXPECT_EQ(static_cast<uint64_t>(ns), vorn_sim_last_rx_put_ns(1));
        EXPECT_TRUE(now >= after && now - after <= 1'000'000'000ll) << now;
        for (int64_t step : {1ll, 1000ll, 0x7fffffffll, -1ll, -1000ll, -0x80000000ll})
            EXPECT_EQ(cycles + step, exanic_expand_timestamp(handle, static_cast<exanic_cycles32_t>(stamp + step))) << step;
    }
    const int64_t hz = VORN_SIM_CLOCK_HZ; // 161132812: even, so hz / 2 ticks is exactly half a second
    timespec ts{};
    exanic_cycles_to_timespec(handle, 1'700'000'000ll * hz + hz / 2, &ts);
    EXPECT_EQ("1700000000.500000000 6 999999993 2000000000",
              std::to_string(ts.tv_sec) + "." + std::to_string(ts.tv_nsec) + " " + std::to_string(exanic_cycles_to_ns(handle, 1)) +
                  " " + std::to_string(exanic_cycles_to_ns(handle, hz - 1)) + " " + std::to_string(exanic_cycles_to_ns(handle, 2 * hz)));
}

// The driver's request layouts (type 'x', number 0xe0 and 0xed).
struct InfoEx2 {
    size_t tx_buffer_size, filters_size;
    unsigned int max_buffers, num_ports, reserved[2];
    int if_index[32];
};
struct DevkitInfo { unsigned regs_size, mem_size; };
constexpr long kPage = 4096;

// One of the driver interface's functions, looked up in the shim itself.
#define SHIM_FUNCTION(fn) const decltype(&::fn) fn##_ = shim ? reinterpret_cast<decltype(&::fn)>(dlsym(shim, #fn)) : nullptr

class Driver : public SimCardTest<0> {
protected:
    void SetUp() override { ASSERT_TRUE(open_ && close_ && ioctl_ && mmap_ && munmap_ && read_) << dlerror(); SimCardTest<0>::SetUp(); }
    void TearDown() override { SimCardTest<0>::TearDown(); if (shim) dlclose(shim); }

    void* shim = dlopen(CARD_DRIVER_SHIM, RTLD_NOW | RTLD_LOCAL);
    SHIM_FUNCTION(open); SHIM_FUNCTION(close); SHIM_FUNCTION(ioctl);
    SHIM_FUNCTION(mmap); SHIM_FUNCTION(munmap); SHIM_FUNCTION(read);
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

    // Registers (page 0): tick rate, 64-bit clock, port 0 enabled; devkit registers (page 262144).
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

    // Port 1's ring (page 1024): 130 bytes fill two chunks, the second's info word length 10, lap 1.
    auto* ring = static_cast<const unsigned char*>(mmap_(nullptr, 512 * kPage, PROT_READ, MAP_SHARED, fd, 1024 * kPage));
    ASSERT_NE(MAP_FAILED, ring);
    vorn_sim_counters counters{};
    vorn_sim_get_counters(card, 1, &counters);
    EXPECT_EQ(1u, counters.blind_readers);
    const std::string frame(130, 'f');
    ASSERT_EQ(0, vorn_sim_put_frame(card, 1, frame.data(), frame.size(), VORN_SIM_OVERWRITE, 0));
    uint64_t first = 0, second = 0; // generation (bits 56-63), filter and length (40-47) above the stamp
    memcpy(&first, ring + 120, 8), memcpy(&second, ring + 128 + 120, 8);
    EXPECT_EQ(0x010000u, first >> 40); // more chunks follow
    EXPECT_EQ(0x01000au, second >> 40);
    EXPECT_EQ(exanic_expand_timestamp(handle, uint32_t(second)), uint64_t{regs[15]} << 32 | regs[9]); // clock at the put
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

// A producer half way through a frame's bytes a lap on (its info word still the old lap's, the
// chunk before already the new lap's): the reader, one lap behind, reports the lap, not a mix.
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
    munmap_(ring, 512 * kPage), close_(fd);
}

// Other paths go to the C library. A card of another layout (version, or size) is refused by
// the driver and by our library, with the message that says to recreate it.
TEST_F(Driver, OtherPathsPassThroughAndOlderCardsAreRefused) {
    const int null = open_("/dev/null", O_RDONLY);
    ASSERT_GE(null, 0);
    char byte;
    EXPECT_EQ(0, read_(null, &byte, 1));
    EXPECT_EQ(0, close_(null));
    EXPECT_EQ(-1, open_(("/dev/" + device + "_none").c_str(), O_RDWR));
    EXPECT_EQ(ENOENT, errno);

    const int shm = ::open((vorn_test::SimCardFolder() + "/vorn_exanic_" + device).c_str(), O_RDWR);
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
