// Hardware-mode start-up: the register traffic in order, the instrument table rows and which
// snapshot instruments they leave out, and the conversions of a row.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "connector_harness.h"
#include "hardware_fixture.h"
#include "vorn_firmware.h"

using namespace vorn_test;
using vorn_firmware::TableFromLog;

namespace {

using Writes = std::vector<std::pair<uint32_t, uint32_t>>;

Writes RowWrites(const SCffexInstTableType& row) {
    uint32_t words[INST_TABLE_WORDS];
    memcpy(words, &row, sizeof words);
    Writes writes;
    for (uint32_t w = 0; w < INST_TABLE_WORDS; ++w) writes.emplace_back(INST_TABLE_BASE + w, words[w]);
    return writes;
}

} // namespace

// Instruments: selected, unselected, negative key, key 2048 (built, not written), key 2049
// (refused) and one without a price encoding.
TEST(HardwareStart, WritesTheRegistersInOrderAndOneRowPerWritableInstrument) {
    vorn_sim::SnapshotWriter writer = hw_test::HardwareSnapshot(1, 4242);
    hw_test::AddInstrument(writer, "IF2612", 1001);
    hw_test::AddInstrument(writer, "T2703", 1002);
    hw_test::AddInstrument(writer, "IH2612", -7);
    hw_test::AddInstrument(writer, "IC2612", 2048);
    hw_test::AddInstrument(writer, "IM2612", 2049);
    writer.AddDepth(1003, vorn_sim::MakeDepth(hw_test::Inputs("TF2703", 1003)));
    ASSERT_TRUE(WriteTodaySnapshot(writer));
    ConnectorRun run(std::map<std::string, std::string>{{"insts", "IF2612"}});
    ASSERT_EQ(0, run.Start()) << run.Stdout();
    ASSERT_TRUE(run.Drain()); // the receive loop runs: the log is complete
    const Writes writes = run.RegisterWrites();
    const std::string log = run.LogText();
    run.Stop();

    const Writes head = {{21, 1}, {21, 0}, {14, 0x0A000005}, {15, 0x0A000006}, {16, 30001}, {17, 30002},
                         {18, 1}, {19, hw_test::kKeyArg0}, {12, hw_test::kTradeDate}, {23, 0x01010101},
                         {20, 0}, {22, 0}, {24, 4242}};
    ASSERT_EQ(head.size() + 3 * INST_TABLE_WORDS + 1, writes.size()) << log;
    EXPECT_EQ(head, Writes(writes.begin(), writes.begin() + static_cast<long>(head.size())));
    EXPECT_EQ(std::make_pair(13u, 1u), writes.back());

    // Each row is 85 writes, 320 to 404 in turn, its words the row built from the snapshot.
    const std::vector<SCffexInstTableType> rows = TableFromLog(log);
    ASSERT_EQ(3u, rows.size());
    std::set<int32_t> keys;
    for (size_t i = 0; i < rows.size(); ++i) {
        const int32_t key = static_cast<int32_t>(rows[i].inst_id);
        keys.insert(key);
        const std::string id = key == 1001 ? "IF2612" : key == 1002 ? "T2703" : "IH2612";
        const SCffexInstTableType expected = vorn_firmware::MakeTableRow(
            key, hw_test::Encoding(id, key), vorn_sim::MakeDepth(hw_test::Inputs(id, key)), key == 1001 ? 2 : 0);
        const auto from = writes.begin() + static_cast<long>(head.size() + i * INST_TABLE_WORDS);
        EXPECT_EQ(RowWrites(expected), Writes(from, from + INST_TABLE_WORDS)) << "row of " << key;
    }
    EXPECT_EQ((std::set<int32_t>{1001, 1002, -7}), keys);
    EXPECT_EQ(3u, LinesWith(log, "table_done:1.").size());

    EXPECT_EQ(1u, LinesWith(log, "contract inst_id is 2049, error.").size());
    EXPECT_EQ(1u, LinesWith(log, "contract inst_id is 1003, not found.").size());
    EXPECT_TRUE(LinesWith(log, "inst_id is 2048").empty()) << "key 2048 is skipped without a trace";
    EXPECT_TRUE(LinesWith(log, "inst_id:2048").empty());

    // The window holds only the last row uploaded.
    vorn_firmware::FirmwareCard card(run.Device());
    const SCffexInstTableType window = card.TableWindow();
    EXPECT_EQ(0, memcmp(&rows.back(), &window, sizeof window));
}

