// The live counters after a scripted software-mode session: every frame's fate, the gaps,
// the deliveries and the start-up state read through the counters file as a tool reads it.
#include <gtest/gtest.h>

#include "connector_harness.h"
#include "feed_encoder.h"
#include "synthetic_session.h"
#include "tick_clock.h"

namespace {

using namespace vorn_test;
using vorn_sim::PacketBuilder;
using Bytes = std::vector<uint8_t>;

TEST(SessionCounters, MatchWhatHappened) {
    vorn_sim::SyntheticSession session(SessionAfter100());
    ASSERT_TRUE(WriteTodaySnapshot(session.Snapshot()));
    ConnectorRun run({{"insts", "IF2612,IH2612"}, {"exanic_cache_size", "3"}, {"latency_sample", "1"}});
    const Bytes foreign = vorn_sim::MakeFrame("10.0.0.5", "239.3.42.1", 3000, Tagged(101, kIF, 1));
    ASSERT_EQ(0, run.Start());
    ASSERT_TRUE(run.Drain()); // the reader has started and waits at the ring's head
    // The reader is lapped: one overrun, the lap's frames lost.
    ASSERT_GT(vorn_sim_put_lapping(run.Card(), 0, foreign.data(), foreign.size()), 0);

    for (uint32_t seqno : {101u, 103u, 102u, 101u}) run.Put(0, session.Frame(Tagged(seqno, kIF, 1))); // a gap filled, a stale
    run.Put(0, foreign);
    run.Put(0, Bytes(19, 0x45));
    const Bytes faulty = session.Frame(Tagged(104, kIF, 1));
    vorn_sim_put_frame(run.Card(), 0, faulty.data(), faulty.size(), VORN_SIM_WAIT, VORN_SIM_FRAME_FAULTY);
    run.Put(0, Bytes(3000, 0)); // larger than the receive buffer
    for (uint32_t seqno : {106u, 107u, 108u, 109u}) run.Put(0, session.Frame(Tagged(seqno, kIF, 1))); // a gap given up
    run.Put(0, session.Frame(PacketBuilder(110).UpdateTime(kIF, 34201, 5).Raw(0x4500, {1, 2}).Bytes()));
    Bytes cut = Tagged(111, kIF, 1); // its last byte cut off
    cut.pop_back();
    run.Put(0, session.Frame(cut));
    ASSERT_TRUE(run.Drain()); // puts two 60-byte barrier frames of zeros

    const Vorn_R10::SCountersSnapshot got = ReadCounters(run);
    const Vorn_R10::SCounterValues& v = got.header.values;
    EXPECT_TRUE(got.consistent);
    const Vorn_R10::SStartupState& s = got.header.startup;
    const Vorn_R10::SLatencyHistogram& latency = got.header.histograms[Vorn_R10::HISTOGRAM_RECV_TO_CALLBACK];
    const std::pair<uint64_t, uint64_t> counts[] = { // (expected, counted)
        {19, v.frames_received}, {10, v.frames_feed}, {1, v.dropped_foreign}, {1, v.dropped_too_short},
        {4, v.dropped_not_udp}, // the barriers of both drains: no EtherType
        {1, v.rx_overrun}, {1, v.rx_truncated}, {1, v.rx_faulty}, {1, v.packets_stale},
        {9, v.packets_parsed}, // 101-103, 106-111
        {2, v.gaps_detected}, {1, v.gaps_filled}, {1, v.gaps_given_up}, {0, v.reorder_depth},
        {4, v.reorder_high_water}, // the packet that overflowed the list joins it first
        {8, v.updates}, {8, v.updates_v1}, {8, v.updates_v2}, // all but the cut 111
        {5, v.updates_untrusted}, // 106-110, after the gap was given up
        {1, v.unknown_fields}, {1, v.parse_errors}, {0, v.hw_records}, {0, v.hw_loss_events},
        {4, latency.count}, // frames that delivered: 101, 102 (with 103), 109 (with 106-108), 110
        {1, latency.sample_every},
        {4, got.header.histograms[Vorn_R10::HISTOGRAM_WIRE_TO_CALLBACK].count}, // the same frames' card stamps
        {0, v.wire_clock_unsynced}, {0, v.kernel_drops}, {Vorn_R10::TRANSPORT_CARD, s.transport},
        {Vorn_R10::COUNTERS_RUNNING, s.run_state}, {31, s.steps}, {1, s.work_mode}, {20261216, s.trade_date},
        {VORN_SIM_FIRMWARE_VERSION, s.firmware_version}, {VORN_SIM_VERDICT_OK, s.version_check}};
    for (const auto& count : counts) EXPECT_EQ(count.first, count.second) << &count - counts;
    const int64_t lastFrame = Vorn_R10::TicksToRealtimeNs(got.header, v.last_frame_tsc);
    EXPECT_LT(std::abs(lastFrame - Vorn_R10::RealtimeNs()), 60 * 1000000000LL);

    std::string instruments; // id, updates, last update (ms of the day), its trust
    for (const auto& i : got.instruments)
        instruments += std::string(i.instrument_id) + " " + std::to_string(i.updates) + " " +
                       std::to_string(i.last_update_ms) + " " + std::to_string(i.last_trust) + "\n";
    EXPECT_EQ("IF2612 8 34201005 0\nIH2612 0 0 0\n", instruments);

    EXPECT_EQ(vorn_sim::SnapshotWriter::TodayPath(), s.snapshot_file);

    EXPECT_EQ(0, run.Stop());
    const Vorn_R10::SCountersSnapshot ended = ReadCounters(run);
    EXPECT_EQ(Vorn_R10::COUNTERS_ENDED, ended.header.startup.run_state);
    EXPECT_GT(ended.header.startup.ended_realtime_ns, 0);
}

// The counters_name key names the file; one that is no file name part gives a warning and the
// program's name. (Takeovers across restarts and crashes: counters_test.)
TEST(SessionCounters, CountersNameKey) {
    vorn_sim::SyntheticSession session(SessionAfter100());
    ASSERT_TRUE(WriteTodaySnapshot(session.Snapshot()));
    for (const std::string name : {"../md", "desk-1"}) { // the process's log stays in the first run's folder
        ConnectorRun run({{"counters_name", name}});
        ASSERT_EQ(0, run.Start());
        ASSERT_EQ(0, run.Stop());
        const std::string file = name == "desk-1" ? name : Vorn_R10::ProgramCountersName();
        EXPECT_EQ(std::vector<std::string>{Vorn_R10::CountersFileName(file, run.Device())}, FilesIn(run.Dir(), "vorn_r10."));
        EXPECT_EQ(name == "../md", CountOf(run.LogText(), "counters_name '../md' is not a file name part") == 1);
    }
}

} // namespace
