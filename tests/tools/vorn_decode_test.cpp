// The tools against the library: a capture replayed by vorn-replay or decoded by vorn-decode
// gives exactly the updates of the same frames fed directly, and vorn-dump's CSV and JSON read
// back into those updates.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include "card_rows.h"
#include "connector_harness.h"
#include "exchange_time.h"
#include "pcap_writer.h"
#include "child_process.h"
#include "synthetic_session.h"
#include "udp_view.h"
#include "update_rows.h"

using namespace vorn_test;

namespace {

constexpr int kFrames = 300;
const std::map<std::string, std::string> kConfig = {{"insts", "all"}, {"options", "recv"}, {"log_level", "7"}};

std::string DirectCsv(const std::vector<std::vector<uint8_t>>& frames, const std::string& dir,
                      const std::string& snapshot) {
    std::map<std::string, std::string> config = kConfig;
    config["snapshot"] = snapshot;
    return CardCsv(frames, config, dir);
}

} // namespace

TEST(VornReplay, RefusesAMissingDeviceUnlessAskedToCreateItAndAFullCardNobodyReads) {
    ConnectorRun run; // for its directory
    const std::string capture = run.Dir() + "/one.pcap";
    ASSERT_TRUE(vorn_sim::WritePcap(capture, {std::vector<uint8_t>(64, 1)}));
    const std::string device = "vtt_missing" + std::to_string(getpid()), log = run.Dir() + "/replay.log";
    EXPECT_EQ(1, WaitExit(Spawn({VORN_REPLAY_BIN, "--device", device, capture}, log, log), std::chrono::seconds(20)));
    EXPECT_EQ(0, WaitExit(Spawn({VORN_REPLAY_BIN, "--device", device, "--create", "--overwrite", capture}, log, log),
                          std::chrono::seconds(20)))
        << ReadFile(log);
    vorn_sim_card_t* card = vorn_sim_open(device.c_str());
    ASSERT_NE(nullptr, card);
    EXPECT_EQ(1u, vorn_sim_backlog(card, 0));
    vorn_sim_close(card);

    // Nobody reads the card: once its ring is full the replay ends with a message, not a hang.
    const std::string many = run.Dir() + "/many.pcap";
    ASSERT_TRUE(vorn_sim::WritePcap(
        many, std::vector<std::vector<uint8_t>>(VORN_SIM_RING_CHUNKS + 100, std::vector<uint8_t>(64, 1))));
    const std::string out = run.Dir() + "/full.out", err = run.Dir() + "/full.err";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, WaitExit(Spawn({VORN_REPLAY_BIN, "--device", device, many}, out, err), std::chrono::seconds(20)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15)); // its 1 s wait, not the 20 s
    // One-chunk frames: the ring keeps one chunk free and still holds the frame put before.
    EXPECT_EQ(0u, ReadFile(out).rfind("frames " + std::to_string(VORN_SIM_RING_CHUNKS - 2) + ",", 0)) << ReadFile(out);
    const std::string full = device + " port 0 is full (2 MiB) and nobody has taken a frame for 1 s";
    EXPECT_EQ(1u, CountOf(ReadFile(err), full)) << ReadFile(err);
    vorn_sim_remove(device.c_str());

    // --udp takes an IPv4 address and a port, and no device: usage errors that name it.
    for (const std::vector<std::string>& argv : {std::vector<std::string>{VORN_REPLAY_BIN, "--udp", "localhost:1", capture},
                                                 {VORN_REPLAY_BIN, "--udp", "127.0.0.1:0", capture},
                                                 {VORN_REPLAY_BIN, "--udp", "127.0.0.1:9", "--device", "x", capture}}) {
        EXPECT_EQ(2, WaitExit(Spawn(argv, out, err), std::chrono::seconds(20)));
        EXPECT_NE(std::string::npos, ReadFile(err).find("--udp")) << ReadFile(err);
    }
}

constexpr int32_t kTradeDate = 20261216;

constexpr uint64_t kSessionStartNs = 1797422400ULL * 1000000000ULL; // noon UTC of the trade date, in ns

// An encrypted session, its frames mixed with frames of two other sources (3 and 1) and one ARP frame;
// `segment` -1 encrypts under the sample cipher (software mode), 0..2 under that known segment.
struct DecodeDay { std::string snapshot; std::vector<std::vector<uint8_t>> frames; };