TEST(HardwareStart, ConvertsTheSnapshotIntoARow) {
    vorn_sim::SnapshotWriter writer = hw_test::HardwareSnapshot(0, 1);
    const std::string longId = "IO2612-C-4000-ABCDEFGHIJKLMNOPQ"; // 31 characters
    vorn_sim::DepthSpec inputs = hw_test::Inputs(longId, 1001);
    inputs.pre_settlement_price = 12.3456;
    inputs.pre_close_price = 0.0005;
    inputs.last_price = EMPTY_PRICE;
    inputs.pre_delta = 0.4;
    inputs.open_interest = 1234.0;
    inputs.pre_open_interest = 9876.0;
    inputs.turn_over = EMPTY_PRICE;
    inputs.update_seconds = 9 * 3600 + 30 * 60 + 5;
    inputs.update_msec = 500;
    depth_market_data_field depth = vorn_sim::MakeDepth(inputs);
    memcpy(depth.instrument_id, longId.data(), sizeof depth.instrument_id); // all 30 bytes, no NUL
    depth.curr_delta = 2.5;
    writer.AddInstrument(1001, vorn_sim::MakePriceEncoding(longId, 1001, "IO", 3000.2, 0.2, 100), depth);
    hw_test::AddInstrument(writer, "T2703", 1002);
    ASSERT_TRUE(WriteTodaySnapshot(writer));
    ConnectorRun run({{"insts", "IO"}, {"options", "recv"}});
    ASSERT_EQ(0, run.Start()) << run.Stdout();
    ASSERT_TRUE(run.Drain()); // the receive loop runs: the log is complete
    const std::vector<SCffexInstTableType> rows = TableFromLog(run.LogText());
    run.Stop();

    ASSERT_EQ(2u, rows.size());
    const SCffexInstTableType& row = rows[0].inst_id == 1001 ? rows[0] : rows[1];
    const SCffexInstTableType& other = rows[0].inst_id == 1001 ? rows[1] : rows[0];
    EXPECT_EQ(2u, +row.config);
    EXPECT_EQ(0u, +other.config);
    EXPECT_EQ(3000200, +row.base_price);
    EXPECT_EQ(200, +row.price_tick);
    EXPECT_EQ(100, +row.volume_multiple);
    EXPECT_EQ(0, memcmp(row.trading_day, "20261216", 8));
    EXPECT_EQ(12346, +row.pre_settlement_price);
    EXPECT_EQ(1, +row.pre_close_price);
    EXPECT_EQ(0, +row.last_price);
    EXPECT_EQ(0.0, +row.turn_over);
    EXPECT_EQ(0, +row.pre_delta);
    EXPECT_EQ(3, +row.curr_delta);
    EXPECT_EQ(1234, +row.open_interest);
    EXPECT_EQ(9876u, +row.pre_open_interest);
    EXPECT_EQ(34205u, +row.update_time);
    EXPECT_EQ(500u, +row.update_msec);
    EXPECT_EQ(4001200, +row.bid1_price);
    EXPECT_EQ(3u, +row.bid1_volume);
    EXPECT_EQ(0, +row.bid2_price);
    char id[32] = {};
    memcpy(id, longId.data(), 29);
    EXPECT_EQ(0, memcmp(id, row.instrument_id, sizeof id));
    EXPECT_EQ(1u, +row.table_done);
}
