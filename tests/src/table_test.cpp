// The instrument table of hardware mode: the register traffic of start-up in order, one row per
// writable snapshot instrument, and each row's members, read back from the register log.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "connector_harness.h"
#include "hardware_snapshot.h"

using namespace vorn_test;

namespace {

using Writes = std::vector<std::pair<uint32_t, uint32_t>>;

// The rows uploaded: each run of 85 writes to registers 320..404 in turn.
std::vector<SCffexInstTableType> RowsUploaded(const Writes& writes) {
    std::vector<SCffexInstTableType> rows;
    for (size_t i = 0; i + INST_TABLE_WORDS <= writes.size(); ++i) {
        uint32_t words[INST_TABLE_WORDS];
        size_t w = 0;
        while (w < INST_TABLE_WORDS && writes[i + w].first == INST_TABLE_BASE + w) words[w] = writes[i + w].second, ++w;
        if (w < INST_TABLE_WORDS) continue;
        rows.emplace_back();
        memcpy(&rows.back(), words, sizeof words);
        i += INST_TABLE_WORDS - 1;
    }
    return rows;
}

// Instruments: selected, unselected, negative key, key 2048 (built, not written), key 2049
// (refused) and one without a price encoding.
TEST(Table, StartUpWritesTheRegistersInOrderAndOneRowPerWritableInstrument) {
    vorn_sim::SnapshotWriter writer = hw_test::HardwareSnapshot(1, 4242);
    hw_test::AddInstrument(writer, "IF2612", 1001);
    hw_test::AddInstrument(writer, "T2703", 1002);
    hw_test::AddInstrument(writer, "IH2612", -7);
    hw_test::AddInstrument(writer, "IC2612", 2048);
    hw_test::AddInstrument(writer, "IM2612", 2049);
    writer.AddDepth(1003, vorn_sim::MakeDepth(hw_test::Inputs("TF2703", 1003)));
    ConnectorRun run({{"insts", "IF2612"}});
    hw_test::StartOn(writer, run);
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
    std::map<int32_t, uint32_t> configs;
    for (const SCffexInstTableType& row : RowsUploaded(writes)) {
        configs[static_cast<int32_t>(row.inst_id)] = row.config;
        SCOPED_TRACE(static_cast<int32_t>(row.inst_id));
        const int64_t members[] = {row.base_price, row.price_tick, row.volume_multiple, row.pre_settlement_price,
                                   row.last_price, row.volume, row.table_done};
        EXPECT_EQ((std::vector<int64_t>{4000000, 200, 300, 4000200, 4001400, 12, 1}),
                  std::vector<int64_t>(std::begin(members), std::end(members)));
        const int64_t levels[20] = {row.bid1_price,  row.bid2_price,  row.bid3_price,  row.bid4_price,  row.bid5_price,
                                    row.ask1_price,  row.ask2_price,  row.ask3_price,  row.ask4_price,  row.ask5_price,
                                    row.bid1_volume, row.bid2_volume, row.bid3_volume, row.bid4_volume, row.bid5_volume,
                                    row.ask1_volume, row.ask2_volume, row.ask3_volume, row.ask4_volume, row.ask5_volume};
        for (int n = 0; n < 5; ++n) {
            EXPECT_EQ(4001200 - 200 * n, levels[n]) << n;
            EXPECT_EQ(4001600 + 200 * n, levels[5 + n]) << n;
            EXPECT_EQ(3 + n, levels[10 + n]) << n;
            EXPECT_EQ(13 + n, levels[15 + n]) << n;
        }
    }
    EXPECT_EQ((std::map<int32_t, uint32_t>{{-7, 0}, {1001, 2}, {1002, 0}}), configs);
    EXPECT_EQ(3u, LinesWith(log, "table_done:1.").size());
    EXPECT_EQ(1u, LinesWith(log, "contract inst_id is 2049, error.").size());
    EXPECT_EQ(1u, LinesWith(log, "contract inst_id is 1003, not found.").size());
    EXPECT_TRUE(LinesWith(log, "inst_id is 2048").empty()) << "key 2048 is skipped without a trace";
    EXPECT_TRUE(LinesWith(log, "inst_id:2048").empty());
}

// Rounding to thousandths, empty prices, counts, the time and a 30-byte code cut to 29.
TEST(Table, RowMembersFromTheSnapshot) {
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
    inputs.bid[1] = {EMPTY_PRICE, 0};
    depth_market_data_field depth = vorn_sim::MakeDepth(inputs);
    memcpy(depth.instrument_id, longId.data(), sizeof depth.instrument_id); // all 30 bytes, no NUL
    depth.curr_delta = 2.5;
    writer.AddInstrument(1001, vorn_sim::MakePriceEncoding(longId, 1001, "IO", 3000.2, 0.2, 100), depth);
    ConnectorRun run({{"insts", "IO"}, {"options", "recv"}});
    hw_test::StartOn(writer, run);
    ASSERT_TRUE(run.Drain()); // the receive loop runs: the log is complete
    const std::vector<SCffexInstTableType> rows = RowsUploaded(run.RegisterWrites());
    run.Stop();
    ASSERT_EQ(1u, rows.size());
    const SCffexInstTableType& row = rows[0];
    EXPECT_EQ(0, memcmp(row.trading_day, "20261216", 8));
    EXPECT_EQ(0.0, +row.turn_over);
    const std::pair<int64_t, int64_t> members[] = { // (expected, uploaded): prices in thousandths
        {2, +row.config},          {3000200, +row.base_price},   {100, +row.volume_multiple},
        {12346, +row.pre_settlement_price}, {1, +row.pre_close_price}, {0, +row.last_price},
        {0, +row.pre_delta},       {3, +row.curr_delta},         {1234, +row.open_interest},
        {9876, +row.pre_open_interest}, {34205, +row.update_time}, {500, +row.update_msec}, {0, +row.bid2_price}};
    for (const auto& member : members) EXPECT_EQ(member.first, member.second) << &member - members;
    EXPECT_EQ(longId.substr(0, 29) + std::string(3, '\0'), std::string(row.instrument_id, 32));
}

} // namespace
