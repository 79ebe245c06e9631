// The socket transport end to end: datagrams sent to loopback addresses reach the callbacks
// exactly as the same frames put on the card do; bad datagrams are counted and dropped; a
// channel that cannot be bound fails start-up with nothing left open. Everything is sent to
// 127.0.0.0/8 only.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <thread>

#include "child_process.h"
#include "connector_harness.h"
#include "counters_reader.h"
#include "pcap_writer.h"
#include "synthetic_session.h"
#include "update_rows.h"

namespace {

using namespace vorn_test;
using Bytes = std::vector<uint8_t>;

constexpr size_t kUdpFrameHeader = 42; // Ethernet, IPv4 and UDP headers of a session frame

// A port of this process's own, away from the ephemeral range.
uint16_t TestPort(int n) { return static_cast<uint16_t>(20000 + (getpid() % 2000) * 8 + n); }

sockaddr_in Address(const char* ip, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, ip, &address.sin_addr);
    return address;
}

// A UDP socket bound to `ip`:`port`.
int Bound(const char* ip, uint16_t port = 0) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in local = Address(ip, port);
    EXPECT_EQ(0, bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local)) << strerror(errno);
    return fd;
}

// A UDP socket bound to `source` (a 127.x address) that sends to `to`:port (a multicast group
// through the loopback interface).
class Sender {
public:
    Sender(const char* source, uint16_t port, const char* to = "127.0.0.1") : fd_(Bound(source)), to_(Address(to, port)) {
        const in_addr loopback = Address("127.0.0.1", 0).sin_addr;
        if (IN_MULTICAST(ntohl(to_.sin_addr.s_addr))) {
            EXPECT_EQ(0, setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback));
        }
    }
    ~Sender() { close(fd_); }
    void Send(const uint8_t* data, size_t len) {
        EXPECT_EQ(static_cast<ssize_t>(len), sendto(fd_, data, len, 0, reinterpret_cast<sockaddr*>(&to_), sizeof to_))
            << strerror(errno);
    }
    void Send(const Bytes& payload) { Send(payload.data(), payload.size()); }

private:
    int fd_;
    sockaddr_in to_;
};

