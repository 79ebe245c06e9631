// Bad frames and channel texts, end to end: what the application sees, what the log says.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "connector_harness.h"
#include "feed_encoder.h"
#include "synthetic_session.h"

namespace {

using namespace vorn_test;
using Bytes = std::vector<uint8_t>;

// A packet whose best bid volume tags it.
Bytes Tagged(uint32_t seqno, int32_t key, int64_t tag) {
    return vorn_sim::PacketBuilder(seqno).UpdateTime(key, 34200, 0).Best(3, tag, 4, 1).Bytes();
}

Bytes FeedFrame(const Bytes& payload) { return vorn_sim::MakeFrame("10.0.0.5", "239.3.42.1", 30001, payload); }

std::vector<int32_t> Tags() {
    std::vector<int32_t> tags;
    for (const VornCffexMdType& r : V2Records()) tags.push_back(int32_t{r.bid1_volume}); // packed member: copy
    return tags;
}

class BadFrames : public testing::Test {
protected:
    void Start(const std::map<std::string, std::string>& config) {
        ASSERT_TRUE(WriteTodaySnapshot(session.Snapshot()));
        run = std::make_unique<ConnectorRun>(config);
        RegisterCallbacks(false, true);
        ASSERT_EQ(0, run->Start());
    }
    int32_t Key() const { return session.Instruments().front().key; }
    void PutRaw(const Bytes& frame, vorn_sim_put_mode mode, unsigned flags) {
        ASSERT_EQ(0, vorn_sim_put_frame(run->Card(), 0, frame.data(), frame.size(), mode, flags));
    }
    size_t LogLines(const std::string& needle) { return LinesWith(run->LogText(), needle).size(); }

