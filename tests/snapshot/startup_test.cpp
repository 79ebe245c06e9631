// Start-up through init_connector on the simulated card: today's snapshot is loaded, the work
// mode follows from its code segment, and a missing or untrusted snapshot stops start-up.
#include <sys/stat.h>
#include <unistd.h>

#include "connector_harness.h"
#include "sample_code.h"
#include "snapshot_test_util.h"
#include "synthetic_session.h"

using namespace snapshot_test;

namespace {

size_t IndexOf(const std::vector<std::string>& lines, const std::string& needle, size_t from = 0) {
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].find(needle) != std::string::npos) return i;
    return lines.size();
}

// -1: the sample cipher; 0..2: known segment k.
class StartUp : public ::testing::TestWithParam<int> {};

TEST_P(StartUp, SnapshotThenWorkMode) {
    const int segment = GetParam();
    vorn_sim::SessionConfig config;
    config.code_segment = segment;
    config.first_seqno = 501;
    vorn_sim::SyntheticSession session(config);
    ASSERT_TRUE(vorn_test::WriteTodaySnapshot(session.Snapshot()));

    vorn_test::ConnectorRun run({{"insts", "all"}, {"options", "recv"}});
    ASSERT_EQ(0, run.Start());
    EXPECT_EQ(0, run.Stop());
    const std::string out = run.Stdout();
    const std::vector<std::string> log = Lines(run.LogText());

    const size_t count = session.Instruments().size();
    const std::string expected[] = {
        ", multi_address is " + session.ChannelAddress() + ".",
        ", m_iTradeDate is 20261216.",
        ", last_md_seqno is 500.",
        ", m_ins_price_infos size is " + std::to_string(count) + ".",
        ", m_depth_market_data_infos size is " + std::to_string(count) + ".",
        ", m_udp_dst_port_a is 30001, m_udp_src_ip_a is 10.0.0.5.",
        ", m_CurUdpNo is 500.",
        ", m_key_arg is 90.",
    };
    size_t at = 0;
    for (const std::string& line : expected) {
        at = IndexOf(log, "[LoadSnaphot]" + line, at);
        ASSERT_LT(at, log.size()) << line << "\n" << run.LogText();
    }
    const bool hardware = segment >= 0;
    const size_t mismatches = hardware ? static_cast<size_t>(segment) : 3;
    const std::string chosen = hardware ? ",m_key_type is " + std::to_string(segment) + ", workmode is [2]."
                                        : ",m_key_type is 3, workmode is [1].";
    const size_t selected = IndexOf(log, "[LoadKey]" + chosen, at);
    ASSERT_LT(selected, log.size()) << run.LogText();
    EXPECT_EQ(mismatches, LinesWith(run.LogText(), "workmode is [1].").size());
    EXPECT_EQ(mismatches, CountOf(out, "Dumping 0x190 bytes from "));
    EXPECT_EQ(2 * mismatches, CountOf(out, "Dumping 0x64 bytes from "));
    // The card is set up after the choice, and the last start-up write names the mode.
    EXPECT_LT(selected, IndexOf(log, "set_fpga_reg addr: "));
    EXPECT_EQ(hardware ? 1u : 0u, vorn_sim_read_reg(run.Card(), 13));
    EXPECT_EQ(hardware ? 0u : 1u, vorn_sim_read_reg(run.Card(), 20));
}

INSTANTIATE_TEST_SUITE_P(Segments, StartUp, ::testing::Values(-1, 0, 1, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param < 0 ? std::string("Cipher") : "Known" + std::to_string(info.param);
                         });

const char* const kSpoils[] = {"Missing", "GroupWritable", "OthersWritable", "ForeignOwner"};

class BadSnapshot : public ::testing::TestWithParam<int> {};

// A missing or untrusted snapshot: the loader's lines, -1, and the card is never set up.
TEST_P(BadSnapshot, StartUpFails) {
    const std::string path = vorn_sim::SnapshotWriter::TodayPath();
    ASSERT_TRUE(vorn_test::WriteTodaySnapshot(vorn_sim::SyntheticSession().Snapshot()));
    const std::string spoil = kSpoils[GetParam()];
    std::string reason = ", filename is " + path + ".";
    if (spoil == "Missing") {
        ASSERT_EQ(0, unlink(path.c_str()));
    } else if (spoil == "ForeignOwner") {
        if (geteuid() != 0) GTEST_SKIP() << "changing the owner needs root";
        ASSERT_EQ(0, chown(path.c_str(), 12345, 12345));
        reason = "is owned by uid 12345";
    } else {
        ASSERT_EQ(0, chmod(path.c_str(), spoil == "GroupWritable" ? 0664 : 0646));
        reason = "is writable by group or others";
    }
    vorn_test::ConnectorRun run({{"insts", "all"}, {"options", "recv"}});
    EXPECT_EQ(-1, run.Start());
    const std::string out = run.Stdout();
    if (spoil == "Missing") {
        EXPECT_EQ(std::vector<std::string>{", filename is " + path + "."}, Messages(out, "LoadFromFile")) << out;
        EXPECT_EQ(0u, LinesWith(out, "], filename is ")[0].find("\033[32;1m [I]"));
    }
    EXPECT_EQ(1u, LinesWith(out, reason).size()) << out;
    EXPECT_EQ(std::vector<std::string>{", load_from_file is failed. file name is " + path + " ."},
              Messages(out, "LoadSnaphot"));
    for (const std::string& line : LinesWith(out, "load_from_file is failed")) EXPECT_EQ(0u, line.find(kErrorTag));
    EXPECT_TRUE(run.RegisterWrites().empty());
    EXPECT_EQ(0u, LinesWith(out, "workmode is").size());
    EXPECT_EQ("IMdToAppApi VornStart is fail, [-1]. ", Lines(out).back());
    unlink(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Spoiled, BadSnapshot, ::testing::Range(0, 4),
                         [](const ::testing::TestParamInfo<int>& info) { return std::string(kSpoils[info.param]); });

} // namespace
