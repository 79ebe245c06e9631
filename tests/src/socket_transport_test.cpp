// The socket transport end to end: datagrams to loopback reach the callbacks as the same frames
// on the card do; others are counted and dropped; a channel that cannot be bound fails start-up
// with nothing left open. All is sent to 127.0.0.0/8 (multicast inside a namespace of its own).
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <filesystem>

#include "card_rows.h"
#include "child_process.h"
#include "connector_harness.h"
#include "pcap_writer.h"
#include "udp_loopback.h"

namespace {

using namespace vorn_test;
using Bytes = std::vector<uint8_t>;
using Config = std::map<std::string, std::string>;

bool Received(const ConnectorRun& run, uint64_t frames) { return WaitFor([&] { return ReadCounters(run).header.values.frames_received >= frames; }); }

// A snapshot (after seqno 100) of two channels to `group`: 127.0.0.1 to `port`, 127.0.0.3 to `portB`.
std::string TwoChannels(const TempDir& dir, const char* group, uint16_t port, uint16_t portB) {
    vorn_sim::SessionConfig config = SessionAfter100();
    config.source_ip = "127.0.0.1", config.group_ip = group, config.port = port;
    vorn_sim::SnapshotWriter snapshot = vorn_sim::SyntheticSession(config).Snapshot();
    snapshot.AddChannel("udp://" + std::string(group) + ":" + std::to_string(portB) + "/127.0.0.3", 2);
    EXPECT_TRUE(snapshot.WriteFile(dir.File("day.bin")));
    return dir.File("day.bin");
}

// A datagram of the day: whether another sender (127.0.0.2) than the feed (127.0.0.1) sends it; its payload.
using Item = std::pair<bool, Bytes>;

// An encrypted session to 127.0.0.1:port with pairs swapped in places, one packet lost for
// good, one repeated and (unless `alone`) a few datagrams of another sender in between.
std::vector<Item> MakeDay(uint16_t port, const std::string& snapshotPath, bool alone) {
    vorn_sim::SessionConfig config;
    config.seed = 5, config.encrypted = true, config.port = port;
    config.source_ip = config.group_ip = "127.0.0.1";
    vorn_sim::SyntheticSession session(config);
    EXPECT_TRUE(session.Snapshot().WriteFile(snapshotPath));
    std::vector<Bytes> payloads(400);
    for (Bytes& payload : payloads) {
        const Bytes frame = session.NextFrame();
        payload.assign(frame.begin() + 42, frame.end()); // after Ethernet, IPv4 and UDP headers
    }
    std::vector<Item> items;
    for (int i = 0; i < 400; ++i) {
        if (i % 50 == 20) { // swapped pair: the reorder list waits for one
            items.push_back({false, payloads[i + 1]});
            items.push_back({false, payloads[i++]});
        } else if (i != 200) { // 200 is lost
            items.push_back({false, payloads[i]});
            if (i % 70 == 3 && !alone) items.push_back({true, payloads[i]});
            if (i == 7) items.push_back({false, payloads[i]}); // repeated: stale
        }
    }
    return items;
}

// The day's items as card frames, each from its sender.
std::vector<Bytes> Frames(const std::vector<Item>& items, uint16_t port, const char* feedSource = "127.0.0.1") {
    std::vector<Bytes> frames;
    for (const Item& item : items)
        frames.push_back(vorn_sim::MakeFrame(item.first ? "127.0.0.2" : feedSource, "127.0.0.1", port, item.second));
    return frames;
}

// Sends items while keeping at most 64 unread by the connector, so that the socket's buffer
// never overflows however slow the receive thread.
void SendPaced(const std::vector<Item>& items, uint16_t port, const ConnectorRun& run) {
    UdpSender feed("127.0.0.1", port), other("127.0.0.2", port);
    for (size_t sent = 0; sent < items.size(); ++sent) {
        ASSERT_TRUE(sent < 64 || Received(run, sent - 63));
        (items[sent].first ? other : feed).Send(items[sent].second);
    }
}

// vorn-replay --udp plays the day's capture (paced, an ARP frame skipped) from its own socket.
void Replay(const std::vector<Item>& items, uint16_t port, const std::string& dir) {
    std::vector<Bytes> frames = Frames(items, port, "10.9.9.9");
    frames.insert(frames.begin() + 10, Bytes(60, 0));
    frames[10][12] = 0x08, frames[10][13] = 0x06;
    ASSERT_TRUE(vorn_sim::WriteCapture(dir + "/day.pcap", frames, {}, 1700000000000000000ULL, 50000));
    const std::string out = dir + "/replay.out";
    EXPECT_EQ(0, WaitExit(Spawn({VORN_REPLAY_BIN, "--udp", "127.0.0.1:" + std::to_string(port), "--pace", "--no-progress",
                                 dir + "/day.pcap"}, out, out), std::chrono::seconds(60)));
    const std::string said = ReadFile(out);
    EXPECT_TRUE(said.rfind("datagrams " + std::to_string(items.size()) + ", ", 0) == 0 && said.find(", skipped 1 not IPv4/UDP") != std::string::npos) << said;
}

// With the reorder list (exanic_cache_flag 1) and without (0), sent by the test or by vorn-replay.
class SocketDay : public ::testing::TestWithParam<std::string> {};

TEST_P(SocketDay, DeliversExactlyTheRecordsTheCardPathDeliversFromTheSameDay) {
    TempDir scratch;
    const uint16_t port = FreePort();
    const bool replay = GetParam() == "replay"; // with the reorder list
    const std::vector<Item> items = MakeDay(port, scratch.File("day.bin"), replay);
    Config config = {{"insts", "all"}, {"options", "recv"}, {"snapshot", scratch.File("day.bin")},
                     {"exanic_cache_flag", replay ? "1" : GetParam()}, {"log_level", "7"}};
    const std::string card = CardCsv(Frames(items, port), config, scratch.Path());
    config.insert({{"transport", "socket"}, {"latency_sample", "1"}});
    const KernelReceiveStamps stamped; // every datagram of the day has the kernel's time
    ConnectorRun run(config);
    ASSERT_EQ(0, run.Start()) << run.Stdout();
    replay ? Replay(items, port, scratch.Path()) : SendPaced(items, port, run);
    ASSERT_TRUE(Received(run, items.size())) << ReadCounters(run).header.values.frames_received;
    const Vorn_R10::SCountersHeader counters = ReadCounters(run).header;
    const std::string out = scratch.File("stat.out");
    EXPECT_EQ(0, WaitExit(Spawn({VORN_STAT_BIN, "--dir", run.Dir(), "--once"}, out, out), std::chrono::seconds(20)));
    run.Stop();
    EXPECT_EQ(card, DeliveriesCsv());
    // No card, no register; the kernel's receive times, named for what they are.
    const std::string log = run.LogText();
    for (const char* line : {"] transport socket: 1 channel sockets on interface any, no card; version handshake and FPGA set-up skipped.",
                             "] receive times: the kernel's software time, as kernel_to_callback (no hardware receive stamps on lo)."})
        EXPECT_EQ(1u, CountOf(log, line)) << log;
    EXPECT_EQ(0u, CountOf(log, "set_fpga_reg"));
    const Vorn_R10::SCounterValues& v = counters.values;
    const uint64_t foreign = replay ? 0 : 6;
    EXPECT_EQ((std::vector<uint64_t>{Vorn_R10::TRANSPORT_SOCKET, 1, foreign, items.size() - foreign, 0, 0, 0}),
              (std::vector<uint64_t>{counters.startup.transport, counters.startup.work_mode, v.dropped_foreign,
                                     v.frames_feed, v.kernel_drops, v.socket_errors, v.wire_clock_unsynced}));
    // Every frame that delivered is sampled twice: from the kernel's time and from the library's
    // receive, which comes after it.
    const Vorn_R10::SLatencyHistogram& own = counters.histograms[Vorn_R10::HISTOGRAM_RECV_TO_CALLBACK];
    const Vorn_R10::SLatencyHistogram& kernel = counters.histograms[Vorn_R10::HISTOGRAM_WIRE_TO_CALLBACK];
    EXPECT_EQ(kernel.count, own.count);
    EXPECT_GE(kernel.sum_ticks, own.sum_ticks);
    const std::string stat = ReadFile(out);
    EXPECT_EQ(1u, CountOf(stat, "1 frame in 1)\n  latency kernel_to_callback: p50 ")) << stat;
    EXPECT_EQ(2u, CountOf(stat, " samples, 1 frame in 1)\n")) << stat; // no other span
    EXPECT_EQ(1u, CountOf(stat, "  sockets: receive buffer " + std::to_string(counters.startup.socket_rcvbuf) + " bytes\n"));
}

INSTANTIATE_TEST_SUITE_P(CacheFlag, SocketDay, ::testing::Values("1", "0", "replay"));

// Each datagram is waited for, so each is the first of its batch and lands in a buffer an earlier one
// filled; an empty one is dropped, a short one read with a zeroed header, not the earlier one's.
TEST(SocketTransport, OnlyWholeDatagramsOfAChannelsSourceAndPortAreTheFeed) {
    TempDir scratch;
    const uint16_t portA = FreePort(), portB = FreePort();
    ConnectorRun run({{"insts", "all"}, {"snapshot", TwoChannels(scratch, "127.0.0.1", portA, portB)},
                      {"transport", "socket"}, {"exanic_cache_flag", "0"}});
    ASSERT_EQ(0, run.Start()) << run.Stdout();
    UdpSender feed("127.0.0.1", portA), other("127.0.0.2", portA), feedB("127.0.0.3", portB), wrongPort("127.0.0.3", portA);
    Bytes oversized = Tagged(102, kIF, 6);
    oversized.resize(3000);
    const std::pair<UdpSender*, Bytes> sends[] = {
        {&feed, Tagged(101, kIF, 5)}, {&feed, oversized},     {&other, Tagged(102, kIF, 7)},
        {&wrongPort, Tagged(102, kIF, 8)}, {&feed, {}},      {&other, Tagged(300, kIF, 9)},
        {&feed, Bytes(3, 0)},         {&feed, Tagged(102, kIF, 10)}, {&feedB, Tagged(103, kIF, 11)}};
    uint64_t sent = 0;
    for (const auto& send : sends) {
        send.first->Send(send.second);
        ASSERT_TRUE(Received(run, ++sent));
    }
    const Vorn_R10::SCounterValues v = ReadCounters(run).header.values;
    run.Stop();
    EXPECT_EQ((std::vector<uint64_t>{1, 3, 1, 4, 0}),
              (std::vector<uint64_t>{v.rx_truncated, v.dropped_foreign, v.dropped_too_short, v.frames_feed, v.gaps_detected}));
    std::vector<int64_t> volumes;
    for (const VornCffexMdType& record : V2Records()) volumes.push_back(record.bid1_volume);
    EXPECT_EQ((std::vector<int64_t>{5, 10, 11}), volumes);
}

// Source-specific joins, in a network namespace of the test's own (loopback up, a multicast route on
// it): each socket takes its source's datagrams only; a third source's are filtered out by the joins.
TEST(SocketTransport, MulticastChannelsShareAGroupEachForItsSource) {
    TempDir scratch;
    const int code = RunForked(
        [&] {
            if (unshare(CLONE_NEWNET) != 0 || system("ip link set lo up && ip route add 239.0.0.0/8 dev lo") != 0)
                return 77; // not allowed here
            const uint16_t port = FreePort();
            ConnectorRun run({{"insts", "all"}, {"snapshot", TwoChannels(scratch, "239.3.42.7", port, port)},
                              {"transport", "socket"}, {"interface", "127.0.0.1"}, {"exanic_cache_flag", "0"}});
            if (run.Start() != 0) return 1;
            UdpSender("127.0.0.2", port, "239.3.42.7").Send(Tagged(101, kIF, 9));
            UdpSender("127.0.0.1", port, "239.3.42.7").Send(Tagged(101, kIF, 4));
            EXPECT_TRUE(Received(run, 1)); // the sockets are polled in turn: the order is the test's
            UdpSender("127.0.0.3", port, "239.3.42.7").Send(Tagged(102, kIF, 5));
            EXPECT_TRUE(Received(run, 2));
            usleep(50000); // a stray datagram would arrive by now
            EXPECT_EQ(2u, ReadCounters(run).header.values.frames_received);
            run.Stop();
            const std::vector<VornCffexMdType> records = V2Records();
            EXPECT_TRUE(records.size() == 2 && records[0].bid1_volume == 4 && records[1].bid1_volume == 5);
            return ::testing::Test::HasFailure() ? 2 : 0;
        },
        std::chrono::seconds(60));
    if (code == 77) GTEST_SKIP() << "no network namespace of our own here (unshare --net not allowed)";
    EXPECT_EQ(0, code);
}

// Sockets this process has open (the log file the connector keeps open is no socket).
size_t OpenSockets() {
    size_t count = 0;
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd"))
        count += std::filesystem::read_symlink(fd.path(), error).string().rfind("socket:", 0) == 0;
    return count;
}

// When a unicast port is bound elsewhere (even by a socket that would share it), an address is no local
// one or the interface no address; unicast channels of one port share a socket.
TEST(SocketTransport, StartupFailuresNameTheChannelAndLeaveNothingOpen) {
    TempDir scratch;
    const uint16_t free = FreePort(), taken = FreePort();
    const std::string good = "udp://127.0.0.1:" + std::to_string(free) + "/127.0.0.1",
                      twin = "udp://127.0.0.1:" + std::to_string(free) + "/127.0.0.2",
                      busy = "udp://127.0.0.1:" + std::to_string(taken) + "/127.0.0.1",
                      remote = "udp://192.0.2.1:" + std::to_string(free) + "/192.0.2.2";
    const int holder = BoundUdp("127.0.0.1", taken), on = 1;
    ASSERT_EQ(0, setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on));
    const size_t before = OpenSockets();
    const Config socket = {{"transport", "socket"}};
    struct Case { std::vector<std::string> channels; Config keys; int result; std::vector<std::string> lines; } const cases[] = { // the socket start first: the process's log stays in the first run's folder
        {{good, twin}, socket, 0, {"transport socket: 1 channel sockets on interface any"}},
        {{good, twin, busy}, socket, -1, {"channel " + busy + " cannot be received through a socket, bind: Address already in use."}},
        {{remote}, socket, -1, {"channel " + remote + " cannot be received through a socket, bind: Cannot assign requested address."}},
        {{good}, {{"transport", "socket"}, {"interface", "eth0"}}, -1, {"interface [eth0] is no IPv4 address."}},
        {{good}, {{"transport", "kernel"}, {"work_mode", "soft"}}, 0, // the card's start-up, software mode
         {"transport [kernel] is neither card nor socket, card is used.", "work_mode [soft] is neither auto nor software, auto is used."}}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.lines.front());
        vorn_sim::SnapshotWriter writer;
        for (const std::string& channel : k.channels) writer.AddChannel(channel, 1);
        writer.SetTradeDate(20261216);
        writer.SetCodeSegment(vorn_sim::SyntheticSession().CodeSegment());
        ASSERT_TRUE(writer.WriteFile(scratch.File("day.bin")));
        Config keys = k.keys;
        keys["snapshot"] = scratch.File("day.bin");
        ConnectorRun run(keys);
        EXPECT_EQ(k.result, run.Start());
        for (const std::string& line : k.lines) EXPECT_EQ(1u, CountOf(run.Stdout(), line)) << run.Stdout();
        EXPECT_EQ(before, OpenSockets());
    }
    close(holder);
}

} // namespace
