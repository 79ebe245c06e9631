// Hardware-mode receive: record frames of channel 1 by length, the version-1 conversion and
// call order, version-2 records in place, and abnormal events on channel 0.
#include <gtest/gtest.h>

#include <cstring>

#include "connector_harness.h"
#include "hardware_fixture.h"
#include "vorn_firmware.h"

using namespace vorn_test;
using vorn_firmware::FirmwareCard;

namespace {

void StartHardware(ConnectorRun& run) {
    vorn_sim::SnapshotWriter writer = hw_test::HardwareSnapshot(2, 1);
    hw_test::AddInstrument(writer, "IF2612", 1001);
    ASSERT_TRUE(WriteTodaySnapshot(writer));
    ASSERT_EQ(0, run.Start()) << run.Stdout();
}

// Every field distinct, so a field taken from the wrong place shows.
VornCffexMdType DistinctRecord() {
    VornCffexMdType r = vorn_firmware::MakeRecord(1001, "IF2612", "20261216");
    r.UpdateTime = 34205;
    r.update_msec = 500;
    r.volume = 77;
    r.last_price = 12346;
    r.turn_over = 1234.5;
    r.open_interest = 4321;
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&r);
    for (int i = 0; i < 10; ++i) { // bid 1, ask 1, ..., bid 5, ask 5
        const int32_t volume = 10 + i;
        const int64_t price = 1000 * (i + 1) + 7;
        memcpy(bytes + offsetof(VornCffexMdType, bid1_volume) + 4 * i, &volume, sizeof volume);
        memcpy(bytes + offsetof(VornCffexMdType, bid1_price) + 8 * i, &price, sizeof price);
    }
    r.high_price = 9001;
    r.low_price = 9002;
    r.open_price = 9003;
    r.close_price = 9004;
    r.upper_limit_price = 9005;
    r.lower_limit_price = 9006;
    r.settlement_price = 9007;
    r.curr_delta = 2500;
    r.trust_flag = 0x0000000700000001LL;
    return r;
}

void ExpectVersion1Of(const VornCffexMdType& r, const MarketDepthUpdate& v1) {
    EXPECT_EQ(0, memcmp(r.instrument_id, v1.InstrumentID, sizeof v1.InstrumentID));
    EXPECT_EQ(+r.update_msec, v1.UpdateMillisec);
    EXPECT_EQ(+r.volume, v1.Volume);
    EXPECT_EQ(r.last_price / 1000.0, v1.LastPrice);
    EXPECT_EQ(+r.turn_over, v1.Turnover);
    EXPECT_EQ(static_cast<double>(+r.open_interest), v1.OpenInterest);
    const int32_t volumes[10] = {v1.BidVolume1, v1.AskVolume1, v1.BidVolume2, v1.AskVolume2, v1.BidVolume3,
                                 v1.AskVolume3, v1.BidVolume4, v1.AskVolume4, v1.BidVolume5, v1.AskVolume5};
    const double prices[10] = {v1.BidPrice1, v1.AskPrice1, v1.BidPrice2, v1.AskPrice2, v1.BidPrice3,
                               v1.AskPrice3, v1.BidPrice4, v1.AskPrice4, v1.BidPrice5, v1.AskPrice5};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(10 + i, volumes[i]) << "level slot " << i;
        EXPECT_EQ((1000 * (i + 1) + 7) / 1000.0, prices[i]) << "level slot " << i;
    }
    EXPECT_EQ(9.001, v1.HighestPrice);
    EXPECT_EQ(9.002, v1.LowestPrice);
    EXPECT_EQ(9.003, v1.OpenPrice);
    EXPECT_EQ(9.004, v1.ClosePrice);
    EXPECT_EQ(9.005, v1.UpperLimitPrice);
    EXPECT_EQ(9.006, v1.LowerLimitPrice);
    EXPECT_EQ(9.007, v1.SettlementPrice);
    EXPECT_EQ(2.5, v1.CurrDelta);
}

std::string TimeText(const MarketDepthUpdate& v1) {
    return std::string(reinterpret_cast<const char*>(v1.UpdateTime), sizeof v1.UpdateTime);
}

} // namespace

