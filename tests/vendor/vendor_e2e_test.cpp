// vorn-dump built against the vendor's libexanic, on a simulated card through the driver shim:
// its rows for each input must be the default build's (VORN_DEFAULT_TOOLS), byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "FpgaStruct.h"
#include "child_process.h"
#include "pcap_writer.h"
#include "synthetic_session.h"
#include "test_files.h"
#include "vorn_firmware.h"
#include "vorn_sim_card.h"

using namespace vorn_test;

namespace {

constexpr int kFrames = 300;
using Feed = std::function<void(const std::string& device, vorn_sim_card_t* card)>;

// vorn-dump (under the driver shim when `preload`) on a card of its own: `feed` runs once the
// dump has started (register `started` reads 1); the rows written once it was idle for 2 s.
std::string DumpRows(const std::string& dump, const char* preload, uint32_t started, const Feed& feed) {
    const TempDir temp;
    const std::string device = "vtv" + std::to_string(getpid()) + (preload ? "v" : "d"), dir = temp.Path();
    EXPECT_EQ(0, vorn_sim_create(device.c_str())) << vorn_sim_last_error();
    vorn_sim_card_t* card = vorn_sim_open(device.c_str());
    std::ofstream(dir + "/md.ini") << "[config]\ndevice = " << device << "\nlog_path = " << dir
                                   << "\ncounters_path = " << dir << "\ninsts = all\noptions = recv\n";
    std::vector<std::string> argv;
    if (preload) argv = {"/usr/bin/env", std::string("LD_PRELOAD=") + preload};
    for (const std::string& arg : {dump, std::string("--idle-exit"), std::string("2"), std::string("--quiet"),
                                   std::string("--out"), dir + "/rows.csv", dir + "/md.ini"})
        argv.push_back(arg);
    const pid_t pid = Spawn(argv, dir + "/dump.out", dir + "/dump.err");
    bool up = false;
    for (int i = 0; i < 20000 && Running(pid) && !up; ++i, usleep(1000)) up = vorn_sim_read_reg(card, started) == 1;
    EXPECT_TRUE(up) << ReadFile(dir + "/dump.err");
    if (up) feed(device, card);
    EXPECT_EQ(0, WaitExit(pid, std::chrono::seconds(60))) << ReadFile(dir + "/dump.err");
    vorn_sim_close(card);
    vorn_sim_remove(device.c_str());
    return ReadFile(dir + "/rows.csv");
}

// The vendor build's dump of what `feed` puts on its card, checked against the default build's.
std::string DumpBoth(const vorn_sim::SnapshotWriter& snapshot, uint32_t started, const Feed& feed) {
    EXPECT_TRUE(WriteTodaySnapshot(snapshot));
    const std::string vendor = DumpRows(VORN_DUMP_BIN, CARD_DRIVER_SHIM, started, feed);
    const std::string defaultTools = VORN_DEFAULT_TOOLS;
    if (!defaultTools.empty()) { EXPECT_EQ(DumpRows(defaultTools + "/vorn-dump", nullptr, started, feed), vendor); }
    return vendor;
}

// The card cannot wait for the vendor's reader: everything is put as the card puts it.
void Put(vorn_sim_card_t* card, const std::vector<uint8_t>& frame, unsigned flags = 0) {
    EXPECT_EQ(0, vorn_sim_put_frame(card, 0, frame.data(), frame.size(), VORN_SIM_OVERWRITE, flags));
}

} // namespace

// Software mode: an encrypted session's capture replayed by vorn-replay; a header and both
// versions of each update.
TEST(VendorBuild, SoftwareModeReplayIntoVornDump) {
    vorn_sim::SessionConfig config;
    config.seed = 11;
    config.encrypted = true;
    vorn_sim::SyntheticSession session(config);
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < kFrames; ++i) frames.push_back(session.NextFrame());
    const TempDir temp;
    const std::string capture = temp.Path() + "/session.pcap", log = temp.Path() + "/replay.log";
    ASSERT_TRUE(vorn_sim::WritePcap(capture, frames));
    const std::string dump = DumpBoth(session.Snapshot(), SOFT_HW_SW, [&](const std::string& device, vorn_sim_card_t*) {
        EXPECT_EQ(0, WaitExit(Spawn({VORN_REPLAY_BIN, "--device", device, "--no-progress", capture}, log, log),
                              std::chrono::seconds(30))) << ReadFile(log);
    });
    EXPECT_EQ(size_t(1 + 2 * kFrames), LinesWith(dump).size()) << dump.substr(0, 2000);
}

// Frames of every kind the card gives, put straight on the card: the card's error statuses, a
// frame beyond the receive buffer, short and foreign frames, and a lap; only the session's
// packets update.
TEST(VendorBuild, FrameKindsAndALapIntoVornDump) {
    vorn_sim::SyntheticSession session{vorn_sim::SessionConfig{}};
    std::vector<std::vector<uint8_t>> packets;
    for (int i = 0; i < 5; ++i) packets.push_back(session.NextFrame());
    const std::vector<uint8_t> foreign = vorn_sim::MakeFrame("10.0.0.9", "239.3.42.1", 30001, {1, 2, 3, 4, 5, 6, 7, 8});
    std::vector<uint8_t> oversize = packets[0];
    oversize.resize(3000);
    const std::string dump = DumpBoth(session.Snapshot(), SOFT_HW_SW, [&](const std::string&, vorn_sim_card_t* card) {
        Put(card, packets[0]);
        for (unsigned status : {VORN_SIM_FRAME_FAULTY, VORN_SIM_FRAME_ABORTED, VORN_SIM_FRAME_HW_OVERFLOW})
            Put(card, packets[0], status);
        for (const auto& frame : {oversize, std::vector<uint8_t>(10, 0x45), foreign, packets[1], packets[2]}) Put(card, frame);
        usleep(500000); // the reader waits at the next chunk: the lap comes all at once
        EXPECT_GT(vorn_sim_put_lapping(card, 0, foreign.data(), foreign.size()), 0);
        usleep(500000); // the reader goes on after the newest frame once it found the lap
        Put(card, packets[3]);
        Put(card, packets[4]);
    });
    EXPECT_EQ(size_t(1 + 2 * 5), LinesWith(dump).size()) << dump;
}

// Hardware mode: the firmware stand-in's records on channel 1 and a lost message on channel 0.
TEST(VendorBuild, HardwareModeRecordsAndEventsIntoVornDump) {
    vorn_sim::SessionConfig config;
    config.seed = 5;
    config.code_segment = 1; // a known segment: hardware mode
    vorn_sim::SyntheticSession session(config);
    std::vector<std::vector<uint8_t>> payloads;
    for (int i = 0; i < kFrames; ++i) payloads.push_back(session.NextPacket());
    const std::string dump = DumpBoth(session.Snapshot(), TABLE_END_FLAG, [&](const std::string& device, vorn_sim_card_t*) {
        vorn_firmware::HardwareFeed feed(device);
        feed.SetInstruments(session);
        int records = 0;
        for (size_t i = 0; i < payloads.size(); ++i) {
            if (i == 100) { EXPECT_TRUE(feed.Card().PutEvent(config.first_seqno + 100, 1)); }
            records += feed.Deliver(payloads[i]);
        }
        EXPECT_EQ(kFrames, records);
    });
    EXPECT_EQ(size_t(1 + 2 * kFrames), LinesWith(dump).size()) << dump.substr(0, 2000);
}
