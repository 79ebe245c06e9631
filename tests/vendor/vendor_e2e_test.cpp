// The library built against the vendor's libexanic, on a simulated card through
// libvorn_card_driver.so: vorn-dump (an application of the library) receives a replayed
// capture in software mode, and the firmware stand-in's records and events in hardware mode,
// while vorn-replay and the stand-in drive the card it has open. Its rows must be those the
// default build's vorn-dump writes for the same input, byte for byte (when the default build
// is given: VORN_DEFAULT_TOOLS), and carry the session's depth.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>

#include "FpgaStruct.h"
#include "child_process.h"
#include "counters_files.h"
#include "counters_reader.h"
#include "feed_encoder.h"
#include "pcap_writer.h"
#include "synthetic_session.h"
#include "test_files.h"
#include "vorn_firmware.h"
#include "vorn_sim_card.h"

using namespace vorn_test;

namespace {

constexpr int kFrames = 300;

// The connector reads today's snapshot from a machine-wide path: written under the lock the
// test suites take, held until this process exits.
bool WriteTodaySnapshot(const vorn_sim::SnapshotWriter& writer) {
    static const int lock = vorn_sim::SnapshotWriter::LockSharedPath();
    return lock >= 0 && writer.WriteFile(vorn_sim::SnapshotWriter::TodayPath());
}

// One vorn-dump run on a card of its own: feeds the card once the dump has started (the
// register `started` reads 1), and returns the dump's rows.
class DumpRun {
public:
    DumpRun(const std::string& tag) : device_("vtv" + std::to_string(getpid()) + tag), dir_(temp_.Path()) {
        EXPECT_EQ(0, vorn_sim_create(device_.c_str())) << vorn_sim_last_error();
        card_ = vorn_sim_open(device_.c_str());
        std::ofstream(dir_ + "/md.ini") << "[config]\ndevice = " << device_ << "\nlog_path = " << dir_
                                        << "\ncounters_path = " << dir_ << "\ninsts = all\noptions = recv\n";
    }
    ~DumpRun() {
        if (card_) vorn_sim_close(card_);
        vorn_sim_remove(device_.c_str());
    }
    const std::string& Device() const { return device_; }
    const std::string& Dir() const { return dir_; }

    // Runs `dump` (under the driver shim when `preload`), waits for register `started`, calls
    // `feed`, and returns the rows written once the dump has been idle for 2 s.
    std::string Rows(const std::string& dump, const char* preload, uint32_t started, const std::function<void()>& feed) {
        std::vector<std::string> argv;
        if (preload) argv = {"/usr/bin/env", std::string("LD_PRELOAD=") + preload};
        argv.push_back(dump);
        for (const char* arg : {"--idle-exit", "2", "--quiet", "--out"}) argv.push_back(arg);
        argv.push_back(dir_ + "/rows.csv");
        argv.push_back(dir_ + "/md.ini");
        const pid_t pid = Spawn(argv, dir_ + "/dump.out", dir_ + "/dump.err");
        bool up = false;
        for (int i = 0; i < 20000 && Running(pid) && !up; ++i, usleep(1000)) up = vorn_sim_read_reg(card_, started) == 1;
        EXPECT_TRUE(up) << ReadFile(dir_ + "/dump.err");
        if (up) feed();
        EXPECT_EQ(0, WaitExit(pid, std::chrono::seconds(60))) << ReadFile(dir_ + "/dump.err");
        return ReadFile(dir_ + "/rows.csv");
    }

private:
    TempDir temp_;
    std::string device_;
    std::string dir_;
    vorn_sim_card_t* card_ = nullptr;
};

// The vendor build's dump of what `feed` puts on its card; the default build's dump of the
// same (when VORN_DEFAULT_TOOLS is given) must be the same, byte for byte.
template <typename Feed>
std::string DumpBoth(uint32_t started, Feed feed) {
    std::string vendor;
    {
        DumpRun run("v");
        vendor = run.Rows(VORN_DUMP_BIN, CARD_DRIVER_SHIM, started, [&] { feed(run); });
    }
    const std::string defaultTools = VORN_DEFAULT_TOOLS;
    if (!defaultTools.empty()) {
        DumpRun run("d");
        EXPECT_EQ(run.Rows(defaultTools + "/vorn-dump", nullptr, started, [&] { feed(run); }), vendor);
    }
    return vendor;
}

} // namespace

