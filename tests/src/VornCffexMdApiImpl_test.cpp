// Start-up through init_connector on the simulated card: configuration, snapshot, card set-up,
// register traffic, version handshake, CPU binding. ctest runs each case in its own process.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <fstream>
// GCC 12 reports a false maybe-uninitialized inside <regex> when built with the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>

#include "hardware_snapshot.h"

using namespace vorn_test;

namespace {

using Keys = std::map<std::string, std::string>;
using Writes = std::vector<std::pair<uint32_t, uint32_t>>;

const std::string kFailLine = "IMdToAppApi VornStart is fail, [-1]. \n"; // standard output's last line
const char* const kFpgaFile = "VornCffexMdApiImpl_fpga.cpp";

// Whether `log` holds a whole entry at level `tag` from `file` ("": any) whose text after "file:line]" is `rest`.
bool HasLine(const std::string& log, const std::string& tag, const std::string& rest, const std::string& file = "") {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    auto escape = [](const std::string& text) { return std::regex_replace(text, special, R"(\$&)"); };
    const std::regex line("\x1b\\[\\d\\d;1m \\[" + tag + "\\] \\[\\d{8}\\]\\[\\d\\d:\\d\\d:\\d\\d\\]\\[\\d+\\] \\[" +
                          (file.empty() ? std::string("[\\w.]+") : escape(file)) + ":\\d+\\]" + escape(rest) +
                          "\x1b\\[0m \n");
    return std::regex_search(log, line);
}

void WriteSessionSnapshot() { ASSERT_TRUE(WriteTodaySnapshot(vorn_sim::SyntheticSession().Snapshot())); }

void ExpectFailLineLast(const std::string& out) { EXPECT_EQ(out.size() - kFailLine.size(), out.rfind(kFailLine)) << out; }

TEST(Startup, NullOrUnreadableConfiguration) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, init_connector(nullptr)); // silently
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    ConnectorRun run;
    ASSERT_EQ(0, unlink(run.ConfigPath().c_str()));
    EXPECT_EQ(-1, run.Start());
    EXPECT_EQ("ReadConfig is " + run.ConfigPath() + " failed \nInit, _ReadConfig failed \n" + kFailLine, run.Stdout());
    EXPECT_EQ("", run.LogText());
}

TEST(Startup, LongConfigurationPathIsCutTo255) {
    ConnectorRun run; // for its directory
    const std::string dir = run.Dir() + "/" + std::string(120, 'd');
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    const std::string file = dir + "/" + std::string(255 - dir.size() - 1, 'f');
    std::ofstream(file) << "[config]\ndevice = nodev\nlog_path = " << run.Dir() << "\ncounters_path = " << run.Dir() << "\n";
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, init_connector((file + "/" + std::string(44, 'z')).c_str()));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(HasLine(out, "D", " [_ReadConfig] device[nodev]")) << out;
}

TEST(Startup, LogLevelZeroSilencesTheLog) {
    WriteSessionSnapshot();
    ConnectorRun run(Keys{{"log_level", "0"}});
    ASSERT_EQ(0, run.Start());
    EXPECT_EQ(0, run.Stop());
    EXPECT_EQ(1u, vorn_sim_read_reg(run.Card(), SOFT_HW_SW));
    EXPECT_EQ(std::string::npos, run.Stdout().find('\x1b'));
    EXPECT_EQ("", run.LogText());
}

constexpr unsigned kWrongDevice = 0, kNoSnapshot = ~0u;

// inject: a VORN_SIM_FAIL_ step, kWrongDevice or kNoSnapshot; lines: tag|file ("": any)|text after file:line],
// %d device, %p snapshot path.
struct Failure { const char* name; unsigned inject; std::vector<const char*> lines; };

std::string Filled(std::string text, const std::string& device, const std::string& path) {
    for (const auto& [mark, value] : {std::pair<std::string, std::string>{"%d", device}, {"%p", path}})
        for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + value.size()))
            text.replace(at, 2, value);
    return text;
}

class StartupFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(StartupFailure, FailsWithTheStepLines) {
    const Failure& c = GetParam();
    WriteSessionSnapshot();
    const std::string path = vorn_sim::SnapshotWriter::TodayPath();
    if (c.inject == kNoSnapshot) { ASSERT_EQ(0, unlink(path.c_str())); }
    const std::string missing = "nodev_" + std::to_string(getpid());
    ConnectorRun run(c.inject == kWrongDevice ? Keys{{"device", missing}} : Keys{});
    const std::string device = c.inject == kWrongDevice ? missing : run.Device();
    if (c.inject != kNoSnapshot) vorn_sim_fail_next(run.Card(), c.inject);
    EXPECT_EQ(-1, run.Start());
    if (c.inject != kWrongDevice) { EXPECT_EQ(Vorn_R10::COUNTERS_START_FAILED, ReadCounters(run).header.startup.run_state); }
    const std::string log = run.LogText();
    for (const std::string line : c.lines) {
        const size_t bar = line.find('|'), bar2 = line.find('|', bar + 1);
        EXPECT_TRUE(HasLine(log, line.substr(0, bar), Filled(line.substr(bar2 + 1), device, path),
                            line.substr(bar + 1, bar2 - bar - 1))) << line << "\n" << log;
    }
    EXPECT_TRUE(run.RegisterWrites().empty());
    ExpectFailLineLast(run.Stdout());
}

INSTANTIATE_TEST_SUITE_P(Card, StartupFailure, ::testing::Values(
        Failure{"MissingSnapshot", kNoSnapshot,
                {"I|VornCffexMdApiImpl_snapshot.cpp| [LoadFromFile], filename is %p.",
                 "E|| [LoadSnaphot], load_from_file is failed. file name is %p ."}},
        Failure{"WrongDevice", kWrongDevice,
                {"E||[VornStart] get [%d] handle failed, no simulated ExaNIC device '%d' (create it with vorn-card create %d)"}},
        Failure{"Handle", VORN_SIM_FAIL_HANDLE,
                {"E||[VornStart] get [%d] handle failed, exanic_acquire_handle(%d): injected failure"}},
        Failure{"Registers", VORN_SIM_FAIL_REGISTERS,
                {"E|exanic_reg.cpp|[fpga_init] get devkit registers failed, exanic_get_devkit_registers(%d): injected failure",
                 "E||[VornStart] get [%d] reg init failed, exanic_get_devkit_registers(%d): injected failure"}},
        Failure{"Rx0", VORN_SIM_FAIL_RX0,
                {"E|exanic_dma.cpp|[exanic_dma0_init] get tcp rx buffer failed, exanic_acquire_rx_buffer(%d, port 0): injected failure",
                 "E||[VornStart] get [%d] dma0 init failed, exanic_acquire_rx_buffer(%d, port 0): injected failure"}},
        Failure{"Rx1", VORN_SIM_FAIL_RX1,
                {"E|exanic_dma.cpp|[exanic_dma1_init] get tcp rx buffer failed, exanic_acquire_rx_buffer(%d, port 1): injected failure",
                 "E||[VornStart] get [%d] dma1 init failed, exanic_acquire_rx_buffer(%d, port 1): injected failure"}}),
    [](const ::testing::TestParamInfo<Failure>& info) { return std::string(info.param.name); });

// Registers ver_compile_date and check_soft_ver; the (tag, text after "[_CheckVersion] ") lines and absent texts.
struct Handshake { const char* name; uint32_t firmware, verdict; std::vector<std::pair<const char*, const char*>> lines; std::vector<const char*> absent; };

class StartupHandshake : public ::testing::TestWithParam<Handshake> {};

const char* const kBothChecked = "hardware and soft version check is success.";