// The counters of the run whose counters_path is `dir`.
Vorn_R10::SCountersHeader Counters(const std::string& dir) {
    Vorn_R10::SCountersSnapshot snapshot{};
    const std::vector<std::string> files = FilesIn(dir, "vorn_r10.");
    if (files.empty()) return snapshot.header;
    Vorn_R10::CCountersReader reader;
    std::string error;
    if (!reader.Open(dir + "/" + files.front(), error) || !reader.Read(snapshot, error)) ADD_FAILURE() << error;
    return snapshot.header;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::seconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string Csv() {
    std::string text = vorn_tools::CsvHeader();
    for (const Delivery& d : Deliveries())
        vorn_tools::AppendRow(vorn_tools::RowFormat::Csv, d.version,
                              d.version == 1 ? static_cast<const void*>(&d.v1) : static_cast<const void*>(&d.v2), text);
    return text;
}

// One item of a day as sent: a frame of the feed's sender, or of another sender.
struct Item {
    bool foreign;
    Bytes payload;
};

// An encrypted session on 127.0.0.1:port with its frames out of order in places, one packet
// lost for good, one repeated and a few datagrams of another sender (127.0.0.2) in between.
std::vector<Item> MakeDay(uint16_t port, const std::string& snapshotPath, int packets) {
    vorn_sim::SessionConfig config;
    config.seed = 5;
    config.encrypted = true;
    config.source_ip = "127.0.0.1";
    config.group_ip = "127.0.0.1";
    config.port = port;
    vorn_sim::SyntheticSession session(config);
    EXPECT_TRUE(session.Snapshot().WriteFile(snapshotPath));
    std::vector<Bytes> payloads;
    for (int i = 0; i < packets; ++i) {
        const Bytes frame = session.NextFrame();
        payloads.emplace_back(frame.begin() + kUdpFrameHeader, frame.end());
    }
    std::vector<Item> items;
    for (int i = 0; i < packets; ++i) {
        if (i % 50 == 20 && i + 1 < packets) { // swapped pair: the reorder list waits for one
            items.push_back({false, payloads[i + 1]});
            items.push_back({false, payloads[i]});
            ++i;
            continue;
        }
        if (i == packets / 2) continue; // lost: a gap the list gives up
        items.push_back({false, payloads[i]});
        if (i % 70 == 3) items.push_back({true, payloads[i]});
        if (i == 7) items.push_back({false, payloads[i]}); // repeated: stale
    }
    return items;
}

// The same day put on the card as frames (in a forked process: one connector per process).
std::string CardCsv(const std::vector<Item>& items, uint16_t port, const std::string& snapshot, const std::string& dir,
                    const char* cacheFlag) {
    const std::string path = dir + "/card.csv";
    const int code = RunForked(
        [&] {
            ConnectorRun run({{"insts", "all"},
                              {"options", "recv"},
                              {"snapshot", snapshot},
                              {"exanic_cache_flag", cacheFlag},
                              {"log_level", "7"}});
            if (run.Start() != 0) return 1;
            for (const Item& item : items)
                run.Put(0, vorn_sim::MakeFrame(item.foreign ? "127.0.0.2" : "127.0.0.1", "127.0.0.1", port, item.payload));
            if (!run.Drain() || run.Stop() != 0) return 2;
            std::ofstream(path) << Csv();
            return 0;
        },
        std::chrono::seconds(60));
    EXPECT_EQ(0, code) << "the card run failed";
    return ReadFile(path);
}

// Sends items while keeping at most `window` of them unread by the connector, so that the
// socket's buffer never overflows however slow the receive thread; then waits for all.
void SendPaced(const std::vector<Item>& items, uint16_t port, const std::string& dir) {
    Sender feed("127.0.0.1", port), other("127.0.0.2", port);
    constexpr uint64_t kWindow = 64;
    uint64_t sent = 0;
    for (const Item& item : items) {
        if (sent >= kWindow) {
            ASSERT_TRUE(WaitFor([&] { return Counters(dir).values.frames_received + kWindow > sent; }));
        }
        (item.foreign ? other : feed).Send(item.payload);
        ++sent;
    }
    ASSERT_TRUE(WaitFor([&] { return Counters(dir).values.frames_received == sent; }))
        << Counters(dir).values.frames_received << " of " << sent;
}

// With the reorder list (exanic_cache_flag 1) and without (0): one connector per process.
class SocketDay : public ::testing::TestWithParam<const char*> {};

TEST_P(SocketDay, DeliversExactlyTheRecordsTheCardPathDeliversFromTheSameDay) {
    TempDir scratch;
    const std::string dir = scratch.Path();
    const uint16_t port = TestPort(0);
    const std::string snapshot = dir + "/day.bin";
    const std::vector<Item> items = MakeDay(port, snapshot, 400);
    const char* cacheFlag = GetParam();
    const std::string card = CardCsv(items, port, snapshot, dir, cacheFlag);
    ASSERT_GT(LinesWith(card).size(), 600u);
    {
        ConnectorRun run({{"insts", "all"},
                          {"options", "recv"},
                          {"snapshot", snapshot},
                          {"transport", "socket"},
                          {"exanic_cache_flag", cacheFlag},
                          {"latency_sample", "1"},
                          {"log_level", "15"}});
        ASSERT_EQ(0, run.Start()) << run.Stdout();
        SendPaced(items, port, run.Dir());
        const Vorn_R10::SCountersHeader counters = Counters(run.Dir());
        run.Stop();
        EXPECT_EQ(card, Csv());
        // No card was opened and no register written; the transport and the kernel's times are in the counters.
        const std::string log = run.LogText();
        EXPECT_EQ(1u, CountOf(log, "] transport socket: 1 channel sockets on interface any, no card; version "
                                   "handshake and FPGA set-up skipped."))
            << log;
        EXPECT_EQ(0u, CountOf(log, "set_fpga_reg")) << log;
        EXPECT_EQ(Vorn_R10::TRANSPORT_SOCKET, counters.startup.transport);
        EXPECT_EQ(1u, counters.startup.work_mode);
        const size_t foreign = std::count_if(items.begin(), items.end(), [](const Item& item) { return item.foreign; });
        ASSERT_GT(foreign, 3u);
        // Every datagram was received (SendPaced waited for them all), none dropped by the kernel.
        EXPECT_EQ(foreign, counters.values.dropped_foreign);
        EXPECT_EQ(items.size() - foreign, counters.values.frames_feed);
        const Vorn_R10::SLatencyHistogram& wire = counters.histograms[Vorn_R10::HISTOGRAM_WIRE_TO_CALLBACK];
        // Every frame that delivered is sampled (latency_sample = 1) with a kernel time behind it.
        EXPECT_EQ(counters.histograms[Vorn_R10::HISTOGRAM_RECV_TO_CALLBACK].count,
                  wire.count + counters.values.wire_clock_unsynced);
        EXPECT_GT(wire.count, 300u);
        EXPECT_EQ(0u, counters.values.wire_clock_unsynced);
        // Wire to callback takes in the library's own share: its total is not smaller.
        EXPECT_GE(wire.sum_ticks, counters.histograms[Vorn_R10::HISTOGRAM_RECV_TO_CALLBACK].sum_ticks);
    }
}

INSTANTIATE_TEST_SUITE_P(CacheFlag, SocketDay, ::testing::Values("1", "0"));

// vorn-replay --udp sends each captured datagram's payload (paced as captured, an ARP frame
// skipped) to 127.0.0.1, and the socket transport delivers what the card path does from the
// same capture's frames.
TEST(SocketTransport, ReplayOverUdpDeliversWhatTheCardPathDelivers) {
    TempDir scratch;
    const std::string dir = scratch.Path();
    const uint16_t port = TestPort(4);
    const std::string snapshot = dir + "/day.bin";
    std::vector<Item> items = MakeDay(port, snapshot, 300);
    items.erase(std::remove_if(items.begin(), items.end(), [](const Item& item) { return item.foreign; }), items.end());
    const std::string card = CardCsv(items, port, snapshot, dir, "1");
    std::vector<Bytes> frames;
    for (const Item& item : items) frames.push_back(vorn_sim::MakeFrame("10.9.9.9", "127.0.0.1", port, item.payload));
    Bytes arp(60, 0);
    arp[12] = 0x08, arp[13] = 0x06;
    frames.insert(frames.begin() + 10, arp);
    const std::string capture = dir + "/day.pcap";
    ASSERT_TRUE(vorn_sim::WriteCapture(capture, frames, {}, 1700000000000000000ULL, 50000));

    ConnectorRun run({{"insts", "all"}, {"options", "recv"}, {"snapshot", snapshot}, {"transport", "socket"}});
    ASSERT_EQ(0, run.Start()) << run.Stdout();
    // The replay's socket is the sender: its address (127.0.0.1) is the channel's source.
    const std::string out = dir + "/replay.out", err = dir + "/replay.err";
    const int code = WaitExit(Spawn({VORN_REPLAY_BIN, "--udp", "127.0.0.1:" + std::to_string(port), "--pace",
                                     "--no-progress", capture},
                                    out, err),
                              std::chrono::seconds(60));
    EXPECT_EQ(0, code) << ReadFile(err);
    EXPECT_EQ(0u, ReadFile(out).rfind("datagrams " + std::to_string(items.size()) + ", ", 0)) << ReadFile(out);
    EXPECT_NE(std::string::npos, ReadFile(out).find(", skipped 1 not IPv4/UDP")) << ReadFile(out);
    ASSERT_TRUE(WaitFor([&] { return Counters(run.Dir()).values.frames_received == items.size(); }));
    run.Stop();
    EXPECT_EQ(card, Csv());

    // Usage errors name what they could not take.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--udp", "localhost:1", capture}, {"--udp", "127.0.0.1:0", capture},
          {"--udp", "127.0.0.1:9", "--device", "x", capture}}) {
        std::vector<std::string> argv = {VORN_REPLAY_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        EXPECT_EQ(2, WaitExit(Spawn(argv, out, err), std::chrono::seconds(20)));
        EXPECT_NE(std::string::npos, ReadFile(err).find("--udp")) << ReadFile(err);
    }
}

