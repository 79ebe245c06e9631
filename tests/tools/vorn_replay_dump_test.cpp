// vorn-replay and vorn-dump with the library: a capture replayed onto the card that vorn-dump
// has open gives the rows vorn-decode writes for the same capture, byte for byte, in CSV on
// standard output (the log echo on standard error) and in JSON lines into a file, and the
// depth the synthetic session says each packet leaves behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include "FpgaStruct.h"
#include "child_process.h"
#include "connector_harness.h"
#include "pcap_writer.h"

using namespace vorn_test;

namespace {

constexpr int kFrames = 300;

TEST(VornReplayAndDump, RowsAreVornDecodesAndTheSessionsDepth) {
    vorn_sim::SessionConfig config;
    config.seed = 11;
    config.encrypted = true; // software mode, the day's code segment runs
    vorn_sim::SyntheticSession session(config);
    ASSERT_TRUE(WriteTodaySnapshot(session.Snapshot()));
    std::vector<std::vector<uint8_t>> frames;
    std::vector<int32_t> volumes;
    for (int i = 0; i < kFrames; ++i) {
        frames.push_back(session.NextFrame());
        volumes.push_back(session.Expected(session.LastKey()).volume);
    }
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "json" : "csv");
        ConnectorRun exchange({{"insts", "all"}, {"options", "recv"}, {"log_level", "7"}}); // card and configuration
        const std::string dir = exchange.Dir(), capture = dir + "/session.pcap", out = dir + "/dump.out",
                          err = dir + "/dump.err", replayed = dir + "/replay.out", decoded = dir + "/decode.out";
        ASSERT_TRUE(vorn_sim::WritePcap(capture, frames));
        ASSERT_TRUE(session.Snapshot().WriteFile(dir + "/snapshot.bin"));
        std::vector<std::string> dump = {VORN_DUMP_BIN, "--idle-exit", "2"};
        if (json) dump.insert(dump.end(), {"--json", "--v2", "--quiet", "--out", out});
        dump.push_back(exchange.ConfigPath());
        const pid_t pid = Spawn(dump, json ? dir + "/dump.stdout" : out, err);
        bool started = false;
        for (int i = 0; i < 20000 && Running(pid) && !started; ++i, usleep(1000))
            started = vorn_sim_read_reg(exchange.Card(), SOFT_HW_SW) == 1;
        ASSERT_TRUE(started) << ReadFile(err);
        EXPECT_EQ(0, WaitExit(Spawn({VORN_REPLAY_BIN, "--device", exchange.Device(), capture}, replayed, replayed),
                              std::chrono::seconds(30))) << ReadFile(replayed);
        EXPECT_EQ(1u, LinesWith(ReadFile(replayed), "frames " + std::to_string(kFrames) + ",").size()) << ReadFile(replayed);
        EXPECT_EQ(0, WaitExit(pid, std::chrono::seconds(30))) << ReadFile(err);
        std::vector<std::string> decode = {VORN_DECODE_BIN, capture, "--snapshot", dir + "/snapshot.bin", "--options",
                                           "recv", "--out", decoded, "--no-library-log", "--no-progress"};
        if (json) decode.insert(decode.end(), {"--format", "json", "--v2"});
        ASSERT_EQ(0, WaitExit(Spawn(decode, dir + "/decode.stdout", dir + "/decode.err"), std::chrono::seconds(30)));
        const std::string rows = ReadFile(out);
        EXPECT_EQ(ReadFile(decoded), rows);
        std::vector<std::string> lines; // version 2
        for (const std::string& line : LinesWith(rows))
            if (line.rfind(json ? "{\"version\":2," : "2,", 0) == 0) lines.push_back(line);
        ASSERT_EQ(size_t(kFrames), lines.size()) << rows.substr(0, 2000);
        for (size_t i = 0; i < lines.size(); ++i) { // the seventh value of a version-2 row is the volume
            size_t at = 0;
            for (int column = 0; column < 6; ++column) at = lines[i].find(',', at) + 1;
            const std::string volume = lines[i].substr(at, lines[i].find(',', at) - at);
            EXPECT_EQ(std::to_string(volumes[i]), json ? volume.substr(volume.find(':') + 1) : volume) << lines[i];
        }
    }
}

} // namespace
