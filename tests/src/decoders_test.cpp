// The two decoders against each other: a hardware-mode day's feed decoded in software
// (work_mode = software) and the same feed delivered as records by the firmware stand-in in
// hardware mode give the same updates.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <fstream>

#include "child_process.h"
#include "connector_harness.h"
#include "synthetic_session.h"
#include "vorn_firmware.h"

#ifndef PR_SET_MDWE
#define PR_SET_MDWE 65
#endif
#ifndef PR_MDWE_REFUSE_EXEC_GAIN
#define PR_MDWE_REFUSE_EXEC_GAIN 1
#endif

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
void ExpectSameVersion1(MarketDepthUpdate soft, const MarketDepthUpdate& hard) {
    EXPECT_EQ(std::floor(soft.OpenInterest + 0.5), hard.OpenInterest);
    soft.OpenInterest = hard.OpenInterest;
    std::vector<size_t> offsets = {offsetof(MarketDepthUpdate, LastPrice)};
    for (size_t at = offsetof(MarketDepthUpdate, BidPrice1); at <= offsetof(MarketDepthUpdate, CurrDelta); at += sizeof(double))
        offsets.push_back(at);
    for (const size_t at : offsets) { // compared within half a thousandth, then taken from hardware
        double a, b;
        memcpy(&a, reinterpret_cast<const char*>(&soft) + at, sizeof a);
        memcpy(&b, reinterpret_cast<const char*>(&hard) + at, sizeof b);
        EXPECT_NEAR(a, b, 0.0005 + 1e-9) << "price at offset " << at;
        memcpy(reinterpret_cast<char*>(&soft) + at, &b, sizeof b);
    }
    EXPECT_EQ(0, memcmp(&soft, &hard, sizeof soft));
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

// On a write-xor-execute host the code segment's page is refused: software mode fails start-up
// naming the settings that refuse it, rather than deliver ciphertext; hardware mode needs no page.
TEST(CodeSegment, WriteXorExecuteHostFailsSoftwareStartupOnly) {
    for (const bool software : {true, false}) {
        const int code = RunForked(
            [software] {
                if (prctl(PR_SET_MDWE, PR_MDWE_REFUSE_EXEC_GAIN, 0L, 0L, 0L) != 0) return 77;
                vorn_sim::SessionConfig day = SessionAfter100(true);
                day.code_segment = software ? -1 : 0;
                if (!WriteTodaySnapshot(vorn_sim::SyntheticSession(day).Snapshot())) return 1;
                ConnectorRun run;
                const int started = run.Start();
                if (!software) return started == 0 && run.Stop() == 0 ? 0 : 2;
                const std::string out = run.Stdout();
                for (const char* setting : {"MemoryDenyWriteExecute", "execmem", "PR_SET_MDWE"})
                    if (out.find(setting) == std::string::npos) return 3;
                return started == -1 ? 0 : 4;
            },
            std::chrono::seconds(60));
        if (code == 77) GTEST_SKIP() << "the kernel does not offer PR_SET_MDWE";
        EXPECT_EQ(0, code) << (software ? "software" : "hardware");
    }
}

// A segment whose length cannot run: start-up goes on, every encrypted field is counted and
// not applied, its instrument's updates are untrusted, and the run logs one error line.
TEST(CodeSegment, UnrunnableLengthLeavesEncryptedFieldsUnappliedAndUntrusted) {
    vorn_sim::SyntheticSession session(SessionAfter100(true));
    vorn_sim::SnapshotWriter snapshot = session.Snapshot();
    encrypt_code_segment_field segment = session.CodeSegment();
    segment.code_len = 401;
    snapshot.SetCodeSegment(segment);
    ASSERT_TRUE(WriteTodaySnapshot(snapshot));
    ConnectorRun run({{"insts", "all"}, {"options", "recv"}});
    ASSERT_EQ(0, run.Start());
    for (int i = 0; i < 40; ++i) run.Put(0, session.NextFrame());
    ASSERT_TRUE(run.Drain());
    EXPECT_GE(ReadCounters(run).header.values.fields_undecryptable, 40u);
    ASSERT_EQ(0, run.Stop());
    EXPECT_EQ(1u, LinesWith(run.LogText(), "[E]").size()) << run.LogText();
    EXPECT_EQ(1u, LinesWith(run.LogText(), "code_len is 401, outside 1 to 400").size());
    // The encrypted members (last match, five levels) keep the snapshot's values.
    constexpr size_t kFrom = offsetof(VornCffexMdType, volume), kTo = offsetof(VornCffexMdType, high_price);
    std::map<int32_t, VornCffexMdType> first;
    ASSERT_EQ(40u, V2Records().size());
    for (const VornCffexMdType& record : V2Records()) {
        EXPECT_EQ(0, int64_t{record.trust_flag});
        const VornCffexMdType& seen = first.emplace(int32_t{record.inst_no}, record).first->second;
        EXPECT_EQ(0, memcmp(reinterpret_cast<const char*>(&seen) + kFrom,
                            reinterpret_cast<const char*>(&record) + kFrom, kTo - kFrom));
    }
}

} // namespace