// Datagrams longer than the receive buffer, of another sender and empty are counted and dropped;
// the packets around them arrive.
TEST(SocketTransport, OversizedForeignAndEmptyDatagramsAreCountedAndDropped) {
    TempDir scratch;
    const std::string dir = scratch.Path();
    const uint16_t port = TestPort(1);
    const std::string snapshot = dir + "/day.bin";
    vorn_sim::SessionConfig config = SessionAfter100();
    config.source_ip = config.group_ip = "127.0.0.1";
    config.port = port;
    ASSERT_TRUE(vorn_sim::SyntheticSession(config).Snapshot().WriteFile(snapshot));
    ConnectorRun run({{"insts", "all"}, {"snapshot", snapshot}, {"transport", "socket"}});
    ASSERT_EQ(0, run.Start()) << run.Stdout();
    Sender feed("127.0.0.1", port), other("127.0.0.2", port);
    feed.Send(Tagged(101, kIF, 5));
    Bytes oversized = Tagged(102, kIF, 6);
    oversized.resize(3000, 0);
    feed.Send(oversized);
    other.Send(Tagged(102, kIF, 7));
    feed.Send(nullptr, 0);
    feed.Send(Tagged(102, kIF, 8));
    ASSERT_TRUE(WaitFor([&] { return Counters(run.Dir()).values.frames_received == 5; }));
    const Vorn_R10::SCountersHeader counters = Counters(run.Dir());
    run.Stop();
    EXPECT_EQ(1u, counters.values.rx_truncated);
    EXPECT_EQ(1u, counters.values.dropped_foreign);
    EXPECT_EQ(1u, counters.values.dropped_too_short);
    EXPECT_EQ(2u, counters.values.frames_feed);
    EXPECT_EQ(0u, counters.values.parse_errors);
    const std::vector<VornCffexMdType> records = V2Records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(5, records[0].bid1_volume);
    EXPECT_EQ(8, records[1].bid1_volume);
}

