// Hardware-mode receive: record frames of channel 1 by length, the version-1 conversion and
// call order, version-2 records in place, one callback alone, and abnormal events on channel 0.
#include <gtest/gtest.h>

#include "hardware_snapshot.h"
#include "vorn_firmware.h"

using namespace vorn_test;

namespace {

// Every field distinct, so a field taken from the wrong place shows: level slot i (bid 1,
// ask 1, ..., ask 5) has volume 10 + i and price 1000 * (i + 1) + 7; other prices 9001...
VornCffexMdType DistinctRecord(int64_t updateTime = 34205) {
    VornCffexMdType r = vorn_firmware::MakeRecord(1001, "IF2612", "20261216");
    r.UpdateTime = updateTime, r.update_msec = 500, r.volume = 77, r.last_price = 12346, r.turn_over = 1234.5;
    r.open_interest = 4321, r.curr_delta = 2500, r.trust_flag = 0x0000000700000001LL;
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&r);
    for (int i = 0; i < 10; ++i) {
        const std::pair<int32_t, int64_t> level(10 + i, 1000 * (i + 1) + 7);
        memcpy(bytes + offsetof(VornCffexMdType, bid1_volume) + 4 * i, &level.first, 4);
        memcpy(bytes + offsetof(VornCffexMdType, bid1_price) + 8 * i, &level.second, 8);
    }
    for (int64_t i = 0, price = 9001; i < 7; ++i, ++price) // high ... settlement
        memcpy(bytes + offsetof(VornCffexMdType, high_price) + 8 * i, &price, 8);
    return r;
}

std::string TimeText(const MarketDepthUpdate& v1) { return std::string(v1.UpdateTime, v1.UpdateTime + sizeof v1.UpdateTime); }

void ExpectVersion1Of(const VornCffexMdType& r, const MarketDepthUpdate& v1) {
    EXPECT_EQ(0, memcmp(r.instrument_id, v1.InstrumentID, sizeof v1.InstrumentID));
    EXPECT_EQ(std::string("09:30:05\0", 9), TimeText(v1));
    EXPECT_EQ(std::make_tuple(500, 77, 12.346, 1234.5, 4321.0),
              std::make_tuple(+v1.UpdateMillisec, +v1.Volume, +v1.LastPrice, +v1.Turnover, +v1.OpenInterest));
    int32_t volumes[10];
    double prices[18]; // bid 1, ask 1, ..., ask 5, then high ... settlement and delta
    memcpy(volumes, reinterpret_cast<const char*>(&v1) + offsetof(MarketDepthUpdate, BidVolume1), sizeof volumes);
    memcpy(prices, reinterpret_cast<const char*>(&v1) + offsetof(MarketDepthUpdate, BidPrice1), sizeof prices);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(std::make_pair(10 + i, (1000 * (i + 1) + 7) / 1000.0), std::make_pair(volumes[i], prices[i])) << i;
    for (int i = 0; i < 8; ++i) EXPECT_EQ(i < 7 ? (9001 + i) / 1000.0 : 2.5, prices[10 + i]) << "price " << i;
}

} // namespace

// 280 then 276 bytes are records (the longer frame's tail must not show through the shorter),
// 275 is none; version 1 is called first. Seconds beyond the day give no time text. Abnormal
// events on channel 0 are logged, other channel-0 frames dropped. With one callback registered
// only that one is called.
TEST(HardwareReceive, RecordsByLengthTimeTextEventsAndCallbacks) {
    vorn_sim::SnapshotWriter writer = hw_test::HardwareSnapshot(2, 1);
    hw_test::AddInstrument(writer, "IF2612", 1001);
    ConnectorRun run;
    hw_test::StartOn(writer, run);
    vorn_firmware::FirmwareCard card(run.Device());
    const VornCffexMdType record = DistinctRecord();
    for (uint16_t length : {280, 276, 275}) ASSERT_TRUE(card.PutRecord(record, length, 0xDEADBEEF));
    for (int64_t s : {int64_t{0}, int64_t{86399}, int64_t{86400}, (int64_t{1} << 32) + 5, int64_t{-1}})
        ASSERT_TRUE(card.PutRecord(DistinctRecord(s)));
    ASSERT_TRUE(card.PutEvent(1000, 1, 16));
    ASSERT_TRUE(card.PutEvent(7, 1, 16, DMA_UDP));
    ASSERT_TRUE(card.PutEvent(8, 1, 16, DMA_TCP));
    ASSERT_TRUE(card.PutFrame(0, std::vector<uint8_t>(60, 0x01)));
    ASSERT_TRUE(card.PutEvent(4294967295u, (uint64_t{1} << 40) + 3, 24));
    ASSERT_TRUE(run.Drain());
    for (int version : {1, 2}) {
        RegisterCallbacks(version == 1, version == 2);
        ASSERT_TRUE(card.PutRecord(record, version == 1 ? 276 : 300));
        ASSERT_TRUE(run.Drain());
    }
    run.Stop();
    const Vorn_R10::SCounterValues counted = ReadCounters(run).header.values; // all but the 275-byte record
    EXPECT_EQ(std::make_pair(uint64_t{9}, uint64_t{2}), std::make_pair(+counted.hw_records, +counted.hw_loss_events));

    const std::vector<Delivery>& d = Deliveries();
    ASSERT_EQ(16u, d.size());
    for (size_t i = 0; i < d.size(); ++i) EXPECT_EQ(i % 2 ? 2 : 1, d[i].version) << i;
    for (size_t i : {1, 15}) EXPECT_EQ(0, memcmp(&record, &d[i].v2, sizeof record)) << i;
    EXPECT_EQ(0x0000000700000001LL, d[0].v1.Trust_flag);
    VornCffexMdType cut = record; // 276 bytes reach up to byte 271: trust_flag's high half reads 0
    cut.trust_flag = 1;
    EXPECT_EQ(0, memcmp(&cut, &d[3].v2, sizeof cut));
    EXPECT_EQ(1, d[2].v1.Trust_flag);
    for (size_t i : {0, 2, 14}) ExpectVersion1Of(record, d[i].v1);
    const std::string times[] = {std::string("00:00:00\0", 9), std::string("23:59:59\0", 9), std::string(9, '\0'),
                                 std::string("00:00:05\0", 9), std::string(9, '\0')};
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(times[i], TimeText(d[4 + 2 * i].v1)) << i;

    const std::vector<std::string> lines = LinesWith(run.LogText(), "lost_msg_seqnum");
    ASSERT_EQ(2u, lines.size()) << run.LogText();
    EXPECT_NE(std::string::npos, lines[0].find("[W]"));
    EXPECT_NE(std::string::npos, lines[0].find(", msy type is 0, len is 16, lost_msg_seqnum is 1000, lost_lane is 1."));
    EXPECT_NE(std::string::npos, lines[1].find(", len is 24, lost_msg_seqnum is 4294967295, lost_lane is 1099511627779."));
}