TEST(HardwareReceive, TakesRecordFramesOf276BytesOrMoreAndCallsVersion1First) {
    ConnectorRun run;
    StartHardware(run);
    FirmwareCard card(run.Device());
    const VornCffexMdType record = DistinctRecord();
    // The full frame first: its last bytes must not show through the shorter one after it.
    ASSERT_TRUE(card.PutRecord(record, 280, 0xDEADBEEF));
    ASSERT_TRUE(card.PutRecord(record, 276));
    ASSERT_TRUE(card.PutRecord(record, 275));
    ASSERT_TRUE(run.Drain());
    run.Stop();

    const std::vector<Delivery>& d = Deliveries();
    ASSERT_EQ(4u, d.size()) << "the 275-byte frame is no record";
    EXPECT_EQ(1, d[0].version);
    EXPECT_EQ(2, d[1].version);
    EXPECT_EQ(1, d[2].version);
    EXPECT_EQ(2, d[3].version);

    // 280 bytes: the whole record, unchanged.
    EXPECT_EQ(0, memcmp(&record, &d[1].v2, sizeof record));
    EXPECT_EQ(0x0000000700000001LL, d[0].v1.Trust_flag);
    // 276 bytes reach up to byte 271 of the record: the high half of trust_flag reads 0.
    VornCffexMdType cut = record;
    cut.trust_flag = 1;
    EXPECT_EQ(0, memcmp(&cut, &d[3].v2, sizeof cut));
    EXPECT_EQ(1, d[2].v1.Trust_flag);

    for (size_t i : {0u, 2u}) {
        ExpectVersion1Of(record, d[i].v1);
        EXPECT_EQ(std::string("09:30:05\0", 9), TimeText(d[i].v1));
        EXPECT_EQ(12.346, d[i].v1.LastPrice);
    }
}

TEST(HardwareReceive, UpdateTimeBecomesTextAndSecondsBeyondTheDayNone) {
    ConnectorRun run;
    StartHardware(run);
    FirmwareCard card(run.Device());
    const int64_t seconds[] = {0, 86399, 86400, (int64_t{1} << 32) + 5, -1};
    for (int64_t s : seconds) {
        VornCffexMdType record = DistinctRecord();
        record.UpdateTime = s;
        ASSERT_TRUE(card.PutRecord(record));
    }
    ASSERT_TRUE(run.Drain());
    run.Stop();

    const std::vector<MarketDepthUpdate> v1 = V1Records();
    ASSERT_EQ(5u, v1.size());
    EXPECT_EQ(std::string("00:00:00\0", 9), TimeText(v1[0]));
    EXPECT_EQ(std::string("23:59:59\0", 9), TimeText(v1[1]));
    EXPECT_EQ(std::string(9, '\0'), TimeText(v1[2]));
    EXPECT_EQ(std::string("00:00:05\0", 9), TimeText(v1[3])) << "the low 32 bits count";
    EXPECT_EQ(std::string(9, '\0'), TimeText(v1[4]));
}

TEST(HardwareReceive, WithOnlyVersion2TheRecordIsHandedOverAlone) {
    ConnectorRun run;
    RegisterCallbacks(false, true);
    StartHardware(run);
    FirmwareCard card(run.Device());
    const VornCffexMdType record = DistinctRecord();
    ASSERT_TRUE(card.PutRecord(record));
    ASSERT_TRUE(card.PutRecord(record, 300));
    ASSERT_TRUE(run.Drain());
    run.Stop();

    ASSERT_EQ(2u, Deliveries().size());
    for (const Delivery& d : Deliveries()) {
        EXPECT_EQ(2, d.version);
        EXPECT_EQ(0, memcmp(&record, &d.v2, sizeof record));
    }
}

TEST(HardwareReceive, WithOnlyVersion1NoVersion2CallIsMade) {
    ConnectorRun run;
    RegisterCallbacks(true, false);
    StartHardware(run);
    FirmwareCard card(run.Device());
    ASSERT_TRUE(card.PutRecord(DistinctRecord()));
    ASSERT_TRUE(run.Drain());
    run.Stop();

    ASSERT_EQ(1u, Deliveries().size());
    EXPECT_EQ(1, Deliveries()[0].version);
    ExpectVersion1Of(DistinctRecord(), Deliveries()[0].v1);
}

TEST(HardwareReceive, LogsAbnormalEventsAndDropsOtherChannel0Frames) {
    ConnectorRun run;
    StartHardware(run);
    FirmwareCard card(run.Device());
    ASSERT_TRUE(card.PutEvent(1000, 1, 16));
    ASSERT_TRUE(card.PutEvent(7, 1, 16, DMA_UDP));
    ASSERT_TRUE(card.PutEvent(8, 1, 16, DMA_TCP));
    ASSERT_TRUE(card.PutFrame(0, std::vector<uint8_t>(60, 0x01)));
    ASSERT_TRUE(card.PutRecord(DistinctRecord())); // a record on channel 1 logs nothing
    ASSERT_TRUE(card.PutEvent(4294967295u, (uint64_t{1} << 40) + 3, 24));
    ASSERT_TRUE(run.Drain());
    run.Stop();

    const std::string log = run.LogText();
    const std::vector<std::string> lines = LinesWith(log, "lost_msg_seqnum");
    ASSERT_EQ(2u, lines.size()) << log;
    EXPECT_NE(std::string::npos, lines[0].find("[W]"));
    EXPECT_NE(std::string::npos,
              lines[0].find(", msy type is 0, len is 16, lost_msg_seqnum is 1000, lost_lane is 1."));
    EXPECT_NE(std::string::npos,
              lines[1].find(", msy type is 0, len is 24, lost_msg_seqnum is 4294967295, lost_lane is 1099511627779."));
    EXPECT_EQ(2u, Deliveries().size());
}