// Start-up goes on only after both checks passed; the software version is written whatever the outcome.
TEST_P(StartupHandshake, Outcome) {
    const Handshake& c = GetParam();
    const bool passes = c.lines.back().second == kBothChecked;
    WriteSessionSnapshot();
    ConnectorRun run;
    vorn_sim_write_reg(run.Card(), ver_compile_date, c.firmware);
    vorn_sim_write_reg(run.Card(), check_soft_ver, c.verdict);
    EXPECT_EQ(passes ? 0 : -1, run.Start());
    const std::string out = run.Stdout(), log = run.LogText();
    char compared[96];
    snprintf(compared, sizeof compared, "str_it->second is 20250801, hwVersion is %x.", c.firmware);
    std::vector<std::pair<const char*, const char*>> lines = {
        {"I", "soft version, litte Endian 0x01010101."}, {"I", "soft version, big Endian 0x01010101."}, {"I", compared}};
    lines.insert(lines.end(), c.lines.begin(), c.lines.end());
    for (const auto& line : lines)
        EXPECT_TRUE(HasLine(log, line.first, std::string(" [_CheckVersion] ") + line.second, kFpgaFile)) << line.second << "\n" << log;
    for (const char* text : c.absent) EXPECT_EQ(std::string::npos, log.find(text)) << text;
    EXPECT_EQ(0x01010101u, vorn_sim_read_reg(run.Card(), SOFT_VERSION));
    EXPECT_EQ(!passes, HasLine(log, "E", " [VornStart] _CheckVersion failed")) << log;
    EXPECT_EQ(passes ? 1u : 0u, vorn_sim_read_reg(run.Card(), SOFT_HW_SW)); // a failure stops before the mode switch
    if (!passes) ExpectFailLineLast(out);
}

INSTANTIATE_TEST_SUITE_P(Versions, StartupHandshake, ::testing::Values(
        Handshake{"FirmwareEqual", 0x20250801u, 1, {{"I", "hardware version check is success."}, {"I", kBothChecked}}, {}},
        Handshake{"FirmwareNewer", 0x20260101u, 1, {{"I", kBothChecked}}, {}},
        // Firmware too old: both error lines, and the verdict (0 here) is never looked at.
        Handshake{"FirmwareOlder", 0x20250731u, 0, {{"E", "you will need to update your hardware version."},
                  {"E", "soft version 1.1.1.1, hwVersion is 20250801 > fpga hwVersion is 20250731."}},
                  {"hardware version check is success.", "soft version write is fail."}},
        Handshake{"VerdictNotTaken", 0x20250801u, 0, {{"I", "soft version write is fail."}}, {kBothChecked}},
        Handshake{"VerdictSoftwareTooOld", 0x20250801u, 2,
                  {{"I", "you will need to update your soft version."}, {"I", "iCheckRst == 2, soft  error."}}, {kBothChecked}},
        Handshake{"VerdictUnknown", 0x20250801u, 3, {{"I", "iCheckRst is 3 error."}}, {kBothChecked}}),
    [](const ::testing::TestParamInfo<Handshake>& info) { return std::string(info.param.name); });

// Snapshot -1: the session's (sample cipher, one channel), else known segment k (two channels) forced
// to software. The firmware forwards the raw feed (key type 3) and no instrument table is written.
class RegisterTraffic : public ::testing::TestWithParam<int> {};