// Software mode: an encrypted session's capture replayed by vorn-replay into the card that
// vorn-dump has open through the vendor's receive.
TEST(VendorBuild, SoftwareModeReplayIntoVornDump) {
    vorn_sim::SessionConfig config;
    config.seed = 11;
    config.encrypted = true;
    vorn_sim::SyntheticSession session(config);
    ASSERT_TRUE(WriteTodaySnapshot(session.Snapshot()));
    std::vector<std::vector<uint8_t>> frames;
    std::vector<int32_t> volumes;
    for (int i = 0; i < kFrames; ++i) {
        frames.push_back(session.NextFrame());
        volumes.push_back(session.Expected(session.LastKey()).volume);
    }
    const TempDir temp;
    const std::string capture = temp.Path() + "/session.pcap";
    ASSERT_TRUE(vorn_sim::WritePcap(capture, frames));
    const std::string dump = DumpBoth(SOFT_HW_SW, [&](DumpRun& run) {
        const std::string log = run.Dir() + "/replay.log";
        EXPECT_EQ(0, WaitExit(Spawn({VORN_REPLAY_BIN, "--device", run.Device(), "--no-progress", capture}, log, log),
                              std::chrono::seconds(30)))
            << ReadFile(log);
    });
    const std::vector<std::string> rows = LinesWith(dump);
    ASSERT_EQ(size_t(1 + 2 * kFrames), rows.size()) << dump.substr(0, 2000);
    // Version 2 then 1 per update; the volume column (the sixth) of each.
    for (int i = 0; i < kFrames; ++i) {
        const std::string& v2 = rows[1 + 2 * i];
        size_t at = 0;
        for (int column = 0; column < 6; ++column) at = v2.find(',', at) + 1;
        EXPECT_EQ(std::to_string(volumes[i]), v2.substr(at, v2.find(',', at) - at)) << v2;
    }
}

// Frames of every kind the card gives, put straight on the card: the card's error statuses, a
// frame beyond the receive buffer, short and foreign frames, and a lap; only the session's
// packets update, and the vendor's receive gives the rows ours does.
TEST(VendorBuild, FrameKindsAndALapIntoVornDump) {
    vorn_sim::SyntheticSession session{vorn_sim::SessionConfig{}};
    ASSERT_TRUE(WriteTodaySnapshot(session.Snapshot()));
    std::vector<std::vector<uint8_t>> packets;
    for (int i = 0; i < 5; ++i) packets.push_back(session.NextFrame());
    const std::vector<uint8_t> foreign = vorn_sim::MakeFrame("10.0.0.9", "239.3.42.1", 30001, {1, 2, 3, 4, 5, 6, 7, 8});
    std::vector<uint8_t> oversize = packets[0];
    oversize.resize(3000);
    const std::string dump = DumpBoth(SOFT_HW_SW, [&](DumpRun& run) {
        vorn_sim_card_t* card = vorn_sim_open(run.Device().c_str());
        ASSERT_NE(nullptr, card);
        // The card cannot wait for the vendor's reader: everything is put as the card puts it.
        const auto put = [&](const std::vector<uint8_t>& frame, unsigned flags) {
            EXPECT_EQ(0, vorn_sim_put_frame(card, 0, frame.data(), frame.size(), VORN_SIM_OVERWRITE, flags));
        };
        put(packets[0], 0);
        put(packets[0], VORN_SIM_FRAME_FAULTY);
        put(packets[0], VORN_SIM_FRAME_ABORTED);
        put(packets[0], VORN_SIM_FRAME_HW_OVERFLOW);
        put(oversize, 0);
        put(std::vector<uint8_t>(10, 0x45), 0);
        put(foreign, 0);
        put(packets[1], 0);
        put(packets[2], 0);
        usleep(500000); // the reader waits at the next chunk: the lap comes all at once
        EXPECT_GT(vorn_sim_put_lapping(card, 0, foreign.data(), foreign.size()), 0);
        usleep(500000); // the reader goes on after the newest frame once it found the lap
        put(packets[3], 0);
        put(packets[4], 0);
        vorn_sim_close(card);
    });
    EXPECT_EQ(size_t(1 + 2 * 5), LinesWith(dump).size()) << dump;
}

