// Field application into depth records (prices from tick counts, members of every field kind,
// trust) and their version-1 and version-2 conversions, through an in-memory connector's parser.
#include <cmath>
#include <random>

#include "connector_fixture.h"
#include "sample_code.h"

namespace {

using namespace decode_test;
using vorn_sim::PacketBuilder;

class Apply : public ConnectorFixture {};

TEST_F(Apply, PricesFromTickCounts) {
    api->SetCurrentInstrument(kA); // base 3000, tick 0.2
    const int64_t none = 4294967295LL, minusOne = -1, hundred = 100;
    EXPECT_EQ(EMPTY_PRICE, api->get_price(&none, *api));
    EXPECT_EQ(3000.0 - 0.2, api->get_price(&minusOne, *api));
    EXPECT_EQ(3020.0, api->get_price(&hundred, *api));
    api->SetCurrentInstrument(7777); // no price encoding: every price 0, an empty one entered
    EXPECT_EQ(0.0, api->get_price(&hundred, *api));
    EXPECT_EQ(1u, api->m_ins_price_infos.count(7777));

    for (double in : {1e-12, -9.9e-12, std::nan(""), 1e-11, -0.2, EMPTY_PRICE, HUGE_VAL}) {
        double price = in;
        CVornCffexMdApiImpl::check_adjust_price(price);
        const double expected = std::isnan(in) || std::fabs(in) < 1e-11 ? 0.0 : in;
        EXPECT_EQ(expected, price) << in;
        EXPECT_EQ(std::signbit(expected), std::signbit(price)) << in;
    }
}

// Members the synthetic sessions never send (static data, banding) land in their depth record
// fields, encrypted or not; an update time switches the instrument inside a packet.
TEST_F(Apply, StaticLastMatchAndBandingMembersInPlainAndEncryptedPackets) {
    api->m_RspEncryptCodeSegmentField = vorn_sim::SampleCipherSegment(0x33);
    const depth_market_data_field before = Depth(kA);
    for (bool encrypted : {false, true}) {
        PacketBuilder packet(encrypted ? 102 : 101);
        if (encrypted) packet.Encrypted(true, api->m_RspEncryptCodeSegmentField.arg1);
        packet.UpdateTime(kA, 34200, 0).LastMatch(1, 1, 1.0, 1).UpdateTime(kB, 40000, 123)
            .Static(10, 11, -12, 13, 4294967295LL, 15, 2712.6, encrypted ? std::nan("") : -0.25)
            .LastMatch(20, 5000000000LL, 1.5e9, 77)
            .RealPriceBanding(80, -81);
        ASSERT_GT(Chunk(packet.Bytes()), 0);
        const depth_market_data_field& md = Depth(kB); // base 2700, tick 0.2
        const auto price = [](int64_t ticks) { return static_cast<double>(ticks) * 0.2 + 2700.0; };
        const std::pair<double, double> members[] = { // (expected, decoded); doubles are not scaled
            {price(10), +md.open_price},   {price(11), +md.high_price},   {price(-12), +md.low_price},
            {price(13), +md.close_price},  {EMPTY_PRICE, +md.upper_limit_price}, {price(15), +md.lower_limit_price},
            {2712.6, +md.settlement_price}, {encrypted ? 0.0 : -0.25, +md.curr_delta},      {price(20), +md.last_price},
            {1.5e9, +md.turn_over},        {77.0, +md.open_interest},     {price(80), +md.banding_upper_price},
            {price(-81), +md.banding_lower_price}};
        for (const auto& member : members) EXPECT_EQ(member.first, member.second) << &member - members;
        EXPECT_EQ(static_cast<int32_t>(5000000000LL & 0xFFFFFFFF), +md.volume);
        EXPECT_EQ(0, memcmp(md.instrument_id, "IH2612", 7)); // untouched fields keep their values
        EXPECT_EQ(1, +Depth(kA).volume);
        EXPECT_EQ(+before.bid1_price, +Depth(kA).bid1_price);
    }
    ASSERT_EQ(2u, Recorded().v2.size()); // one per packet, for the last instrument
    EXPECT_EQ(kB, +Recorded().v2[0].inst_no);
    EXPECT_EQ(0, memcmp(&Recorded().v2[0], &Recorded().v2[1], sizeof(VornCffexMdType)));
    EXPECT_EQ(0, +Recorded().v2[0].upper_limit_price);
}

// Whatever mix of fields, instruments, empty prices and losses came before the packet.
TEST_F(Apply, DeliveriesEqualTheConversionsOfTheDepthRecord) {
    std::mt19937_64 random(5);
    const auto ticks = [&random] {
        const int64_t choice = static_cast<int64_t>(random() % 7);
        return choice == 0 ? 4294967295LL : choice == 1 ? static_cast<int64_t>(random()) : choice * 137 - 300;
    };
    const auto some = [&random] { return static_cast<int64_t>(random() % 100000) - 20; };
    for (uint32_t seqno = 101; seqno < 401; ++seqno) {
        PacketBuilder packet(seqno);
        if (random() % 3 == 0) packet.UpdateTime(random() % 2 ? kA : kB, static_cast<int64_t>(random() % 90000), some());
        for (int field = 0; field < 3; ++field) {
            switch (random() % 8) {
            case 0: packet.Static(ticks(), ticks(), ticks(), ticks(), ticks(), ticks(), some() * 0.5, -0.7); break;
            case 1: packet.LastMatch(ticks(), some(), random() % 2 ? EMPTY_PRICE : some() * 2.5, some()); break;
            case 2: packet.Best(ticks(), some(), ticks(), some()); break;
            case 3: packet.Bid23(ticks(), some(), ticks(), some()); break;
            case 4: packet.Ask23(ticks(), some(), ticks(), some()); break;
            case 5: packet.Bid45(ticks(), some(), ticks(), some()); break;
            case 6: packet.Ask45(ticks(), some(), ticks(), some()); break;
            default: packet.RealPriceBanding(ticks(), ticks()); break;
            }
        }
        if (random() % 40 == 0) api->ClearTrustFlags();
        const size_t before = Recorded().v2.size();
        ASSERT_GT(Chunk(packet.Bytes()), 0);
        ASSERT_EQ(before + 1, Recorded().v2.size());
        depth_market_data_field md = Depth(static_cast<int32_t>(api->m_last_inst_id));
        VornCffexMdType v2{};
        MarketDepthUpdate v1{};
        api->convert_data_v2(v2, md, *api), api->convert_data_v1(v1, md, *api);
        ASSERT_EQ(0, memcmp(&v2, &Recorded().v2.back(), sizeof v2)) << seqno;
        ASSERT_EQ(0, memcmp(&v1, &Recorded().v1.back(), sizeof v1)) << seqno;
    }
}

// Updates before any update time, or for a key outside the snapshot, go to instrument 0;
// trust is that of the record's own inst_id (0). A key without a depth record delivers nothing.
TEST_F(Apply, InstrumentsOutsideTheSnapshot) {
    Chunk(PacketBuilder(101).Best(1, 2, 3, 4).Bytes());
    ASSERT_EQ(1u, Recorded().v2.size());
    EXPECT_EQ(0, +Recorded().v2[0].inst_no);
    EXPECT_EQ(0, +Recorded().v2[0].bid1_price);
    EXPECT_EQ(2, +Recorded().v2[0].bid1_volume);

    Chunk(PacketBuilder(102).UpdateTime(5000, 34200, 1).Best(1, 6, 3, 4).Bytes());
    EXPECT_EQ(0, +Depth(5000).inst_id);
    EXPECT_EQ(6, +Depth(5000).bid1_volume);
    api->m_depth_market_trust_flag[5000] = 31, api->m_depth_market_trust_flag.erase(0);
    Chunk(PacketBuilder(103).Best(1, 6, 3, 4).Bytes());
    EXPECT_EQ(0, +Recorded().v2.back().trust_flag);
    api->m_depth_market_trust_flag[0] = 31, api->m_depth_market_trust_flag[5000] = 0;
    api->ResetInstrumentCache(); // instrument 0 keeps a copy of its own word
    Chunk(PacketBuilder(104).Best(1, 6, 3, 4).Bytes());
    EXPECT_EQ(1, +Recorded().v2.back().trust_flag);
    api->SetCurrentInstrument(0);
    Chunk(PacketBuilder(105).Best(1, 6, 3, 4).Bytes());
    EXPECT_EQ(1, +Recorded().v2.back().trust_flag);

    api->SetCurrentInstrument(6000);
    Chunk(PacketBuilder(106).Raw(0x1234, {1, 2}).Bytes());
    EXPECT_EQ(5u, Recorded().v2.size());
    EXPECT_EQ(1u, LinesWith(LogText(), "inst_id is [6000], is not snapshot data").size());
}

class Convert : public ConnectorFixture {};

TEST_F(Convert, ConversionsOfBothVersions) {
    depth_market_data_field md = Depth(kA);
    md.last_price = 3456.78, md.bid1_price = -2.5, md.ask1_price = md.turn_over = EMPTY_PRICE, md.ask5_price = HUGE_VAL;
    md.high_price = std::nan(""), md.curr_delta = 0.7, md.settlement_price = 3800.2, md.open_interest = 12.5;
    md.volume = -7, md.bid3_volume = 33, md.update_msec = 250;
    md.open_price = 1.001, md.low_price = 2.002, md.close_price = 3.003, md.upper_limit_price = 4.004, md.lower_limit_price = 5.005;
    memset(md.instrument_id, 'X', sizeof md.instrument_id);
    memset(md.update_time, 0, sizeof md.update_time);

    VornCffexMdType v2{};
    api->convert_data_v2(v2, md, *api);
    EXPECT_EQ(std::string("20261216"), std::string(v2.trading_day));
    EXPECT_EQ(std::string(30, 'X'), std::string(v2.instrument_id)); // byte 30 stays the NUL
    const std::pair<int64_t, int64_t> members[] = { // (expected, converted): prices in thousandths
        {kA, +v2.inst_no},      {-1933008, +v2.UpdateTime},   {250, +v2.update_msec},   {-7, +v2.volume},
        {3456780, +v2.last_price}, {-2499, +v2.bid1_price}, {0, +v2.ask1_price},     {0, +v2.ask5_price},
        {0, +v2.high_price},    {3800200, +v2.settlement_price}, {1, +v2.curr_delta},
        {13, +v2.open_interest}, {33, +v2.bid3_volume},     {1, +v2.trust_flag},  {1001, +v2.open_price},
        {2002, +v2.low_price},  {3003, +v2.close_price}, {4004, +v2.upper_limit_price}, {5005, +v2.lower_limit_price}};
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