TEST_P(RegisterTraffic, SoftwareModeStart) {
    const int segment = GetParam();
    ASSERT_TRUE(WriteTodaySnapshot(segment < 0 ? vorn_sim::SyntheticSession().Snapshot()
                                               : hw_test::HardwareSnapshot(segment, 4242)));
    ConnectorRun run(segment < 0 ? Keys{} : Keys{{"work_mode", "software"}});
    ASSERT_EQ(0, run.Start());
    EXPECT_EQ(0, run.Stop()); // the exit flag ends the loop and init_connector returns 0
    const std::string out = run.Stdout();
    const Writes expected = {{21, 1}, {21, 0}, {14, 0x0A000005u},   // source of channel A, 10.0.0.5
        {15, segment < 0 ? 0xC0A80102u : 0x0A000006u},               // channel B: its default, 192.168.1.2, or 10.0.0.6
        {16, 30001}, {17, segment < 0 ? 37110u : 30002u}, {18, 3}, {19, 0x5A}, {12, 20261216}, {23, 0x01010101u}, {20, 1}};
    EXPECT_EQ(expected, run.RegisterWrites());
    std::map<uint32_t, uint32_t> last(expected.begin(), expected.end());
    last[21] = 0; // the reset pulse ends at 0
    for (uint32_t reg = 12; reg < INST_TABLE_BASE + INST_TABLE_WORDS; reg = reg == 24 ? INST_TABLE_BASE : reg + 1)
        ASSERT_EQ(last.count(reg) ? last[reg] : 0u, vorn_sim_read_reg(run.Card(), reg)) << reg;
    const std::string log = run.LogText();
    EXPECT_TRUE(HasLine(log, "I", " [_SetRegIp] ipReg is [14], refIpAddr [10.0.0.5] .", kFpgaFile)) << log;
    EXPECT_TRUE(HasLine(log, "I", " [_SetRegPort] portReg is [16] refPort [30001] .", kFpgaFile)) << log;
    EXPECT_TRUE(HasLine(log, "D", "[set_fpga_reg] set_fpga_reg addr: 14, val: 167772165", "exanic_reg.cpp")) << log;
    EXPECT_TRUE(HasLine(log, "I", segment < 0 ? " [ChooseWorkMode] work mode software: the code segment is none the firmware decodes."
                                              : " [ChooseWorkMode] work mode software: work_mode = software, although the "
                                                "code segment is a known one.")) << log;
    EXPECT_EQ(std::string::npos, out.find("IMdToAppApi"));
}

INSTANTIATE_TEST_SUITE_P(Segments, RegisterTraffic, ::testing::Values(-1, 0, 1, 2), [](const ::testing::TestParamInfo<int>& info) {
    return info.param < 0 ? std::string("Cipher") : "ForcedOnKnown" + std::to_string(info.param);
});

struct Core { const char* name; int (*core)(int firstAllowed); const char* line; }; // core -2: no key; line tag|text, %d the core

class StartupCpu : public ::testing::TestWithParam<Core> {};

TEST_P(StartupCpu, BindingIsReportedAndStartupGoesOn) {
    WriteSessionSnapshot();
    cpu_set_t allowed;
    ASSERT_EQ(0, sched_getaffinity(0, sizeof allowed, &allowed));
    int firstAllowed = 0;
    while (!CPU_ISSET(firstAllowed, &allowed)) ++firstAllowed;
    const int core = GetParam().core(firstAllowed);
    ConnectorRun run(core == -2 ? Keys{} : Keys{{"cpucore", std::to_string(core)}});
    EXPECT_EQ(0, run.Start());
    EXPECT_EQ(0, run.Stop());
    const std::string line = Filled(GetParam().line + 2, std::to_string(core), ""), log = run.LogText();
    EXPECT_TRUE(HasLine(log, std::string(1, GetParam().line[0]), line)) << log;
    EXPECT_EQ(1u, LinesWith(log, "[_BindCpu]").size());
}

INSTANTIATE_TEST_SUITE_P(Cores, StartupCpu, ::testing::ValuesIn(std::vector<Core>{
    {"Absent", [](int) { return -2; }, "W| [_BindCpu] CPU[-1] exceed max procs."},
    {"Processors", [](int) { return get_nprocs(); }, "W| [_BindCpu] set CPU[%d] affinity failed\n"},
    {"AboveProcessors", [](int) { return get_nprocs() + 1; }, "W| [_BindCpu] CPU[%d] exceed max procs."},
    {"Allowed", [](int first) { return first; }, "I| [_BindCpu] set CPU[%d] affinity successful\n"}}),
    [](const ::testing::TestParamInfo<Core>& info) { return std::string(info.param.name); });

// A stop request ends the running connector, not the process's later ones.
TEST(Startup, ASecondConnectorRunsAfterTheFirstWasStopped) {
    WriteSessionSnapshot();
    for (int i = 0; i < 2; ++i) {
        ConnectorRun run;
        ASSERT_EQ(0, run.Start());
        ASSERT_TRUE(run.Drain()) << i;
        EXPECT_EQ(0, run.Stop());
    }
}

} // namespace
