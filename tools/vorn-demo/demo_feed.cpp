#include "demo_feed.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "counters_reader.h"

#ifdef VORN_DEMO_HARDWARE
#include "vorn_firmware.h"
#endif

namespace vorn_demo {

namespace {

constexpr const char* kSnapshotLockPath = vorn_sim::SnapshotWriter::kSharedPathLock;
constexpr int kCleanTailPackets = 32; // more than the connector's reorder window
constexpr int kLockWaitSeconds = 120;

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Where the next packet goes: the raw frame onto channel 0, through the firmware, or as a
// datagram from and to 127.0.0.1.
class FeedSink {
public:
    FeedSink(const std::string& device, vorn_sim::SyntheticSession& session, bool hardware, uint16_t udpPort);
    ~FeedSink();
    bool Send(const std::vector<uint8_t>& payload, FeedStats& stats);
    bool SendLost(uint32_t seqno, FeedStats& stats);
    std::vector<uint8_t> Frame(const std::vector<uint8_t>& payload) const { return session_.Frame(payload); }

private:
    vorn_sim::SyntheticSession& session_;
    bool hardware_;
    vorn_sim_card_t* card_ = nullptr;
    int socket_ = -1;
    sockaddr_in target_{};
#ifdef VORN_DEMO_HARDWARE
    std::unique_ptr<vorn_firmware::HardwareFeed> firmware_;
#endif
};

FeedSink::FeedSink(const std::string& device, vorn_sim::SyntheticSession& session, bool hardware, uint16_t udpPort)
    : session_(session), hardware_(hardware) {
    if (udpPort != 0 && !hardware) {
        socket_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in local = Loopback(0);
        target_ = Loopback(udpPort);
        if (socket_ >= 0 && bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            close(socket_);
            socket_ = -1;
        }
        return;
    }
#ifdef VORN_DEMO_HARDWARE
    if (hardware_) {
        firmware_ = std::make_unique<vorn_firmware::HardwareFeed>(device);
        firmware_->SetInstruments(session);
        return;
    }
#endif
    card_ = vorn_sim_open(device.c_str());
}

FeedSink::~FeedSink() {
    if (card_) vorn_sim_close(card_);
    if (socket_ >= 0) close(socket_);
}

bool FeedSink::Send(const std::vector<uint8_t>& payload, FeedStats& stats) {
    stats.sent.fetch_add(1, std::memory_order_relaxed);
#ifdef VORN_DEMO_HARDWARE
    if (hardware_) return firmware_->Deliver(payload) >= 0;
#endif
    if (socket_ >= 0)
        return sendto(socket_, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&target_),
                      sizeof target_) == static_cast<ssize_t>(payload.size());
    if (!card_) return false;
    const std::vector<uint8_t> frame = session_.Frame(payload);
    return vorn_sim_put_frame(card_, 0, frame.data(), frame.size(), VORN_SIM_WAIT, 0) == 0;
}

// In hardware mode the firmware reports a lost message as an event on channel 0; in software
// mode the connector finds the gap itself.
bool FeedSink::SendLost(uint32_t seqno, FeedStats& stats) {
    stats.dropped.fetch_add(1, std::memory_order_relaxed);
#ifdef VORN_DEMO_HARDWARE
    if (hardware_) {
        stats.events.fetch_add(1, std::memory_order_relaxed);
        // The firmware skips the lost sequence number too, so the next packet is taken in.
        firmware_->SetLastSeqNo(seqno);
        return firmware_->Card().PutEvent(seqno, 0);
    }
#endif
    (void)seqno;
    return true;
}

} // namespace

bool SnapshotLock::Acquire(FILE* screen) {
    fd_ = open(kSnapshotLockPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) return false;
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK) return false;
    fprintf(screen, "waiting for %s (a test run is using today's snapshot) ...\n", kSnapshotLockPath);
    fflush(screen);
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(kLockWaitSeconds);
    while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK || Clock::now() > deadline) {
            fprintf(screen, "gave up waiting for the lock after %d s\n", kLockWaitSeconds);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

void SnapshotLock::Release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

uint16_t FreeLoopbackPort() {
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (probe >= 0 && bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (probe >= 0) close(probe);
    return port;
}

std::string WriteConfig(const std::string& dir, const std::string& device, const std::string& transport) {
    const std::string path = dir + "/md.ini";
    std::ofstream out(path, std::ios::trunc);
    out << "[config]\n"
        << "device = " << device << "\n"
        << "log_path = " << dir << "\n"
        << "counters_path = " << dir << "\n"
        << "log_level = 7\n" // errors, warnings and info
        << "insts = all\n"
        << "options = recv\n"
        << "exanic_cache_flag = 1\n"
        << "exanic_cache_size = 10\n"
        << "transport = " << transport << "\n";
    return out ? path : std::string();
}

void PlayFeed(const std::string& device, vorn_sim::SyntheticSession& session, const FeedPlan& plan,
              const std::atomic<bool>& stop, FeedStats& stats) {
    FeedSink sink(device, session, plan.hardware, plan.udpPort);
    std::mt19937_64 random(20261216);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    const int64_t total = static_cast<int64_t>(plan.seconds * plan.packetsPerSecond);
    const auto period = std::chrono::nanoseconds(1000000000LL / plan.packetsPerSecond);
    const Clock::time_point start = Clock::now();
    for (int64_t i = 0; i < total && !stop.load(); ++i) {
        std::this_thread::sleep_until(start + period * i);
        const bool harmless = i >= total - kCleanTailPackets;
        const uint32_t seqno = session.NextSeqNo();
        const std::vector<uint8_t> packet = session.NextPacket();
        bool ok;
        if (!harmless && chance(random) < plan.lossRate) {
            ok = sink.SendLost(seqno, stats);
        } else if (!harmless && !plan.hardware && chance(random) < plan.reorderRate) {
            const std::vector<uint8_t> next = session.NextPacket();
            ++i;
            stats.reordered.fetch_add(1, std::memory_order_relaxed);
            ok = sink.Send(next, stats) && sink.Send(packet, stats);
        } else {
            ok = sink.Send(packet, stats);
        }
        if (!ok) {
            stats.failed.store(true);
            return;
        }
    }
}

bool WaitDrained(vorn_sim_card_t* card, bool hardware, double timeoutSeconds) {
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutSeconds));
    for (int port : hardware ? std::vector<int>{1, 0} : std::vector<int>{0}) {
        for (;;) {
            vorn_sim_counters counters{};
            vorn_sim_get_counters(card, port, &counters);
            if (counters.taken + counters.lost >= counters.put) break;
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    // The last frame taken is processed right after it is taken.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return true;
}

bool WaitReceived(const std::string& countersPath, uint64_t datagrams, double timeoutSeconds) {
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutSeconds));
    Vorn_R10::CCountersReader reader;
    std::string error;
    if (!reader.Open(countersPath, error)) return false;
    for (;;) {
        Vorn_R10::SCountersSnapshot counters;
        if (!reader.Read(counters, error)) return false;
        const Vorn_R10::SCounterValues& v = counters.header.values;
        // Datagrams the kernel dropped never reach the connector: they are not waited for.
        if (v.frames_received + v.kernel_drops >= datagrams) break;
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the last datagram's callbacks
    return true;
}

bool HardwareModeAvailable() {
#ifdef VORN_DEMO_HARDWARE
    return true;
#else
    return false;
#endif
}

} // namespace vorn_demo
