// Loading today's snapshot: the log lines in order, the channel A/B addresses, the sequence
// number and the sign-extended key argument, and bad channel texts that stop start-up.
#include <cstring>
#include <memory>

#include "VornCffexMdApiImpl.h"
#include "connector_harness.h"
#include "private_log.h"
#include "sample_code.h"

using namespace snapshot_test;

namespace {

const char* const kChannelA = "udp://239.3.42.1:30001/10.0.0.5";
const char* const kChannelB = "udp://239.3.42.2:30002/10.0.0.6";

class Today : public ::testing::Test {
protected:
    void SetUp() override { LogToPrivateDir(); }
    std::unique_ptr<CVornCffexMdApiImpl> connector = std::make_unique<CVornCffexMdApiImpl>();
    std::string output;

    // Writes `writer` as today's snapshot and loads it into a fresh connector.
    int LoadToday(const vorn_sim::SnapshotWriter& writer) {
        EXPECT_TRUE(vorn_test::WriteTodaySnapshot(writer));
        connector = std::make_unique<CVornCffexMdApiImpl>();
        testing::internal::CaptureStdout();
        const int result = connector->LoadSnaphot();
        output = testing::internal::GetCapturedStdout();
        return result;
    }
};

vorn_sim::SnapshotWriter Snapshot(const std::vector<std::string>& channels, uint8_t keyArg0 = 0x5A) {
    vorn_sim::SnapshotWriter writer;
    for (const std::string& channel : channels) writer.AddChannel(channel);
    writer.SetTradeDate(20261216);
    writer.SetLastSeqNo(4242);
    writer.SetCodeSegment(vorn_sim::SampleCipherSegment(keyArg0));
    vorn_sim::DepthSpec inputs;
    inputs.instrument_id = "IF2612";
    writer.AddInstrument(7, vorn_sim::MakePriceEncoding("IF2612", 7, "IF", 4000, 0.2, 300), vorn_sim::MakeDepth(inputs));
    writer.AddPriceEncoding(8, vorn_sim::MakePriceEncoding("IH2612", 8, "IH", 2700, 0.2, 300));
    return writer;
}

TEST_F(Today, LogLinesInOrderAndChannelAddresses) {
    ASSERT_EQ(0, LoadToday(Snapshot({kChannelA, kChannelB, "not parsed"}, 0xF0)));
    const std::vector<std::string> expected = {
        ", multi_address is udp://239.3.42.1:30001/10.0.0.5.",
        ", multi_address is udp://239.3.42.2:30002/10.0.0.6.",
        ", multi_address is not parsed.",
        ", m_iTradeDate is 20261216.",
        ", last_md_seqno is 4242.",
        ", m_ins_price_infos size is 2.",
        ", m_depth_market_data_infos size is 1.",
        ", m_udp_dst_port_a is 30001, m_udp_src_ip_a is 10.0.0.5.",
        ", m_udp_dst_port_b is 30002, m_udp_src_ip_b is 10.0.0.6.",
        ", m_CurUdpNo is 4242.",
        ", m_key_arg is -16.", // key byte 0xF0 sign-extended
    };
    EXPECT_EQ(expected, Messages(output, "LoadSnaphot"));
    EXPECT_EQ(expected.size(), LinesWith(output, "\033[32;1m [I]").size());
    EXPECT_EQ(expected.size(), LinesWith(output, "[VornCffexMdApiImpl_snapshot.cpp:").size());
    EXPECT_STREQ("30001", connector->m_udp_dst_port_a.c_str());
    EXPECT_STREQ("10.0.0.5", connector->m_udp_src_ip_a.c_str());
    EXPECT_STREQ("30002", connector->m_udp_dst_port_b.c_str());
    EXPECT_STREQ("10.0.0.6", connector->m_udp_src_ip_b.c_str());
    EXPECT_EQ(4242u, connector->m_CurUdpNo);
    EXPECT_EQ(4294967280u, connector->m_key_arg);
}

TEST_F(Today, FewerThanTwoChannelsKeepDefaults) {
    const CVornCffexMdApiImpl fresh;
    ASSERT_EQ(0, LoadToday(Snapshot({kChannelA}, 0x05)));
    EXPECT_STREQ("30001", connector->m_udp_dst_port_a.c_str());
    EXPECT_STREQ("10.0.0.5", connector->m_udp_src_ip_a.c_str());
    EXPECT_STREQ(fresh.m_udp_dst_port_b.c_str(), connector->m_udp_dst_port_b.c_str());
    EXPECT_STREQ(fresh.m_udp_src_ip_b.c_str(), connector->m_udp_src_ip_b.c_str());
    EXPECT_EQ(5u, connector->m_key_arg);

    ASSERT_EQ(0, LoadToday(Snapshot({})));
    EXPECT_STREQ(fresh.m_udp_dst_port_a.c_str(), connector->m_udp_dst_port_a.c_str());
    EXPECT_STREQ(fresh.m_udp_src_ip_a.c_str(), connector->m_udp_src_ip_a.c_str());
    EXPECT_EQ(0u, LinesWith(output, "multi_address is").size());
}

TEST_F(Today, BadAddressOfChannelAOrBFails) {
    const std::vector<std::vector<std::string>> bad = {{"udp://239.1.1.1/10.0.0.5", kChannelB},
                                                       {kChannelA, "udp://239.1.1.1:30001/"}};
    for (const std::vector<std::string>& channels : bad) {
        ASSERT_EQ(-1, LoadToday(Snapshot(channels)));
        const std::string text = channels[0] == kChannelA ? channels[1] : channels[0];
        ASSERT_EQ(1u, LinesWith(output, kErrorTag).size()) << output;
        EXPECT_EQ(", multi_address is err, is " + text + ".", Messages(output, "LoadSnaphot").back());
        EXPECT_EQ(0u, LinesWith(output, "m_CurUdpNo is").size());
    }
    EXPECT_EQ(0, LoadToday(Snapshot({kChannelA, kChannelB, "udp://no-port/x"}))); // a third channel is not parsed
}

// A 60-byte address with no terminator is read as exactly its 60 bytes.
TEST_F(Today, AddressWithoutTerminatorStopsAt60) {
    const std::string source(38, '7');
    const std::string text = "udp://239.1.1.1:30001/" + source;
    ASSERT_EQ(60u, text.size());
    multi_address_field channel{};
    memcpy(channel.multi_address, text.data(), 60);
    channel.md_topicid = 0x4242; // "BB" right after the address bytes
    vorn_sim::SnapshotWriter writer = Snapshot({});
    writer.AddChannel(channel);
    ASSERT_EQ(0, LoadToday(writer));
    EXPECT_EQ(1u, LinesWith(output, ", multi_address is " + text + ".").size()) << output;
    EXPECT_EQ(source, connector->m_udp_src_ip_a.c_str());
    EXPECT_STREQ("30001", connector->m_udp_dst_port_a.c_str());
}

} // namespace
