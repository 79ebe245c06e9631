// The version-1 and version-2 conversions of a depth record, and the update time text.
#include <cmath>

#include "connector_fixture.h"

namespace {

using namespace decode_test;
using vorn_sim::PacketBuilder;

class Convert : public ConnectorFixture {};

TEST_F(Convert, ConversionsOfBothVersions) {
    depth_market_data_field md = Depth(kA);
    md.last_price = 3456.78;
    md.bid1_price = -2.5;
    md.ask1_price = EMPTY_PRICE;
    md.ask5_price = HUGE_VAL;
    md.high_price = std::nan("");
    md.curr_delta = 0.7;
    md.settlement_price = 3800.2;
    md.turn_over = EMPTY_PRICE;
    md.open_interest = 12.5;
    md.volume = -7;
    md.bid3_volume = 33;
    memset(md.instrument_id, 'X', sizeof md.instrument_id);
    memset(md.update_time, 0, sizeof md.update_time);
    md.update_msec = 250;

    VornCffexMdType v2{};
    api->convert_data_v2(v2, md, *api);
    EXPECT_EQ(std::string("20261216"), std::string(v2.trading_day));
    EXPECT_EQ(std::string(30, 'X'), std::string(v2.instrument_id)); // byte 30 stays the NUL
    const std::pair<int64_t, int64_t> members[] = { // (expected, converted): prices in thousandths
        {kA, +v2.inst_no},      {-1933008, +v2.UpdateTime},   {250, +v2.update_msec},   {-7, +v2.volume},
        {3456780, +v2.last_price}, {-2499, +v2.bid1_price}, {0, +v2.ask1_price},     {0, +v2.ask5_price},
        {0, +v2.high_price},    {3800200, +v2.settlement_price}, {1, +v2.curr_delta},
        {13, +v2.open_interest}, {33, +v2.bid3_volume},     {1, +v2.trust_flag}};
    for (const auto& member : members) EXPECT_EQ(member.first, member.second) << &member - members;
    EXPECT_EQ(EMPTY_PRICE, +v2.turn_over); // a double member, passed as it is
    md.curr_delta = -0.7;
    api->convert_data_v2(v2, md, *api);
    EXPECT_EQ(0, +v2.curr_delta);

    MarketDepthUpdate v1{};
    api->convert_data_v1(v1, md, *api);
    EXPECT_EQ(std::string(30, 'X'), std::string(reinterpret_cast<const char*>(v1.InstrumentID)));
    EXPECT_EQ(0, v1.UpdateTime[0]);
    EXPECT_TRUE(std::isnan(v1.HighestPrice));
    const std::pair<double, double> fields[] = { // (expected, converted): empty prices 0, others as they are
        {250, +v1.UpdateMillisec}, {3456.78, +v1.LastPrice}, {-2.5, +v1.BidPrice1}, {0.0, +v1.AskPrice1},
        {0.0, +v1.AskPrice5},      {0.0, +v1.Turnover},      {12.5, +v1.OpenInterest}, {-0.7, +v1.CurrDelta},
        {33, +v1.BidVolume3},      {1, +v1.Trust_flag}};
    for (const auto& field : fields) EXPECT_EQ(field.first, field.second) << &field - fields;
}

TEST_F(Convert, UpdateTimeTextAndSecondsBeyondTheDay) {
    EXPECT_GT(Chunk(PacketBuilder(101).UpdateTime(kA, 34200, 5).Best(1, 1, 2, 2).Bytes()), 0);
    ASSERT_EQ(1u, Recorded().v2.size());
    EXPECT_EQ(34200, +Recorded().v2[0].UpdateTime);
    EXPECT_EQ(0, memcmp(Recorded().v1[0].UpdateTime, "09:30:00", 9));
    Chunk(PacketBuilder(102).UpdateTime(kA, 86400, 6).Bytes());
    Chunk(PacketBuilder(103).UpdateTime(kA, -1, 7).Bytes());
    EXPECT_EQ(0, memcmp(Depth(kA).update_time, "09:30:00", 8));
    EXPECT_EQ(7, +Depth(kA).update_msec);
}

} // namespace