// The demo's software part through the socket transport: every packet sent reaches both
// callbacks, and the summary names the transport and shows wire to callback.
TEST(SocketTransport, DemoRunsItsSoftwarePartThroughTheKernel) {
    TempDir scratch;
    const std::string out = scratch.File("demo.out"), err = scratch.File("demo.err");
    setenv("TMPDIR", scratch.Path().c_str(), 1); // the demo's folder goes there, and goes at its end
    const int code = WaitExit(Spawn({VORN_DEMO_BIN, "--seconds", "1", "--rate", "2000", "--mode", "software",
                                     "--transport", "socket"},
                                    out, err),
                              std::chrono::seconds(60));
    const std::string summary = ReadFile(out);
    EXPECT_EQ(std::vector<std::string>{}, FilesIn(scratch.Path(), "vorn_demo_"));
    EXPECT_EQ(0u, CountOf(summary, "vorn-stat --dir")) << "no path of a folder that is gone";
    EXPECT_EQ(0, code) << summary << ReadFile(err);
    EXPECT_EQ(1u, CountOf(summary, "  transport         socket (kernel UDP, datagrams to 127.0.0.1:")) << summary;
    EXPECT_EQ(1u, CountOf(summary, "one per packet received: yes")) << summary;
    EXPECT_EQ(1u, CountOf(summary, "  wire -> callback        p50 ")) << summary;
    EXPECT_EQ(0u, CountOf(summary, "frame put -> callback")) << "no card puts to measure from";
}

// The source-specific multicast join, only inside a network namespace of the test's own (its
// loopback up, a multicast route on it): datagrams of the channel's source to the group arrive,
// those of another source to the same group are filtered out by the join.
TEST(SocketTransport, MulticastChannelsAreJoinedForTheirSourceOnly) {
    TempDir scratch;
    const std::string dir = scratch.Path();
    constexpr int kNotAllowed = 77;
    const int code = RunForked(
        [&] {
            if (unshare(CLONE_NEWNET) != 0) return kNotAllowed;
            if (system("ip link set lo up && ip route add 239.0.0.0/8 dev lo") != 0) return kNotAllowed;
            const uint16_t port = TestPort(5);
            vorn_sim::SessionConfig config = SessionAfter100();
            config.source_ip = "127.0.0.1";
            config.group_ip = "239.3.42.7";
            config.port = port;
            if (!vorn_sim::SyntheticSession(config).Snapshot().WriteFile(dir + "/day.bin")) return 1;
            ConnectorRun run(
                {{"insts", "all"}, {"snapshot", dir + "/day.bin"}, {"transport", "socket"}, {"interface", "127.0.0.1"}});
            if (run.Start() != 0) return 2;
            Sender("127.0.0.2", port, "239.3.42.7").Send(Tagged(101, kIF, 9));
            Sender feed("127.0.0.1", port, "239.3.42.7");
            feed.Send(Tagged(101, kIF, 4));
            feed.Send(Tagged(102, kIF, 5));
            if (::testing::Test::HasFailure()) return 3;
            if (!WaitFor([&] { return Counters(run.Dir()).values.frames_received >= 2; })) return 4;
            std::this_thread::sleep_for(std::chrono::milliseconds(50)); // a stray datagram would arrive by now
            const Vorn_R10::SCountersHeader counters = Counters(run.Dir());
            run.Stop();
            const std::vector<VornCffexMdType> records = V2Records();
            if (counters.values.frames_received != 2 || counters.values.dropped_foreign != 0) return 5;
            if (records.size() != 2 || records[0].bid1_volume != 4 || records[1].bid1_volume != 5) return 6;
            return 0;
        },
        std::chrono::seconds(60));
    if (code == kNotAllowed) GTEST_SKIP() << "no network namespace of our own here (unshare --net not allowed)";
    EXPECT_EQ(0, code);
}