DecodeDay MakeDecodeDay(const std::string& dir, int32_t lastSeqno = 0, int32_t tradeDate = kTradeDate,
                        int segment = -1) {
    vorn_sim::SessionConfig config;
    config.seed = 11;
    config.encrypted = true;
    config.code_segment = segment;
    vorn_sim::SyntheticSession session(config);
    vorn_sim::SnapshotWriter writer = session.Snapshot();
    writer.SetLastSeqNo(lastSeqno);
    writer.SetTradeDate(tradeDate);
    DecodeDay day{dir + "/day.bin", {}};
    EXPECT_TRUE(writer.WriteFile(day.snapshot));
    const std::vector<uint8_t> payload(40, 7);
    for (int i = 0; i < kFrames; ++i) {
        day.frames.push_back(session.NextFrame());
        if (i % 100 == 50) day.frames.push_back(vorn_sim::MakeFrame("10.0.0.9", "239.3.42.1", 30001, payload));
    }
    day.frames.push_back(vorn_sim::MakeFrame("10.0.0.5", "239.3.42.1", 30002, payload));
    std::vector<uint8_t> arp(60, 0);
    arp[12] = 0x08, arp[13] = 0x06;
    day.frames.push_back(arp);
    return day;
}

struct DecodeResult { int code; std::string out, err; };

