// The two decoders against each other: a hardware-mode day's feed decoded in software
// (work_mode = software) and the same feed delivered as records by the firmware stand-in in
// hardware mode give the same updates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <fstream>

#include "child_process.h"
#include "connector_harness.h"
#include "synthetic_session.h"
#include "vorn_firmware.h"

namespace {

using namespace vorn_test;

constexpr int kPackets = 300;

// The version-2 records (then the version-1 ones) a forked run delivered, as raw bytes.
std::string RunDay(int segment, bool software, const std::string& dir) {
    const std::string path = dir + (software ? "/software.bin" : "/hardware.bin");
    const std::string snapshot = dir + "/day.bin";
    const int code = RunForked(
        [&] {
            vorn_sim::SessionConfig day;
            day.seed = 17;
            day.encrypted = true;
            day.code_segment = segment;
            vorn_sim::SyntheticSession session(day);
            if (!session.Snapshot().WriteFile(snapshot)) return 1;
            std::map<std::string, std::string> config = {{"insts", "all"}, {"options", "recv"}, {"snapshot", snapshot}};
            if (software) config["work_mode"] = "software";
            ConnectorRun run(config);
            if (run.Start() != 0) return 2;
            if ((run.LogText().find("work mode hardware") != std::string::npos) == software) return 3;
            vorn_firmware::HardwareFeed firmware(run.Device());
            firmware.SetInstruments(session);
            for (int i = 0; i < kPackets; ++i) {
                const std::vector<uint8_t> frame = session.NextFrame();
                if (software)
                    run.Put(0, frame);
                else if (firmware.DeliverFrame(frame) < 0)
                    return 4;
            }
            if (!run.Drain() || run.Stop() != 0) return 5;
            std::string bytes;
            for (const int version : {2, 1})
                for (const Delivery& d : Deliveries()) {
                    if (d.version != version) continue;
                    const void* record = version == 2 ? static_cast<const void*>(&d.v2) : static_cast<const void*>(&d.v1);
                    bytes.append(static_cast<const char*>(record), version == 2 ? sizeof d.v2 : sizeof d.v1);
                }
            std::ofstream(path, std::ios::binary) << bytes;
            return 0;
        },
        std::chrono::seconds(60));
    EXPECT_EQ(0, code) << (software ? "software" : "hardware") << " run failed";
    return ReadFile(path);
}

// Where the modes differ by design: hardware mode makes version 1 from the firmware's record,
// so its prices are the record's thousandths divided by 1000 (software mode computes them
// from the tick count: they agree to half a thousandth) and its open interest is the record's
// whole number. Everything else is the same to the byte.
void ExpectSameVersion1(const MarketDepthUpdate& soft, const MarketDepthUpdate& hard) {
    EXPECT_EQ(0, memcmp(soft.InstrumentID, hard.InstrumentID, sizeof soft.InstrumentID));
    EXPECT_EQ(0, memcmp(soft.UpdateTime, hard.UpdateTime, sizeof soft.UpdateTime));
    EXPECT_EQ(soft.UpdateMillisec, hard.UpdateMillisec);
    EXPECT_EQ(soft.Volume, hard.Volume);
    EXPECT_EQ(soft.Turnover, hard.Turnover);
    EXPECT_EQ(std::floor(soft.OpenInterest + 0.5), hard.OpenInterest);
    EXPECT_EQ(soft.Trust_flag, hard.Trust_flag);
    EXPECT_EQ(0, memcmp(&soft.BidVolume1, &hard.BidVolume1, 10 * sizeof(int32_t)));
    std::vector<size_t> offsets = {offsetof(MarketDepthUpdate, LastPrice)};
    for (size_t at = offsetof(MarketDepthUpdate, BidPrice1); at <= offsetof(MarketDepthUpdate, CurrDelta);
         at += sizeof(double))
        offsets.push_back(at);
    for (const size_t at : offsets) {
        double a, b;
        memcpy(&a, reinterpret_cast<const char*>(&soft) + at, sizeof a);
        memcpy(&b, reinterpret_cast<const char*>(&hard) + at, sizeof b);
        EXPECT_NEAR(a, b, 0.0005 + 1e-9) << "price at offset " << at;
    }
}

class Decoders : public ::testing::TestWithParam<int> {};

TEST_P(Decoders, SoftwareDecodingOfAHardwareDayGivesTheFirmwaresUpdates) {
    TempDir scratch;
    const int segment = GetParam();
    const std::string software = RunDay(segment, true, scratch.Path());
    const std::string hardware = RunDay(segment, false, scratch.Path());
    // One update per packet in both: all instruments are selected and the feed has no gaps.
    constexpr size_t kBoth = sizeof(VornCffexMdType) + sizeof(MarketDepthUpdate);
    ASSERT_EQ(kPackets * kBoth, software.size());
    ASSERT_EQ(kPackets * kBoth, hardware.size());
    constexpr size_t kV2 = kPackets * sizeof(VornCffexMdType);
    for (int i = 0; i < kPackets; ++i) {
        SCOPED_TRACE(i);
        const size_t at = i * sizeof(VornCffexMdType); // version 2: the same to the byte
        EXPECT_EQ(0, memcmp(software.data() + at, hardware.data() + at, sizeof(VornCffexMdType)));
        MarketDepthUpdate soft, hard;
        memcpy(&soft, software.data() + kV2 + i * sizeof soft, sizeof soft);
        memcpy(&hard, hardware.data() + kV2 + i * sizeof hard, sizeof hard);
        ExpectSameVersion1(soft, hard);
    }
}

INSTANTIATE_TEST_SUITE_P(KnownSegments, Decoders, ::testing::Values(0, 1, 2));

} // namespace
