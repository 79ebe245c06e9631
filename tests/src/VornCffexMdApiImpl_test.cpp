// Start-up through init_connector on the simulated card: the configuration file, today's
// snapshot, the card's set-up steps and register traffic, the version handshake and CPU binding. Each case needs a process of its own (the log and the card wrappers are process
// singletons); ctest runs them that way.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
// GCC 12 reports a false maybe-uninitialized inside <regex> when built with the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "connector_harness.h"
#include "synthetic_session.h"

using namespace vorn_test;

namespace {

using Keys = std::map<std::string, std::string>;

const std::string kFailLine = "IMdToAppApi VornStart is fail, [-1]. \n"; // standard output's last line
const char* const kFpgaFile = "VornCffexMdApiImpl_fpga.cpp";

// True when `log` holds a complete entry at level `tag` ("E", "W", "I", "D") logged from `file`
// (any file when empty) whose text after "file:line]" is `rest`, e.g. " [_BindCpu] CPU[-1] exceed max procs.".
bool HasLine(const std::string& log, const std::string& tag, const std::string& rest, const std::string& file = "") {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    auto escape = [](const std::string& text) { return std::regex_replace(text, special, R"(\$&)"); };
    const std::regex line("\x1b\\[\\d\\d;1m \\[" + tag + "\\] \\[\\d{8}\\]\\[\\d\\d:\\d\\d:\\d\\d\\]\\[\\d+\\] \\[" +
                          (file.empty() ? std::string("[\\w.]+") : escape(file)) + ":\\d+\\]" + escape(rest) +
                          "\x1b\\[0m \n");
    return std::regex_search(log, line);
}

void WriteSessionSnapshot() { ASSERT_TRUE(WriteTodaySnapshot(vorn_sim::SyntheticSession().Snapshot())); }

std::string WithDevice(std::string text, const std::string& device) {
    for (size_t at = text.find("%s"); at != std::string::npos; at = text.find("%s", at + device.size()))
        text.replace(at, 2, device);
    return text;
}

TEST(Startup, NullPathFailsSilently) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, init_connector(nullptr));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST(Startup, UnreadableConfigurationReportsOnStandardOutput) {
    ConnectorRun run;
    ASSERT_EQ(0, unlink(run.ConfigPath().c_str()));
    EXPECT_EQ(-1, run.Start());
    EXPECT_EQ("ReadConfig is " + run.ConfigPath() + " failed \nInit, _ReadConfig failed \n" + kFailLine,
              run.Stdout());
    EXPECT_EQ("", run.LogText());
}

// A 300-character path whose first 255 characters name the configuration file reads that file.
TEST(Startup, LongConfigurationPathIsCutTo255) {
    ConnectorRun run; // for its directory
    const std::string dir = run.Dir() + "/" + std::string(120, 'd');
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    const std::string file = dir + "/" + std::string(255 - dir.size() - 1, 'f');
    std::ofstream(file) << "[config]\ndevice = nodev\nlog_path = " << run.Dir() << "\ncounters_path = " << run.Dir()
                        << "\n";
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
    EXPECT_EQ(1u, vorn_sim_read_reg(run.Card(), 20));
    EXPECT_EQ(std::string::npos, run.Stdout().find('\x1b'));
    EXPECT_EQ("", run.LogText());
}

struct Failure {
    const char* name;
    unsigned inject;         // 0: the configured device does not exist
    const char* wrapperLine; // "file|text after file:line]", %s = device; "" when only the connector reports
    const char* connectorLine;
};

class StartupFailure : public ::testing::TestWithParam<Failure> {};

// Each failing step logs its line(s), writes no register and init_connector returns -1.
TEST_P(StartupFailure, FailsWithTheStepLines) {
    const Failure& c = GetParam();
    WriteSessionSnapshot();
    const std::string missing = "nodev_" + std::to_string(getpid());
    ConnectorRun run(c.inject ? Keys{} : Keys{{"device", missing}});
    const std::string device = c.inject ? run.Device() : missing;
    vorn_sim_fail_next(run.Card(), c.inject);
    EXPECT_EQ(-1, run.Start());
    const std::string log = run.LogText();
    const std::string wrapper = c.wrapperLine;
    if (!wrapper.empty()) {
        const size_t bar = wrapper.find('|');
        EXPECT_TRUE(HasLine(log, "E", WithDevice(wrapper.substr(bar + 1), device), wrapper.substr(0, bar))) << log;
    }
    EXPECT_TRUE(HasLine(log, "E", WithDevice(c.connectorLine, device))) << log;
    EXPECT_TRUE(run.RegisterWrites().empty());
    EXPECT_EQ(run.Stdout().size() - kFailLine.size(), run.Stdout().rfind(kFailLine));
}