DecodeResult RunDecode(const std::string& dir, const std::string& capture, const std::string& snapshot,
                       std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {VORN_DECODE_BIN, capture,  "--snapshot",    snapshot,           "--out",
                                     dir + "/rows.csv", "--options", "recv", "--library-log", dir + "/library.txt"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    const int code = WaitExit(Spawn(argv, dir + "/decode.out", dir + "/decode.err"), std::chrono::seconds(60));
    return {code, ReadFile(dir + "/rows.csv"), ReadFile(dir + "/decode.err")};
}

std::string Figure(const std::string& summary, const std::string& name) {
    const std::vector<std::string> lines = LinesWith(summary, "  " + name + " ");
    if (lines.empty()) return "<no line " + name + ">";
    const size_t at = lines[0].find_first_not_of(' ', lines[0].find(name) + name.size());
    return at == std::string::npos ? "" : lines[0].substr(at);
}

TEST(VornDecode, EveryCaptureFormGivesTheUpdatesOfTheFramesFedDirectly) {
    ConnectorRun scratch; // for its directory
    const std::string dir = scratch.Dir();
    const DecodeDay day = MakeDecodeDay(dir);
    const std::string direct = DirectCsv(day.frames, dir, day.snapshot);
    using vorn_sim::CaptureLink;
    const vorn_sim::CaptureForm kForms[] = {{CaptureLink::Ethernet, false, 65535}, {CaptureLink::Ethernet, true, 65535},
                                            {CaptureLink::LinuxSll, false, 65535}, {CaptureLink::LinuxSll2, true, 65535},
                                            {CaptureLink::RawIp, false, 65535}}; // true: pcapng in nanoseconds
    DecodeResult result;
    const std::string capture = dir + "/day.cap";
    for (const auto& form : kForms) {
        SCOPED_TRACE(static_cast<int>(form.link) * 2 + form.pcapng);
        ASSERT_TRUE(vorn_sim::WriteCapture(capture, day.frames, form, kSessionStartNs, 1500));
        result = RunDecode(dir, capture, day.snapshot);
        ASSERT_EQ(0, result.code) << result.err;
        EXPECT_EQ(direct, result.out);
    }
    // The summary counts what the capture holds (raw IP has no ARP, nor any other IP packet).
    EXPECT_EQ((std::vector<std::string>{std::to_string(kFrames + 5), std::to_string(kFrames), "4",
                                        "0 truncated by the capture's snaplen, 1 not Ethernet/IPv4/UDP, 0 too long",
                                        std::to_string(2 * kFrames) + " to " + dir + "/rows.csv"}),
              (std::vector<std::string>{Figure(result.err, "frames read"), Figure(result.err, "frames of the feed"),
                                        Figure(result.err, "frames of other sources"),
                                        Figure(result.err, "frames skipped"), Figure(result.err, "updates written")}));
    EXPECT_EQ(1u, LinesWith(result.err, "    10.0.0.9:30001 3").size() * LinesWith(result.err, "    10.0.0.5:30002 1").size())
        << result.err;
    EXPECT_EQ(std::string::npos, result.err.find("warning:")) << result.err;

    // Frames cut by the snaplen are skipped and named; the exit code says so unless allowed.
    constexpr uint32_t kSnaplen = 120;
    std::vector<std::vector<uint8_t>> whole;
    for (const auto& frame : day.frames)
        if (frame.size() <= kSnaplen) whole.push_back(frame);
    const std::string cut = std::to_string(day.frames.size() - whole.size());
    const std::string wholeCsv = DirectCsv(whole, dir, day.snapshot);
    ASSERT_TRUE(LinesWith(wholeCsv).size() > 100u && cut != "0");
    ASSERT_TRUE(vorn_sim::WriteCapture(capture, day.frames, {CaptureLink::Ethernet, false, kSnaplen}, kSessionStartNs,
                                       1500));
    const DecodeResult strict = RunDecode(dir, capture, day.snapshot);
    EXPECT_EQ(3, strict.code) << strict.err;
    EXPECT_EQ(0u, Figure(strict.err, "frames skipped").rfind(cut + " truncated by the capture's snaplen", 0));
    EXPECT_EQ(1u, CountOf(strict.err, "warning: " + cut + " frames were cut by the capture's snaplen")) << strict.err;
    const DecodeResult allowed = RunDecode(dir, capture, day.snapshot, {"--allow-truncated"});
    EXPECT_EQ(0, allowed.code) << allowed.err;
    EXPECT_EQ(wholeCsv, allowed.out);

    // A hardware-mode day decodes in software all the same (only its encrypted bytes differ).
    for (int segment = 0; segment < 3; ++segment) {
        SCOPED_TRACE(segment);
        const DecodeDay hardware = MakeDecodeDay(dir, 0, kTradeDate, segment);
        ASSERT_NE(day.frames, hardware.frames) << "the captures should differ in their encrypted bytes";
        ASSERT_TRUE(vorn_sim::WriteCapture(capture, hardware.frames, {}, kSessionStartNs, 1500));
        const DecodeResult result = RunDecode(dir, capture, hardware.snapshot);
        ASSERT_EQ(0, result.code) << result.err;
        EXPECT_EQ(direct, result.out);
        EXPECT_EQ(1u, CountOf(ReadFile(dir + "/library.txt"),
                              "work mode software: work_mode = software, although the code segment is a known one."));
    }
}

// China Standard Time, checked against the C library's calendar; kNoTime where no time is.
TEST(ExchangeTime, RecordsReadAsChinaStandardTime) {
    // day: version 2's trading day, version 1's trade date; clock: version 1's time text (2 takes seconds)
    const struct { const char *day, *clock; int64_t seconds; int32_t msec; bool readable; } kCases[] = {
                  {"20261216", "09:30:00", 34200, 86, true},  {"20240229", "23:59:59", 86399, 999, true},
                  {"19700101", "00:00:00", 0, 0, true},       {"20230229", "09:30:00", 34200, 0, false},
                  {"2026121", "09:30:00", 34200, 0, false},   {"2026121x", "9:30:00", 34200, 0, false},
                  {"20261216", "24:00:00", 86401, 0, false},  {"20261216", "09:3:00", -1, 0, false},
                  {"20261216", "09:30:0x", 34200, 1000, false}, {"20261216", "09:30:00", 34200, -1, false}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.day) + " " + c.clock);
        struct tm wall {};
        strptime(c.day, "%Y%m%d", &wall);
        const int64_t expected = c.readable
                                     ? ((timegm(&wall) + c.seconds - 8 * 3600) * 1000 + c.msec) * int64_t{1000000}
                                     : vorn_tools::kNoTime;
        VornCffexMdType v2{};
        memcpy(v2.trading_day, c.day, strlen(c.day));
        v2.UpdateTime = c.seconds, v2.update_msec = c.msec;
        MarketDepthUpdate v1{};
        memcpy(v1.UpdateTime, c.clock, strlen(c.clock));
        v1.UpdateMillisec = c.msec;
        vorn_tools::RecordClock clock(atoi(c.day));
        EXPECT_EQ(expected, vorn_tools::RecordClock::EventNsOfWall(clock.WallMs(2, &v2)));
        EXPECT_EQ(expected, vorn_tools::RecordClock::EventNsOfWall(clock.WallMs(1, &v1)));
    }
    // An unreadable time is the CSV's empty value and JSON's null.
    for (const auto format : {vorn_tools::RowFormat::Csv, vorn_tools::RowFormat::Json}) {
        char* text = nullptr;
        size_t size = 0;
        FILE* out = open_memstream(&text, &size);
        const VornCffexMdType unreadable{};
        vorn_tools::RowWriter(out, format, true, kTradeDate).Write(2, &unreadable, -123);
        fclose(out);
        const std::string row = text, end = format == vorn_tools::RowFormat::Csv ? ",-123,\n" : ":-123,\"ts_event\":null}\n";
        EXPECT_EQ(end, row.substr(row.size() - std::min(row.size(), end.size()))) << row;
        free(text);
    }
}