    vorn_sim::SyntheticSession session;
    std::unique_ptr<ConnectorRun> run;
};

// Frames the receive drops without a trace: marked faulty by the card, longer than the
// receive buffer, carrying no payload, or whose IP header length leaves no payload.
TEST_F(BadFrames, FaultyOversizedAndPayloadlessFramesAreDroppedSilently) {
    Start({{"insts", "all"}, {"exanic_cache_flag", "0"}});
    PutRaw(FeedFrame(Tagged(1, Key(), 10)), VORN_SIM_WAIT, VORN_SIM_FRAME_FAULTY);
    Bytes padded = Tagged(1, Key(), 11);
    padded.resize(3000, 0);
    run->Put(0, FeedFrame(padded));
    run->Put(0, FeedFrame({}));
    Bytes longHeader = FeedFrame(Tagged(1, Key(), 12));
    longHeader[14] = 0x4F; // IHL 15: payload would start at byte 82, past the frame's end
    longHeader.resize(70);
    run->Put(0, longHeader);
    run->Put(0, FeedFrame(Tagged(1, Key(), 13)));
    ASSERT_TRUE(run->Drain());
    EXPECT_EQ((std::vector<int32_t>{13}), Tags());
    EXPECT_EQ(0u, LogLines("msg is error"));
    EXPECT_EQ(0u, LogLines("UdpNo is not seq"));
}

// A frame of exactly 2048 bytes is taken; the receive buffer never holds more.
TEST_F(BadFrames, FrameFillingTheWholeReceiveBufferIsTaken) {
    Start({{"insts", "all"}, {"exanic_cache_flag", "1"}});
    const Bytes packet = Tagged(1, Key(), 21);
    Bytes padded = packet;
    padded.resize(2048 - vorn_sim::kFrameHeadersSize, 0);
    run->Put(0, FeedFrame(padded));
    ASSERT_TRUE(run->Drain());
    EXPECT_EQ((std::vector<int32_t>{21}), Tags());
    // The zero padding reads as stale 20-byte packets; a shorter rest fails the payload.
    const bool shortRest = (padded.size() - packet.size()) % 20 != 0;
    EXPECT_EQ(shortRest ? 1u : 0u, LogLines("_processChunk is error, msg is error, pUdpHeader->seqno is 1."));
}

std::atomic<bool> g_holdFirst{false};
std::atomic<bool> g_held{false};

// Waits (at most 20 s) while g_held has the given value.
void WaitWhile(bool held) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (g_held == held && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void HoldFirstDelivery(VornCffexMdType* record) {
    Deliveries().push_back(Delivery{2, {}, *record});
    if (!g_holdFirst.exchange(false)) return;
    g_held = true;
    WaitWhile(true);
}

// A reader lapped by the card loses the frames it missed: it gets one receive error, goes on
// with the newest frame, and the jump in sequence numbers is a loss like any other.
TEST_F(BadFrames, LappedReceiveLosesFramesAndClearsTrust) {
    Start({{"insts", "all"}, {"exanic_cache_flag", "0"}});
    g_holdFirst = true;
    set_parse_data_version_2(HoldFirstDelivery);
    run->Put(0, FeedFrame(Tagged(1, Key(), 1)));
    WaitWhile(false);
    ASSERT_TRUE(g_held);
    const uint32_t lapped = VORN_SIM_RING_SLOTS + 100;
    for (uint32_t seqno = 2; seqno <= lapped; ++seqno)
        PutRaw(FeedFrame(Tagged(seqno, Key(), static_cast<int64_t>(seqno))), VORN_SIM_OVERWRITE, 0);
    g_held = false;
    run->Put(0, FeedFrame(Tagged(lapped + 1, Key(), lapped + 1)));
    ASSERT_TRUE(run->Drain());

    vorn_sim_counters counters{};
    vorn_sim_get_counters(run->Card(), 0, &counters);
    EXPECT_GT(counters.lost, 0u);
    const std::vector<VornCffexMdType> records = V2Records();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(1, int32_t{records.front().bid1_volume});
    EXPECT_EQ(1, int64_t{records.front().trust_flag});
    EXPECT_EQ(static_cast<int32_t>(lapped + 1), int32_t{records.back().bid1_volume});
    EXPECT_LT(records.size(), static_cast<size_t>(lapped) - counters.lost + 2);
    for (size_t i = 1; i < records.size(); ++i) {
        EXPECT_LT(int32_t{records[i - 1].bid1_volume}, int32_t{records[i].bid1_volume});
        EXPECT_EQ(0, int64_t{records[i].trust_flag}) << "only best levels since the loss";
    }
    EXPECT_EQ(1u, LogLines("m_CurUdpNo is 1."));
    EXPECT_EQ(1u, LogLines("UdpNo is not seq, m_CurUdpNo is [1]"));
}

// Channel texts that split into port and source but are no port number or no IPv4 address:
// start-up succeeds and the channel matches no frame.
TEST(BadChannelText, ChannelThatIsNoAddressMatchesNothing) {
    vorn_sim::SyntheticSession session;
    vorn_sim::SnapshotWriter writer;
    writer.AddChannel("udp://239.3.42.1:3000x/10.0.0.5");
    writer.AddChannel("udp://239.3.42.2:30002/feed-host");
    writer.AddChannel("udp://239.3.42.3:70001/10.0.0.7");
    writer.SetCodeSegment(session.CodeSegment());
    const int32_t key = session.Instruments().front().key;
    const depth_market_data_field depth = session.Initial(key);
    writer.AddInstrument(key, vorn_sim::PriceEncodingOf(session.Instruments().front()), depth);
    ASSERT_TRUE(WriteTodaySnapshot(writer));
    ConnectorRun run(std::map<std::string, std::string>{{"insts", "all"}});
    RegisterCallbacks(false, true);
    ASSERT_EQ(0, run.Start()) << run.Stdout();
    run.Put(0, vorn_sim::MakeFrame("10.0.0.5", "239.3.42.1", 3000, Tagged(1, key, 1)));
    run.Put(0, vorn_sim::MakeFrame("10.0.0.5", "239.3.42.1", 30001, Tagged(1, key, 2)));
    run.Put(0, vorn_sim::MakeFrame("10.0.0.7", "239.3.42.3", 4465, Tagged(1, key, 3))); // 70001 mod 65536
    run.Put(0, vorn_sim::MakeFrame("0.0.0.0", "239.3.42.2", 30002, Tagged(1, key, 4)));
    ASSERT_TRUE(run.Drain());
    EXPECT_TRUE(Deliveries().empty());
    EXPECT_EQ(0, run.Stop());
    EXPECT_EQ(1u, LinesWith(run.LogText(), "m_udp_dst_port_a is 3000x, m_udp_src_ip_a is 10.0.0.5.").size());
    EXPECT_EQ(1u, LinesWith(run.LogText(), "m_udp_dst_port_b is 30002, m_udp_src_ip_b is feed-host.").size());
}

// Bytes after the last depth entry are not read: start-up succeeds and the feed is delivered.
TEST(BadSnapshotTail, BytesAfterTheLastDepthEntryAreIgnored) {
    vorn_sim::SyntheticSession session;
    std::vector<uint8_t> bytes = session.Snapshot().Bytes();
    bytes.insert(bytes.end(), 1000, 0xEE);
    LockTodaySnapshot();
    const std::string path = vorn_sim::SnapshotWriter::TodayPath();
    const std::string temporary = path + ".badinput";
    FILE* out = fopen(temporary.c_str(), "wb");
    ASSERT_NE(nullptr, out);
    ASSERT_EQ(bytes.size(), fwrite(bytes.data(), 1, bytes.size(), out));
    ASSERT_EQ(0, fclose(out));
    ASSERT_EQ(0, chmod(temporary.c_str(), 0644));
    ASSERT_EQ(0, rename(temporary.c_str(), path.c_str()));
    ConnectorRun run(std::map<std::string, std::string>{{"insts", "all"}});
    RegisterCallbacks(false, true);
    ASSERT_EQ(0, run.Start()) << run.Stdout();
    run.Put(0, session.NextFrame());
    ASSERT_TRUE(run.Drain());
    EXPECT_EQ(1u, Deliveries().size());
}

} // namespace