INSTANTIATE_TEST_SUITE_P(
    Card, StartupFailure,
    ::testing::Values(
        Failure{"WrongDevice", 0, "",
                "[VornStart] get [%s] handle failed, no simulated ExaNIC device '%s' (create it with vorn-card create %s)"},
        Failure{"Handle", VORN_SIM_FAIL_HANDLE, "",
                "[VornStart] get [%s] handle failed, exanic_acquire_handle(%s): injected failure"},
        Failure{"Registers", VORN_SIM_FAIL_REGISTERS,
                "exanic_reg.cpp|[fpga_init] get devkit registers failed, exanic_get_devkit_registers(%s): injected failure",
                "[VornStart] get [%s] reg init failed, exanic_get_devkit_registers(%s): injected failure"},
        Failure{"Rx0", VORN_SIM_FAIL_RX0,
                "exanic_dma.cpp|[exanic_dma0_init] get tcp rx buffer failed, exanic_acquire_rx_buffer(%s, port 0): "
                "injected failure",
                "[VornStart] get [%s] dma0 init failed, exanic_acquire_rx_buffer(%s, port 0): injected failure"},
        Failure{"Rx1", VORN_SIM_FAIL_RX1,
                "exanic_dma.cpp|[exanic_dma1_init] get tcp rx buffer failed, exanic_acquire_rx_buffer(%s, port 1): "
                "injected failure",
                "[VornStart] get [%s] dma1 init failed, exanic_acquire_rx_buffer(%s, port 1): injected failure"}),
    [](const ::testing::TestParamInfo<Failure>& info) { return std::string(info.param.name); });

struct Handshake {
    const char* name;
    uint32_t firmware; // register 65
    uint32_t verdict;  // register 64
    int result;
    std::vector<std::pair<const char*, const char*>> lines; // (tag, text after "[_CheckVersion] ")
    std::vector<const char*> absent;
};

class StartupHandshake : public ::testing::TestWithParam<Handshake> {};

TEST_P(StartupHandshake, Outcome) {
    const Handshake& c = GetParam();
    WriteSessionSnapshot();
    ConnectorRun run;
    vorn_sim_write_reg(run.Card(), 65, c.firmware);
    vorn_sim_write_reg(run.Card(), 64, c.verdict);
    EXPECT_EQ(c.result, run.Start());
    if (c.result == 0) {
        EXPECT_EQ(0, run.Stop());
    }
    const std::string out = run.Stdout();
    const std::string log = run.LogText();
    char compared[96];
    snprintf(compared, sizeof compared, "str_it->second is 20250801, hwVersion is %x.", c.firmware);
    std::vector<std::pair<const char*, const char*>> lines = {
        {"I", "soft version, litte Endian 0x01010101."}, {"I", "soft version, big Endian 0x01010101."}, {"I", compared}};
    lines.insert(lines.end(), c.lines.begin(), c.lines.end());
    for (const auto& line : lines)
        EXPECT_TRUE(HasLine(log, line.first, std::string(" [_CheckVersion] ") + line.second, kFpgaFile)) << line.second << "\n" << log;
    for (const char* text : c.absent) EXPECT_EQ(std::string::npos, log.find(text)) << text;
    EXPECT_EQ(0x01010101u, vorn_sim_read_reg(run.Card(), 23)); // the software version, whatever the outcome
    EXPECT_EQ(c.result != 0, HasLine(log, "E", " [VornStart] _CheckVersion failed")) << log;
    if (c.result != 0) {
        EXPECT_EQ(0u, vorn_sim_read_reg(run.Card(), 20)); // start-up stopped before the mode switch
        EXPECT_EQ(out.size() - kFailLine.size(), out.rfind(kFailLine)) << out;
    }
}

const char* const kBothChecked = "hardware and soft version check is success.";

INSTANTIATE_TEST_SUITE_P(
    Versions, StartupHandshake,
    ::testing::Values(
        Handshake{"FirmwareEqual", 0x20250801u, 1, 0, {{"I", "hardware version check is success."}, {"I", kBothChecked}}, {}},
        Handshake{"FirmwareNewer", 0x20260101u, 1, 0, {{"I", kBothChecked}}, {}},
        // Firmware too old: both error lines, and the verdict (0 here) is never looked at.
        Handshake{"FirmwareOlder", 0x20250731u, 0, -1,
                  {{"E", "you will need to update your hardware version."},
                   {"E", "soft version 1.1.1.1, hwVersion is 20250801 > fpga hwVersion is 20250731."}},
                  {"hardware version check is success.", "soft version write is fail."}},
        Handshake{"VerdictNotTaken", 0x20250801u, 0, -1, {{"I", "soft version write is fail."}}, {kBothChecked}},
        Handshake{"VerdictSoftwareTooOld", 0x20250801u, 2, -1,
                  {{"I", "you will need to update your soft version."}, {"I", "iCheckRst == 2, soft  error."}},
                  {kBothChecked}},
        Handshake{"VerdictUnknown", 0x20250801u, 3, -1, {{"I", "iCheckRst is 3 error."}}, {kBothChecked}}),
    [](const ::testing::TestParamInfo<Handshake>& info) { return std::string(info.param.name); });