TEST(VornDecode, SnapshotAheadOfTheCaptureAndOfAnotherDayIsWarnedAbout) {
    ConnectorRun scratch;
    const std::string dir = scratch.Dir();
    const DecodeDay day = MakeDecodeDay(dir, 100000, 20261215);
    const std::string capture = dir + "/day.pcap";
    ASSERT_TRUE(vorn_sim::WriteCapture(capture, day.frames, {}, kSessionStartNs, 1500));
    const DecodeResult result = RunDecode(dir, capture, day.snapshot);
    EXPECT_EQ(0, result.code) << result.err;
    EXPECT_EQ("0 to " + dir + "/rows.csv", Figure(result.err, "updates written"));
    EXPECT_EQ((std::vector<std::string>{
                  "warning: the snapshot's last sequence number 100000 is at or beyond the capture's first packet 1: "
                  "packets up to it are skipped as already known",
                  "warning: the snapshot's trade date 20261215 differs from the capture's date 20261216",
                  "warning: nothing was written: see the warnings above, --insts and the library output"}),
              LinesWith(result.err, "warning:"));

    ASSERT_EQ(0, chmod(day.snapshot.c_str(), 0664));
    const DecodeResult refused = RunDecode(dir, capture, day.snapshot);
    EXPECT_EQ(1, refused.code);
    const std::string reason = "snapshot " + day.snapshot + " is writable by group or others (mode 664), refused.";
    EXPECT_EQ(1u, CountOf(refused.err, reason)) << refused.err;
}

// Doubles take the price fast path where they can, in the general shortest form all the same.
TEST(UpdateRows, DoublesAreWrittenInTheirShortestFormThatReadsBack) {
    std::vector<double> values = {0.0, -0.0, -0.001, 0.5, 100000.0, 120000.0, -100000.0, 1e9 - 0.001, 1e9,
                                  999999999.999, 108.245, 1601210240.5, 1.7976931348623157e308, 5e-324, 0.1 + 0.2};
    uint64_t seed = 7;
    for (int i = 0; i < 20000; ++i) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        const int64_t ticks = static_cast<int64_t>(seed >> 40) - (1 << 23);
        values.push_back(ticks * 0.2 + 4000.0);                // as the library rebuilds prices
        values.push_back(static_cast<double>(ticks) / 1000.0); // exact thousandths
        values.push_back(static_cast<double>(ticks) * 1000.0);
        double bits;
        memcpy(&bits, &seed, sizeof bits);
        if (std::isfinite(bits)) values.push_back(bits);
    }
    for (const double value : values) {
        MarketDepthUpdate record{};
        record.LastPrice = value;
        std::string row;
        vorn_tools::AppendRow(vorn_tools::RowFormat::Csv, 1, &record, row);
        char expected[64];
        *std::to_chars(expected, expected + sizeof expected, value).ptr = '\0';
        // version, inst_no, trading_day, instrument_id, update_time, update_msec, volume, last_price
        size_t at = 0;
        for (int column = 0; column < 7; ++column) at = row.find(',', at) + 1;
        EXPECT_EQ(expected, row.substr(at, row.find(',', at) - at)) << value;
    }
}

TEST(UdpView, EveryCutOfAFrameStaysInBounds) {
    const std::vector<uint8_t> full = vorn_sim::MakeFrame("10.0.0.5", "239.3.42.1", 30001, std::vector<uint8_t>(50, 9));
    for (size_t len = 0; len <= full.size(); ++len) {
        const std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
        vorn_tools::UdpView view;
        const bool read = vorn_tools::ReadUdp(cut.data(), cut.size(), view);
        EXPECT_EQ(len >= vorn_sim::kFrameHeadersSize, read) << len;
        if (!read) continue;
        EXPECT_EQ(std::make_tuple(0x0a000005u, 30001, len - vorn_sim::kFrameHeadersSize, cut.data() + vorn_sim::kFrameHeadersSize),
                  std::make_tuple(view.src_ip, int{view.dst_port}, size_t{view.payload_len}, view.payload)) << len;
    }
}