// A long session with loss, duplicates and reordering, in batches that each fit the ring: the
// card cannot wait for the vendor's reader, so the test paces the card against the frames the
// connector counts received (its live counters) before putting the next batch.
TEST(VendorBuild, SoakWithLossDuplicatesAndReordering) {
    constexpr int kPackets = 20000, kBatch = 1000;
    vorn_sim::SessionConfig config;
    config.seed = 23;
    vorn_sim::SyntheticSession session(config);
    ASSERT_TRUE(WriteTodaySnapshot(session.Snapshot()));
    std::vector<std::vector<uint8_t>> frames;
    uint64_t state = 77;
    const auto below = [&](uint64_t n) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return (state >> 33) % n;
    };
    for (int i = 0; i < kPackets; ++i) {
        std::vector<uint8_t> frame = session.NextFrame();
        const uint64_t roll = below(100);
        if (roll == 0) continue;                                  // lost
        if (roll == 1) frames.push_back(frame);                   // duplicated
        if (roll == 2 && !frames.empty()) std::swap(frame, frames.back()); // one step late
        frames.push_back(frame);
    }
    const std::string dump = DumpBoth(SOFT_HW_SW, [&](DumpRun& run) {
        vorn_sim_card_t* card = vorn_sim_open(run.Device().c_str());
        ASSERT_NE(nullptr, card);
        Vorn_R10::CCountersReader counters;
        std::string error;
        const std::string file = Vorn_R10::CountersFilePath(run.Dir(), "vorn-dump", run.Device());
        for (int i = 0; i < 2000 && !counters.Open(file, error); ++i) usleep(1000);
        ASSERT_TRUE(counters.Open(file, error)) << error;
        for (size_t at = 0; at < frames.size(); at += kBatch) {
            const size_t end = std::min(frames.size(), at + kBatch);
            for (size_t i = at; i < end; ++i)
                ASSERT_EQ(0, vorn_sim_put_frame(card, 0, frames[i].data(), frames[i].size(), VORN_SIM_OVERWRITE, 0));
            Vorn_R10::SCountersSnapshot snapshot;
            bool taken = false;
            for (int i = 0; i < 20000 && !taken; ++i, usleep(500))
                taken = counters.Read(snapshot, error) && snapshot.header.values.frames_received >= end;
            ASSERT_TRUE(taken) << "batch ending at " << end << ": " << error;
        }
        vorn_sim_close(card);
    });
    EXPECT_GT(LinesWith(dump).size(), size_t(kPackets));
}

// Hardware mode: the firmware stand-in decodes a session into records on channel 1 and
// reports a lost message on channel 0, on the devkit registers and rings the vendor's library
// has mapped.
TEST(VendorBuild, HardwareModeRecordsAndEventsIntoVornDump) {
    vorn_sim::SessionConfig config;
    config.seed = 5;
    config.code_segment = 1; // a known segment: hardware mode
    vorn_sim::SyntheticSession session(config);
    ASSERT_TRUE(WriteTodaySnapshot(session.Snapshot()));
    std::vector<std::vector<uint8_t>> payloads;
    for (int i = 0; i < kFrames; ++i) payloads.push_back(session.NextPacket());
    const std::string dump = DumpBoth(TABLE_END_FLAG, [&](DumpRun& run) {
        vorn_firmware::HardwareFeed feed(run.Device());
        feed.SetInstruments(session);
        int records = 0;
        for (size_t i = 0; i < payloads.size(); ++i) {
            if (i == 100) {
                EXPECT_TRUE(feed.Card().PutEvent(config.first_seqno + 100, 1));
            }
            records += feed.Deliver(payloads[i]);
        }
        EXPECT_EQ(kFrames, records);
    });
    EXPECT_EQ(size_t(1 + 2 * kFrames), LinesWith(dump).size()) << dump.substr(0, 2000);
}
