// Software mode end to end: hand-made frames on the simulated card through init_connector.
#include <gtest/gtest.h>

#include "connector_harness.h"
#include "feed_encoder.h"
#include "synthetic_session.h"

namespace {

using namespace vorn_test;
using vorn_sim::PacketBuilder;
using Bytes = std::vector<uint8_t>;

// A hand-made feed against the session's snapshot (IF2612 base 4000, IH2612 base 2700).
class HandFeed : public ::testing::Test {
protected:
    void Start(std::map<std::string, std::string> config, bool v1 = true) {
        ASSERT_TRUE(WriteTodaySnapshot(session.Snapshot()));
        run = std::make_unique<ConnectorRun>(config);
        RegisterCallbacks(v1, true);
        ASSERT_EQ(0, run->Start());
    }
    void Put(const Bytes& payload) { run->Put(0, session.Frame(payload)); }
    // After draining, the records delivered as "tag/trust ..." (the tag is the bid volume).
    std::string Drained() {
        EXPECT_TRUE(run->Drain());
        std::string out;
        for (const VornCffexMdType& r : V2Records()) out += std::to_string(r.bid1_volume) + "/" + std::to_string(r.trust_flag) + " ";
        return out;
    }
    size_t LogLines(const std::string& needle) { return LinesWith(run->LogText(), needle).size(); }