// Sockets this process has open (the log file the connector keeps open is no socket).
size_t OpenSockets() {
    size_t count = 0;
    if (DIR* listing = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(listing)) {
            char target[256] = {};
            const std::string link = std::string("/proc/self/fd/") + entry->d_name;
            if (readlink(link.c_str(), target, sizeof target - 1) > 0 && strncmp(target, "socket:", 7) == 0) ++count;
        }
        closedir(listing);
    }
    return count;
}

// A channel that cannot be bound fails start-up with a line naming it and -1, and leaves no
// socket open; so does an interface that is no address. Unknown transport and work_mode
// values take the defaults with a warning.
TEST(SocketTransport, StartupFailuresNameTheChannelAndLeaveNothingOpen) {
    TempDir scratch;
    const std::string dir = scratch.Path();
    const uint16_t free = TestPort(2), taken = TestPort(3);
    vorn_sim::SnapshotWriter writer;
    const std::string good = "udp://127.0.0.1:" + std::to_string(free) + "/127.0.0.1";
    const std::string busy = "udp://127.0.0.1:" + std::to_string(taken) + "/127.0.0.1";
    writer.AddChannel(good, 1);
    writer.AddChannel(busy, 2);
    writer.SetTradeDate(20261216);
    writer.SetCodeSegment(vorn_sim::SyntheticSession().CodeSegment());
    const std::string snapshot = dir + "/two.bin";
    ASSERT_TRUE(writer.WriteFile(snapshot));
    const size_t before = OpenSockets();
    const int holder = Bound("127.0.0.1", taken); // holds the second channel's port exclusively

    {
        ConnectorRun run({{"snapshot", snapshot}, {"transport", "socket"}});
        EXPECT_EQ(-1, run.Start());
        const std::string log = run.LogText();
        EXPECT_EQ(1u, CountOf(log, "channel " + busy + " cannot be received through a socket, bind: Address already in use."))
            << log;
        EXPECT_EQ(0u, CountOf(log, "transport socket:"));
    }
    EXPECT_EQ(before + 1, OpenSockets()) << "the first channel's socket was left open";
    close(holder);

    {
        ConnectorRun run({{"snapshot", snapshot}, {"transport", "socket"}, {"interface", "eth0"}});
        EXPECT_EQ(-1, run.Start());
        EXPECT_EQ(1u, CountOf(run.Stdout(), "interface [eth0] is no IPv4 address."));
    }
    {
        // A group that is no local address cannot be bound (nothing is sent to it).
        vorn_sim::SnapshotWriter remote;
        remote.AddChannel("udp://192.0.2.1:" + std::to_string(free) + "/192.0.2.2", 1);
        remote.SetTradeDate(20261216);
        remote.SetCodeSegment(vorn_sim::SyntheticSession().CodeSegment());
        ASSERT_TRUE(remote.WriteFile(snapshot));
        ConnectorRun run({{"snapshot", snapshot}, {"transport", "socket"}});
        EXPECT_EQ(-1, run.Start());
        EXPECT_EQ(1u, CountOf(run.Stdout(), "channel udp://192.0.2.1:" + std::to_string(free) +
                                                "/192.0.2.2 cannot be received through a socket, bind: "))
            << run.Stdout();
    }
    EXPECT_EQ(before, OpenSockets());
    {
        ConnectorRun run({{"snapshot", snapshot}, {"transport", "kernel"}, {"work_mode", "soft"}});
        EXPECT_EQ(0, run.Start()) << run.Stdout(); // the card's start-up, software mode
        const std::string log = run.Stdout();
        EXPECT_EQ(1u, CountOf(log, "transport [kernel] is neither card nor socket, card is used.")) << log;
        EXPECT_EQ(1u, CountOf(log, "work_mode [soft] is neither auto nor software, auto is used.")) << log;
        EXPECT_EQ(0u, CountOf(log, "transport socket:"));
    }
}

} // namespace
