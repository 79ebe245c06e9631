// vorn-replay and vorn-dump with the library: a replayed capture and a dumped session give the
// depth the synthetic session says each packet leaves behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <map>

#include "FpgaStruct.h"
#include "child_process.h"
#include "connector_harness.h"
#include "pcap_writer.h"
#include "synthetic_session.h"

using namespace vorn_test;

namespace {

constexpr int kFrames = 300;
const std::map<std::string, std::string> kConfig = {{"insts", "all"}, {"options", "recv"}, {"log_level", "7"}};

// An encrypted session (software mode) with today's snapshot written, and the depth each
// packet must leave for its instrument.
struct Session {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<depth_market_data_field> expected;
    Session() {
        vorn_sim::SessionConfig config;
        config.seed = 11;
        config.encrypted = true;
        vorn_sim::SyntheticSession session(config);
        EXPECT_TRUE(WriteTodaySnapshot(session.Snapshot()));
        for (int i = 0; i < kFrames; ++i) {
            frames.push_back(session.NextFrame());
            expected.push_back(session.Expected(session.LastKey()));
        }
    }
};

int64_t Milli(double price) { return price >= EMPTY_PRICE ? 0 : llround(price * 1000.0); }

// The value after `"name":` in a JSON line, or the cell of column `name` in a CSV row.
std::string JsonValue(const std::string& line, const std::string& name) {
    const size_t at = line.find("\"" + name + "\":");
    if (at == std::string::npos) return "";
    const size_t begin = at + name.size() + 3;
    return line.substr(begin, line.find_first_of(",}", begin) - begin);
}
std::string CsvCell(const std::string& header, const std::string& row, const std::string& name) {
    std::map<std::string, std::string> cells;
    size_t h = 0, r = 0;
    while (h <= header.size() && r <= row.size()) {
        const size_t hEnd = std::min(header.find(',', h), header.size()), rEnd = std::min(row.find(',', r), row.size());
        cells[header.substr(h, hEnd - h)] = row.substr(r, rEnd - r);
        h = hEnd + 1;
        r = rEnd + 1;
    }
    return cells[name];
}

bool WaitStarted(const ConnectorRun& run, pid_t pid) {
    for (int i = 0; i < 20000 && Running(pid); ++i, usleep(1000))
        if (vorn_sim_read_reg(run.Card(), SOFT_HW_SW) == 1) return true;
    return false;
}

} // namespace

TEST(VornReplay, CaptureGivesTheSessionsDepth) {
    const Session session;
    ConnectorRun run(kConfig);
    const std::string capture = run.Dir() + "/session.pcap", out = run.Dir() + "/replay.out";
    ASSERT_TRUE(vorn_sim::WritePcap(capture, session.frames));
    ASSERT_EQ(0, run.Start());
    EXPECT_EQ(0, WaitExit(Spawn({VORN_REPLAY_BIN, "--device", run.Device(), capture}, out, out),
                          std::chrono::seconds(30))) << ReadFile(out);
    ASSERT_TRUE(run.Drain());
    EXPECT_EQ(0, run.Stop());
    EXPECT_NE(std::string::npos, ReadFile(out).find("frames " + std::to_string(kFrames) + ",")) << ReadFile(out);
    const std::vector<VornCffexMdType> got = V2Records();
    ASSERT_EQ(size_t(kFrames), got.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(+session.expected[i].volume, +got[i].volume) << i;
        EXPECT_EQ(Milli(session.expected[i].bid1_price), +got[i].bid1_price) << i;
    }
}

// CSV of both versions on standard output (the log echo goes to standard error); with --json
// --v2 --idle-exit, version-2 JSON lines into a file, ending when idle.
TEST(VornDump, CsvAndJsonCarryTheSessionsDepth) {
    const Session session;
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "json" : "csv");
        ConnectorRun exchange(kConfig); // the card and configuration; the connector runs in vorn-dump
        const std::string out = exchange.Dir() + "/dump.out", err = exchange.Dir() + "/dump.err";
        const pid_t dump = json ? Spawn({VORN_DUMP_BIN, "--json", "--v2", "--idle-exit", "2", "--out", out,
                                         exchange.ConfigPath()}, exchange.Dir() + "/dump.stdout", err)
                                : Spawn({VORN_DUMP_BIN, exchange.ConfigPath()}, out, err);
        ASSERT_TRUE(WaitStarted(exchange, dump)) << ReadFile(err);
        for (const auto& frame : session.frames) exchange.Put(0, frame);
        if (!json) {
            EXPECT_TRUE(exchange.Drain());
            kill(dump, SIGTERM);
        }
        EXPECT_EQ(0, WaitExit(dump, std::chrono::seconds(30))) << ReadFile(err);
        std::vector<std::string> rows = LinesWith(ReadFile(out));
        const std::string header = json || rows.empty() ? "" : rows.front();
        if (!json) rows.erase(rows.begin());
        ASSERT_EQ(size_t(json ? kFrames : 2 * kFrames), rows.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            const depth_market_data_field& md = session.expected[json ? i : i / 2];
            const bool v1 = !json && i % 2 == 1;
            const auto cell = [&](const char* name) { return json ? JsonValue(rows[i], name) : CsvCell(header, rows[i], name); };
            EXPECT_EQ(v1 ? "1" : "2", cell("version")) << rows[i];
            EXPECT_EQ(std::to_string(md.volume), cell("volume")) << rows[i];
            EXPECT_EQ(std::string(md.instrument_id), json ? cell("instrument_id").substr(1, strlen(md.instrument_id))
                                                           : cell("instrument_id")) << rows[i];
            if (v1) EXPECT_EQ(double{md.ask1_price}, strtod(cell("ask1_price").c_str(), nullptr)) << rows[i];
            else EXPECT_EQ(std::to_string(Milli(md.ask1_price)), cell("ask1_price")) << rows[i];
        }
    }
}