    vorn_sim::SyntheticSession session{SessionAfter100()};
    std::unique_ptr<ConnectorRun> run;
};

TEST_F(HandFeed, GapOnTheDirectPathClearsTrustUntilLevelsAreRefreshed) {
    Start({{"insts", "all"}, {"exanic_cache_flag", "0"}});
    Put(Tagged(101, kIF, 1));
    Put(Tagged(103, kIF, 3)); // 102 lost
    Put(PacketBuilder(104).Bid23(1, 4, 2, 4).Ask23(1, 4, 2, 4).Bid45(1, 4, 2, 4).Bytes());
    Put(PacketBuilder(105).Ask45(1, 5, 2, 5).Bytes());
    Put(Tagged(106, kIH, 6));
    Put(Tagged(104, kIH, 99)); // stale
    EXPECT_EQ("1/1 3/0 3/0 3/1 6/0 ", Drained());
    EXPECT_EQ(1u, LogLines("pUdpHeader->seqno is 103, m_CurUdpNo is 101."));
    EXPECT_EQ(1u, LogLines("UdpNo is not seq, m_CurUdpNo is [101], m_UdpHeader seqno is [103]"));
    EXPECT_EQ(0u, LogLines("add buffer"));
    const Vorn_R10::SCounterValues counted = ReadCounters(*run).header.values; // one gap, seen and given up at once
    EXPECT_EQ(std::make_pair(uint64_t{1}, uint64_t{1}), std::make_pair(+counted.gaps_detected, +counted.gaps_given_up));
}

// Duplicates wait in arrival order: the first 104 is delivered, later copies and stale ones
// dropped. Then a full list plus one more early packet gives the gap up and is flushed in order.
TEST_F(HandFeed, ReorderingFilledInTimeOrGivenUp) {
    Start({{"insts", "all"}, {"exanic_cache_flag", "1"}, {"exanic_cache_size", "3"}});
    const std::pair<uint32_t, int64_t> arrivals[] = {{101, 101}, {103, 103}, {104, 104}, {104, 999},
                                                     {102, 102}, {105, 105}, {101, 998}, {50, 997}};
    for (const auto& a : arrivals) Put(Tagged(a.first, kIF, a.second));
    Bytes cut = Tagged(106, kIF, 106); // a cut packet on this path names its sequence number
    cut.resize(cut.size() - 1);
    Put(cut);
    Put(Tagged(107, kIF, 107));
    for (uint32_t seqno : {111u, 110u, 109u, 112u, 113u}) Put(Tagged(seqno, kIF, static_cast<int64_t>(seqno)));
    EXPECT_EQ("101/1 102/1 103/1 104/1 105/1 107/1 109/0 110/0 111/0 112/0 113/0 ", Drained()); // only best refreshed since
    EXPECT_EQ(7u, LogLines("add buffer")); // 103, 104 twice; 111, 110, 109 and 112, which overflows
    EXPECT_EQ(1u, LogLines("UdpNo is not seq")); // 109 after 107
    EXPECT_EQ(1u, LogLines("_processChunk is error, msg is error, pUdpHeader->seqno is 106."));
    EXPECT_EQ(4u, LogLines("dma0 recv buffer, pUdpHeader->seqno is "));
    EXPECT_EQ(1u, LogLines("dma0 recv buffer, pUdpHeader->seqno is 109, m_CurUdpNo is 107."));
    EXPECT_EQ(1u, LogLines("dma0 recv buffer, pUdpHeader->seqno is 112, m_CurUdpNo is 111."));
    for (uint32_t seqno : {115u, 117u, 114u}) Put(Tagged(seqno, kIF, static_cast<int64_t>(seqno))); // 117 waits on
    ASSERT_TRUE(run->Drain());
    const Vorn_R10::SCounterValues counted = ReadCounters(*run).header.values; // gaps at 103, 111, 115 and 117
    EXPECT_EQ((std::vector<uint64_t>{4, 2, 1}), (std::vector<uint64_t>{counted.gaps_detected, counted.gaps_filled, counted.gaps_given_up}));
}

TEST_F(HandFeed, FramesWithSeveralOrCutPackets) {
    Start({{"insts", "all"}, {"exanic_cache_flag", "0"}});
    Put(vorn_sim::JoinPackets({Tagged(101, kIF, 1), Tagged(102, kIH, 2), Tagged(103, kIF, 3)}));
    Bytes cut = Tagged(104, kIF, 4);
    cut.resize(cut.size() - 2);
    Put(cut);
    const Bytes whole = Tagged(105, kIF, 5);
    Put(Bytes(whole.begin(), whole.begin() + 12)); // shorter than a packet header
    Put(Tagged(106, kIH, 6));
    EXPECT_EQ("1/1 2/1 3/1 6/0 ", Drained()); // 105 lost after the cut 104
    EXPECT_EQ(2u, LogLines("_processChunk is error, msg is error."));
    EXPECT_EQ(kIH, V2Records().back().inst_no);
}

TEST_F(HandFeed, SelectionOutsideTheSnapshotAndOneCallback) {
    Start({{"insts", "IH2612"}}, false);
    Put(Tagged(101, kIF, 1));
    Put(Tagged(102, kIH, 2));
    Put(Tagged(103, 9999, 3));
    EXPECT_EQ("2/1 ", Drained());
    EXPECT_EQ(1u, Deliveries().size());
}

// Frames dropped without a trace: longer than the receive buffer, without payload, or whose IP
// header length leaves none (faulty ones: session_counters_test). One of exactly 2048 is taken.
TEST_F(HandFeed, FaultyOversizedAndPayloadlessFramesAreDroppedSilently) {
    Start({{"insts", "all"}, {"exanic_cache_flag", "0"}});
    Bytes padded = Tagged(101, kIF, 11);
    padded.resize(3000, 0);
    Put(padded);
    Put({});
    Bytes longHeader = session.Frame(Tagged(101, kIF, 12));
    longHeader[14] = 0x4F; // IHL 15: payload would start at byte 82, past the frame's end
    longHeader.resize(70);
    run->Put(0, longHeader);
    run->Put(0, Bytes(20, 0)); // a frame of a packet header's length, too short for its own headers
    Bytes whole = Tagged(101, kIF, 13);
    const size_t packetSize = whole.size();
    whole.resize(2048 - vorn_sim::kFrameHeadersSize, 0);
    Put(whole);
    EXPECT_EQ("13/1 ", Drained());
    // The zero padding reads as stale 20-byte packets; a shorter rest fails the payload.
    EXPECT_EQ((whole.size() - packetSize) % 20 ? 1u : 0u, LogLines("msg is error"));
    EXPECT_EQ(0u, LogLines("UdpNo is not seq"));
}

// Channels whose port or source is no number or IPv4 address start up and match no frame.
TEST_F(HandFeed, ChannelThatIsNoAddressMatchesNothing) {
    vorn_sim::SnapshotWriter writer;
    writer.AddChannel("udp://239.3.42.1:3000x/10.0.0.5");
    writer.AddChannel("udp://239.3.42.2:30002/feed-host");
    writer.AddChannel("udp://239.3.42.3:70001/10.0.0.7");
    writer.SetCodeSegment(session.CodeSegment());
    writer.SetLastSeqNo(100);
    writer.AddInstrument(kIF, vorn_sim::PriceEncodingOf(session.Instruments().front()), session.Initial(kIF));
    ASSERT_TRUE(WriteTodaySnapshot(writer));
    run = std::make_unique<ConnectorRun>(std::map<std::string, std::string>{{"insts", "all"}});
    ASSERT_EQ(0, run->Start()) << run->Stdout();
    run->Put(0, vorn_sim::MakeFrame("10.0.0.5", "239.3.42.1", 3000, Tagged(101, kIF, 1)));
    run->Put(0, vorn_sim::MakeFrame("10.0.0.5", "239.3.42.1", 30001, Tagged(101, kIF, 2)));
    run->Put(0, vorn_sim::MakeFrame("10.0.0.7", "239.3.42.3", 4465, Tagged(101, kIF, 3))); // 70001 mod 65536
    run->Put(0, vorn_sim::MakeFrame("0.0.0.0", "239.3.42.2", 30002, Tagged(101, kIF, 4)));
    EXPECT_EQ("", Drained());
    EXPECT_EQ(1u, LogLines("m_udp_dst_port_a is 3000x, m_udp_src_ip_a is 10.0.0.5."));
    EXPECT_EQ(1u, LogLines("m_udp_dst_port_b is 30002, m_udp_src_ip_b is feed-host."));
}

} // namespace
