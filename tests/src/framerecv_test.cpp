// Software mode end to end: hand-made frames on the simulated card through init_connector.
#include <gtest/gtest.h>

#include <cstring>

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
    std::vector<int32_t> TagsAndDrain() {
        EXPECT_TRUE(run->Drain());
        std::vector<int32_t> tags;
        for (const VornCffexMdType& r : V2Records()) tags.push_back(+r.bid1_volume);
        return tags;
    }
    std::vector<int64_t> Trusts() {
        std::vector<int64_t> trusts;
        for (const VornCffexMdType& r : V2Records()) trusts.push_back(+r.trust_flag);
        return trusts;
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
    EXPECT_EQ((std::vector<int32_t>{1, 3, 3, 3, 6}), TagsAndDrain());
    EXPECT_EQ((std::vector<int64_t>{1, 0, 0, 1, 0}), Trusts());
    EXPECT_EQ(1u, LogLines("pUdpHeader->seqno is 103, m_CurUdpNo is 101."));
    EXPECT_EQ(1u, LogLines("UdpNo is not seq, m_CurUdpNo is [101], m_UdpHeader seqno is [103]"));
    EXPECT_EQ(0u, LogLines("add buffer"));
}

// Duplicates wait in arrival order: the first 104 is delivered, later copies and stale ones dropped.
TEST_F(HandFeed, ReorderingFilledInTime) {
    Start({{"insts", "all"}, {"exanic_cache_flag", "1"}, {"exanic_cache_size", "3"}});
    const std::pair<uint32_t, int64_t> arrivals[] = {{101, 101}, {103, 103}, {104, 104}, {104, 999},
                                                     {102, 102}, {105, 105}, {101, 998}, {50, 997}};
    for (const auto& a : arrivals) Put(Tagged(a.first, kIF, a.second));
    Bytes cut = Tagged(106, kIF, 106); // a cut packet on this path names its sequence number
    cut.resize(cut.size() - 1);
    Put(cut);
    Put(Tagged(107, kIF, 107));
    EXPECT_EQ((std::vector<int32_t>{101, 102, 103, 104, 105, 107}), TagsAndDrain());
    EXPECT_EQ((std::vector<int64_t>{1, 1, 1, 1, 1, 1}), Trusts());
    EXPECT_EQ(3u, LogLines("add buffer"));
    EXPECT_EQ(0u, LogLines("UdpNo is not seq"));
    EXPECT_EQ(1u, LogLines("_processChunk is error, msg is error, pUdpHeader->seqno is 106."));
}

TEST_F(HandFeed, FullReorderListIsFlushedInOrder) {
    Start({{"insts", "all"}, {"exanic_cache_flag", "1"}, {"exanic_cache_size", "3"}});
    for (uint32_t seqno : {104u, 103u, 102u, 105u, 106u}) Put(Tagged(seqno, kIF, static_cast<int64_t>(seqno)));
    EXPECT_EQ((std::vector<int32_t>{102, 103, 104, 105, 106}), TagsAndDrain());
    EXPECT_EQ((std::vector<int64_t>{0, 0, 0, 0, 0}), Trusts()); // only best refreshed since
    EXPECT_EQ(4u, LogLines("dma0 recv buffer, pUdpHeader->seqno is "));
    EXPECT_EQ(1u, LogLines("dma0 recv buffer, pUdpHeader->seqno is 102, m_CurUdpNo is 100."));
    EXPECT_EQ(1u, LogLines("dma0 recv buffer, pUdpHeader->seqno is 105, m_CurUdpNo is 104."));
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
    EXPECT_EQ((std::vector<int32_t>{1, 2, 3, 6}), TagsAndDrain());
    EXPECT_EQ(2u, LogLines("_processChunk is error, msg is error."));
    EXPECT_EQ(kIH, V2Records().back().inst_no);
}

TEST_F(HandFeed, SelectionOutsideTheSnapshotAndOneCallback) {
    Start({{"insts", "IH2612"}}, false);
    Put(Tagged(101, kIF, 1));
    Put(Tagged(102, kIH, 2));
    Put(Tagged(103, 9999, 3));
    EXPECT_EQ((std::vector<int32_t>{2}), TagsAndDrain());
    EXPECT_EQ(1u, Deliveries().size());
}

// Frames the receive drops without a trace: marked faulty by the card, longer than the receive
// buffer, carrying no payload, or whose IP header length leaves no payload. A frame of exactly
// 2048 bytes is taken.
TEST_F(HandFeed, FaultyOversizedAndPayloadlessFramesAreDroppedSilently) {
    Start({{"insts", "all"}, {"exanic_cache_flag", "0"}});
    const Bytes faulty = session.Frame(Tagged(101, kIF, 10));
    ASSERT_EQ(0, vorn_sim_put_frame(run->Card(), 0, faulty.data(), faulty.size(), VORN_SIM_WAIT, VORN_SIM_FRAME_FAULTY));
    Bytes padded = Tagged(101, kIF, 11);
    padded.resize(3000, 0);
    Put(padded);
    Put({});
    Bytes longHeader = session.Frame(Tagged(101, kIF, 12));
    longHeader[14] = 0x4F; // IHL 15: payload would start at byte 82, past the frame's end
    longHeader.resize(70);
    run->Put(0, longHeader);
    Bytes whole = Tagged(101, kIF, 13);
    const size_t packetSize = whole.size();
    whole.resize(2048 - vorn_sim::kFrameHeadersSize, 0);
    Put(whole);
    EXPECT_EQ((std::vector<int32_t>{13}), TagsAndDrain());
    // The zero padding reads as stale 20-byte packets; a shorter rest fails the payload.
    EXPECT_EQ((whole.size() - packetSize) % 20 ? 1u : 0u, LogLines("msg is error"));
    EXPECT_EQ(0u, LogLines("UdpNo is not seq"));
}

// Channel texts that split into port and source but are no port number or no IPv4 address:
// start-up succeeds and the channel matches no frame.
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
    EXPECT_TRUE(TagsAndDrain().empty());
    EXPECT_EQ(1u, LogLines("m_udp_dst_port_a is 3000x, m_udp_src_ip_a is 10.0.0.5."));
    EXPECT_EQ(1u, LogLines("m_udp_dst_port_b is 30002, m_udp_src_ip_b is feed-host."));
}

} // namespace
