// The firmware stand-in end to end: a session decoded by HardwareFeed reaches the application
// as the session's expected depth, and vorn-firmware drives a running connector.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "connector_harness.h"
#include "hardware_fixture.h"
#include "price_convert.h"
#include "synthetic_session.h"
#include "vorn_firmware.h"

using namespace vorn_test;
using vorn_price::Thousandths;

namespace {

void ExpectRecordOf(const depth_market_data_field& md, const VornCffexMdType& r, size_t packet) {
    SCOPED_TRACE("packet " + std::to_string(packet));
    EXPECT_EQ(+md.inst_id, +r.inst_no);
    EXPECT_EQ(0, strncmp(md.instrument_id, r.instrument_id, sizeof md.instrument_id));
    EXPECT_EQ(+md.update_msec, +r.update_msec);
    EXPECT_EQ(+md.volume, +r.volume);
    EXPECT_EQ(+md.turn_over, +r.turn_over);
    EXPECT_EQ(Thousandths(md.last_price), +r.last_price);
    EXPECT_EQ(Thousandths(md.bid1_price), +r.bid1_price);
    EXPECT_EQ(Thousandths(md.ask5_price), +r.ask5_price);
    EXPECT_EQ(+md.bid4_volume, +r.bid4_volume);
    EXPECT_EQ(1, +r.trust_flag);
}

int RunTool(const std::string& arguments) {
    const std::string command = std::string(VORN_FIRMWARE_PATH) + " " + arguments + " 2>/dev/null";
    return system(command.c_str());
}

} // namespace

// Encrypted under known segment 2; the table the connector uploaded decides what is selected
// (options are not), and packets already in the snapshot are dropped.
TEST(HardwareFeed, DeliversTheDecodedSessionThroughTheConnector) {
    vorn_sim::SessionConfig config;
    config.code_segment = 2;
    config.encrypted = true;
    config.first_seqno = 500;
    vorn_sim::SyntheticSession session(config);
    ASSERT_TRUE(WriteTodaySnapshot(session.Snapshot()));
    ConnectorRun run(std::map<std::string, std::string>{{"insts", "all"}});
    ASSERT_EQ(0, run.Start()) << run.Stdout();
    ASSERT_TRUE(run.Drain());

    vorn_firmware::HardwareFeed feed(run.Device());
    feed.SetInstruments(session);
    feed.SetTable(vorn_firmware::TableFromLog(run.LogText()));
    std::vector<std::pair<size_t, depth_market_data_field>> expected;
    const std::vector<uint8_t> stale = vorn_sim::PacketBuilder(499).UpdateTime(1001, 1, 0).Best(1, 1, 2, 1).Bytes();
    EXPECT_EQ(0, feed.Deliver(stale));
    for (size_t i = 0; i < 200; ++i) {
        const std::vector<uint8_t> frame = session.NextFrame();
        const bool option = session.LastKey() >= 1008;
        ASSERT_EQ(option ? 0 : 1, feed.DeliverFrame(frame));
        if (!option) expected.emplace_back(i, session.Expected(session.LastKey()));
    }
    ASSERT_TRUE(run.Drain());
    run.Stop();

    const std::vector<VornCffexMdType> v2 = V2Records();
    ASSERT_EQ(expected.size(), v2.size());
    ASSERT_GT(v2.size(), 100u);
    for (size_t i = 0; i < v2.size(); ++i) ExpectRecordOf(expected[i].second, v2[i], expected[i].first);
    EXPECT_EQ(v2.size(), V1Records().size());
}

TEST(HardwareFeed, ToolPutsRecordsAndEventsAndSetsTheVersion) {
    vorn_sim::SnapshotWriter writer = hw_test::HardwareSnapshot(0, 1);
    hw_test::AddInstrument(writer, "IF2612", 1001);
    ASSERT_TRUE(WriteTodaySnapshot(writer));
    ConnectorRun run;
    const std::string device = run.Device();
    ASSERT_EQ(0, RunTool(device + " version 0x20250901 1"));
    ASSERT_EQ(0, run.Start()) << run.Stdout();
    ASSERT_EQ(0, RunTool(device + " record --inst 1001 --id IF2612 --last 3800.2 --time 09:30:05 --msec 250"
                                  " --bid1 3800 --bidv1 5 --ask5 3801.4 --askv5 9 --oi 17 --trust 1"));
    ASSERT_EQ(0, RunTool(device + " record --inst 1001 --len 275"));
    ASSERT_EQ(0, RunTool(device + " event --seq 1000 --lane 1"));
    EXPECT_NE(0, RunTool(device + " record --inst 1001 --bogus 1"));
    EXPECT_NE(0, RunTool(device + " record --last abc"));
    ASSERT_TRUE(run.Drain());
    run.Stop();

    const std::vector<VornCffexMdType> v2 = V2Records();
    ASSERT_EQ(1u, v2.size());
    EXPECT_EQ(1001, +v2[0].inst_no);
    EXPECT_STREQ("IF2612", v2[0].instrument_id);
    EXPECT_EQ(3800200, +v2[0].last_price);
    EXPECT_EQ(34205, +v2[0].UpdateTime);
    EXPECT_EQ(250, +v2[0].update_msec);
    EXPECT_EQ(3800000, +v2[0].bid1_price);
    EXPECT_EQ(5, +v2[0].bid1_volume);
    EXPECT_EQ(3801400, +v2[0].ask5_price);
    EXPECT_EQ(9, +v2[0].ask5_volume);
    EXPECT_EQ(17, +v2[0].open_interest);
    EXPECT_EQ(1, +v2[0].trust_flag);
    ASSERT_EQ(1u, V1Records().size());
    EXPECT_EQ(3800.2, V1Records()[0].LastPrice);
    EXPECT_EQ(1u, LinesWith(run.LogText(), "lost_msg_seqnum is 1000, lost_lane is 1.").size());
    EXPECT_EQ(1u, LinesWith(run.LogText(), "hwVersion is 20250901").size());
}