// The exact register traffic of a software-mode start, from the log and on the card.
TEST(Startup, SoftwareModeRegisterTraffic) {
    WriteSessionSnapshot(); // sample cipher: no known segment, software mode
    ConnectorRun run;
    ASSERT_EQ(0, run.Start());
    EXPECT_EQ(0, run.Stop()); // the exit flag ends the loop and init_connector returns 0
    const std::string out = run.Stdout(); // ends the capture: failures below stay visible
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {21, 1}, {21, 0},
        {14, 0x0A000005u}, // source of channel A, 10.0.0.5
        {15, 0xC0A80102u}, // channel B keeps its default, 192.168.1.2
        {16, 30001}, {17, 37110},
        {18, 3}, // no known segment
        {19, 0x5A}, {12, 20261216}, {23, 0x01010101u}, {20, 1}};
    EXPECT_EQ(expected, run.RegisterWrites());
    std::map<uint32_t, uint32_t> last(expected.begin(), expected.end());
    last[21] = 0; // the reset pulse ends at 0
    for (const auto& reg : last) EXPECT_EQ(reg.second, vorn_sim_read_reg(run.Card(), reg.first)) << reg.first;
    for (uint32_t reg : {13u, 22u, 24u}) EXPECT_EQ(0u, vorn_sim_read_reg(run.Card(), reg)) << reg;
    for (uint32_t reg = 320; reg < 405; ++reg) ASSERT_EQ(0u, vorn_sim_read_reg(run.Card(), reg)) << reg;
    const std::string log = run.LogText();
    EXPECT_TRUE(HasLine(log, "I", " [_SetRegIp] ipReg is [14], refIpAddr [10.0.0.5] .", kFpgaFile)) << log;
    EXPECT_TRUE(HasLine(log, "I", " [_SetRegPort] portReg is [16] refPort [30001] .", kFpgaFile)) << log;
    EXPECT_TRUE(HasLine(log, "D", "[set_fpga_reg] set_fpga_reg addr: 14, val: 167772165", "exanic_reg.cpp")) << log;
    EXPECT_EQ(std::string::npos, out.find("IMdToAppApi"));
}

const char* const kCoreChoices[] = {"Absent", "Processors", "AboveProcessors", "Allowed"};

class StartupCpu : public ::testing::TestWithParam<int> {};

// Binding is best effort: whatever its outcome, it is reported once and start-up goes on.
TEST_P(StartupCpu, BindingIsReportedAndStartupGoesOn) {
    WriteSessionSnapshot();
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ASSERT_EQ(0, sched_getaffinity(0, sizeof allowed, &allowed));
    int firstAllowed = 0;
    while (!CPU_ISSET(firstAllowed, &allowed)) ++firstAllowed;
    const int cores[] = {-1, get_nprocs(), get_nprocs() + 1, firstAllowed};
    const std::string core = std::to_string(cores[GetParam()]);
    const std::pair<const char*, std::string> expected[] = {
        {"W", " [_BindCpu] CPU[-1] exceed max procs."},
        {"W", " [_BindCpu] set CPU[" + core + "] affinity failed\n"},
        {"W", " [_BindCpu] CPU[" + core + "] exceed max procs."},
        {"I", " [_BindCpu] set CPU[" + core + "] affinity successful\n"}};
    ConnectorRun run(GetParam() == 0 ? Keys{} : Keys{{"cpucore", core}});
    EXPECT_EQ(0, run.Start());
    EXPECT_EQ(0, run.Stop());
    EXPECT_TRUE(HasLine(run.LogText(), expected[GetParam()].first, expected[GetParam()].second)) << run.LogText();
    EXPECT_EQ(1u, LinesWith(run.LogText(), "[_BindCpu]").size());
}

INSTANTIATE_TEST_SUITE_P(Cores, StartupCpu, ::testing::Range(0, 4),
                         [](const ::testing::TestParamInfo<int>& info) { return std::string(kCoreChoices[info.param]); });

// A missing snapshot: the loader's lines, -1, and the card is never set up.
TEST(Startup, MissingSnapshotStopsStartUp) {
    const std::string path = vorn_sim::SnapshotWriter::TodayPath();
    WriteSessionSnapshot();
    ASSERT_EQ(0, unlink(path.c_str()));
    ConnectorRun run;
    EXPECT_EQ(-1, run.Start());
    const std::string out = run.Stdout();
    EXPECT_TRUE(HasLine(out, "I", " [LoadFromFile], filename is " + path + ".")) << out;
    EXPECT_TRUE(HasLine(out, "E", " [LoadSnaphot], load_from_file is failed. file name is " + path + " .")) << out;
    EXPECT_TRUE(run.RegisterWrites().empty());
    EXPECT_EQ(out.size() - kFailLine.size(), out.rfind(kFailLine)) << out;
}

// A stop request ends the connector that runs, not the process's later ones: a second
// init_connector after the first was stopped keeps taking frames until it is stopped in turn.
TEST(Startup, ASecondConnectorRunsAfterTheFirstWasStopped) {
    WriteSessionSnapshot();
    {
        ConnectorRun first;
        ASSERT_EQ(0, first.Start());
        ASSERT_TRUE(first.Drain());
        EXPECT_EQ(0, first.Stop());
    }
    ConnectorRun second;
    ASSERT_EQ(0, second.Start());
    EXPECT_TRUE(second.Drain(std::chrono::seconds(5)));
    EXPECT_EQ(0, second.Stop());
}

} // namespace
