// Wire to callback: the counters take a measured frame's wire time only where it is plausible
// host time, and the card path fills the histogram from the card's timestamps.
#include <gtest/gtest.h>
#include "child_process.h"
#include "connector_harness.h"
#include "counters_writer.h"
#include "hardware_snapshot.h"
#include "tick_clock.h"
#include "vorn_firmware.h"

namespace {

using namespace vorn_test;
using namespace Vorn_R10;

// One measured frame that delivers an update, ended with `wireNs`.
void Frame(CCountersWriter& writer, int64_t wireNs, bool deliver = true) {
    writer.FrameBegin();
    if (deliver) writer.Delivered(1, 0, 1, true, true);
    writer.FrameEnd(wireNs);
}

// A wire time below the callback's return by up to a second is recorded in ticks; one ahead of
// it or over a second behind counts as unsynchronised and leaves the histogram alone; 0 (no
// wire time) neither; a frame that delivered nothing records nothing.
TEST(WireToCallback, PlausibleFiguresAreRecordedOthersCounted) {
    CCountersWriter writer;
    writer.SetLatencySampling(1);
    writer.EnableWireToCallback();
    const Vorn_R10::SCountersHeader& header = writer.Header();
    const Vorn_R10::SLatencyHistogram& wire = header.histograms[HISTOGRAM_WIRE_TO_CALLBACK];
    const int64_t ms = 1000000;
    Frame(writer, Vorn_R10::RealtimeNs() - 3 * ms);
    ASSERT_EQ(1u, wire.count);
    // 3 ms and a little in ticks; the bucket's resolution is 1/16.
    const double ns = static_cast<double>(wire.sum_ticks) * 1e9 / static_cast<double>(header.ticks_per_second);
    EXPECT_TRUE(ns >= 3e6 * 0.99 && ns < 3e6 + 50e6) << ns;
    EXPECT_EQ(wire.sum_ticks, wire.max_ticks);
    // The card's clock ahead, or far behind; no wire time; a frame that delivered nothing.
    for (const int64_t wireNs : {Vorn_R10::RealtimeNs() + 200 * ms, Vorn_R10::RealtimeNs() - 1100 * ms, int64_t{0}})
        Frame(writer, wireNs);
    Frame(writer, Vorn_R10::RealtimeNs() - ms, false);
    EXPECT_EQ((std::vector<uint64_t>{1, 2, 4}),
              (std::vector<uint64_t>{wire.count, header.values.wire_clock_unsynced,
                                     header.histograms[HISTOGRAM_RECV_TO_CALLBACK].count}));
    Frame(writer, Vorn_R10::RealtimeNs() - 990 * ms);
    EXPECT_EQ(2u, wire.count);
}

// Hardware mode on the card (software mode: the session counters' test): every measured
// record's card time is recent host time (the simulated card's clock follows the host's), so
// the histogram fills, each figure below a second, and nothing is counted unsynchronised.
TEST(WireToCallback, TheCardPathFillsItFromTheCardsTimestamps) {
    const int code = RunForked(
        [&] {
            ConnectorRun run({{"insts", "all"}, {"latency_sample", "1"}});
            vorn_sim::SnapshotWriter writer = hw_test::HardwareSnapshot(0, 1);
            hw_test::AddInstrument(writer, "IF2612", kIF);
            if (!WriteTodaySnapshot(writer) || run.Start() != 0) return 1;
            vorn_firmware::FirmwareCard card(run.Device());
            for (int i = 0; i < 50; ++i) card.PutRecord(vorn_firmware::MakeRecord(kIF, "IF2612", "20261216"));
            if (!run.Drain()) return 2;
            const Vorn_R10::SCountersHeader header = ReadCounters(run).header;
            EXPECT_EQ(50u, header.histograms[HISTOGRAM_WIRE_TO_CALLBACK].count);
            EXPECT_EQ(0u, header.values.wire_clock_unsynced);
            return ::testing::Test::HasFailure() ? 3 : 0;
        },
        std::chrono::seconds(60));
    EXPECT_EQ(0, code);
}

} // namespace
