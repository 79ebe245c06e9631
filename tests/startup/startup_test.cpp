// Start-up through init_connector on the simulated card. Each case needs a process of its own
// (the log and the card wrappers are process singletons); ctest runs them that way.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <fstream>
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

const char* const kFailLine = "IMdToAppApi VornStart is fail, [-1]. \n";

std::string RegexEscape(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

// True when `log` holds a complete entry at level `tag` ("E", "W", "I", "D") logged from `file`
// whose text after "file:line]" is `rest` (e.g. " [_BindCpu] CPU[-1] exceed max procs.").
bool HasLine(const std::string& log, const std::string& tag, const std::string& file, const std::string& rest) {
    const std::regex line("\x1b\\[\\d\\d;1m \\[" + tag + "\\] \\[\\d{8}\\]\\[\\d\\d:\\d\\d:\\d\\d\\]\\[\\d+\\] \\[" +
                          RegexEscape(file) + ":\\d+\\]" + RegexEscape(rest) + "\x1b\\[0m \n");
    return std::regex_search(log, line);
}

bool HasImplLine(const std::string& log, const std::string& tag, const std::string& rest) {
    return HasLine(log, tag, "VornCffexMdApiImpl.cpp", rest);
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void WriteSessionSnapshot() {
    vorn_sim::SyntheticSession session;
    ASSERT_TRUE(WriteTodaySnapshot(session.Snapshot()));
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

// The path is cut to 255 characters before the file is opened: a 300-character path whose
// first 255 characters name the configuration file reads that file.
TEST(Startup, LongConfigurationPathIsCutTo255) {
    WriteSessionSnapshot();
    ConnectorRun run; // for its directory
    const std::string dir = run.Dir() + "/" + std::string(120, 'd');
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    const std::string file = dir + "/" + std::string(255 - dir.size() - 1, 'f');
    ASSERT_EQ(255u, file.size());
    const std::string device = "nodev_" + std::to_string(getpid());
    std::ofstream(file) << "[config]\ndevice = " << device << "\nlog_path = " << run.Dir() << "\n";
    const std::string path = file + "/" + std::string(44, 'z');
    ASSERT_EQ(300u, path.size());

    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, init_connector((path.substr(0, 254) + "x" + path.substr(255)).c_str()));
    EXPECT_EQ(-1, init_connector(path.c_str()));
    const std::string out = testing::internal::GetCapturedStdout();
    // The first path differs within its first 255 characters: that cut path is not found.
    EXPECT_EQ(0u, out.find("ReadConfig is " + file.substr(0, 254) + "x failed \nInit, _ReadConfig failed \n" +
                           kFailLine))
        << out;
    // The second reached the card open with the device named in the file.
    EXPECT_TRUE(HasImplLine(out, "D", " [_ReadConfig] device[" + device + "]"));
    EXPECT_NE(std::string::npos, out.find("get [" + device + "] handle failed"));
    EXPECT_TRUE(EndsWith(out, kFailLine));
}

TEST(Startup, LogLevelZeroSilencesTheLog) {
    WriteSessionSnapshot();
    ConnectorRun run(Keys{{"log_level", "0"}});
    ASSERT_EQ(0, run.Start());
    EXPECT_EQ(0, run.Stop());
    const std::string out = run.Stdout();
    EXPECT_EQ(1u, vorn_sim_read_reg(run.Card(), 20));
    EXPECT_EQ(std::string::npos, out.find('\x1b'));
    EXPECT_EQ("", run.LogText());
}

TEST(Startup, MissingSnapshotFailsWithTheLoaderLines) {
    LockTodaySnapshot();
    const std::string snapshot = vorn_sim::SnapshotWriter::TodayPath();
    unlink(snapshot.c_str());
    ConnectorRun run;
    EXPECT_EQ(-1, run.Start());
    const std::string log = run.LogText();
    const std::vector<std::string> opened = LinesWith(log, "], filename is " + snapshot + ".\x1b[0m");
    ASSERT_EQ(1u, opened.size()) << log;
    EXPECT_NE(std::string::npos, opened[0].find(" [I] "));
    EXPECT_TRUE(HasImplLine(log, "E", " [LoadSnaphot], load_from_file is failed. file name is " + snapshot + " ."))
        << log;
    EXPECT_TRUE(run.RegisterWrites().empty());
    EXPECT_EQ(std::string::npos, log.find("handle failed"));
    EXPECT_TRUE(EndsWith(run.Stdout(), kFailLine));
}

TEST(Startup, WrongDeviceNamesTheDeviceAndTheCardError) {
    WriteSessionSnapshot();
    const std::string device = "nodev_" + std::to_string(getpid());
    ConnectorRun run(Keys{{"device", device}});
    EXPECT_EQ(-1, run.Start());
    EXPECT_TRUE(HasImplLine(run.LogText(), "E",
                            "[VornStart] get [" + device + "] handle failed, no simulated ExaNIC device '" + device +
                                "' (create it with vorn-card create " + device + ")"))
        << run.LogText();
    EXPECT_TRUE(run.RegisterWrites().empty());
    EXPECT_TRUE(EndsWith(run.Stdout(), kFailLine));
}

struct InjectedFailure {
    const char* name;
    unsigned what;
    const char* wrapperFile; // "" when only the connector reports
    const char* wrapperLine; // after "file:line]", %s = device
    const char* connectorLine;
};

void PrintTo(const InjectedFailure& failure, std::ostream* os) { *os << failure.name; }

class StartupInjected : public ::testing::TestWithParam<InjectedFailure> {};

std::string WithDevice(const std::string& format, const std::string& device) {
    std::string text = format;
    for (size_t at = text.find("%s"); at != std::string::npos; at = text.find("%s", at + device.size()))
        text.replace(at, 2, device);
    return text;
}

TEST_P(StartupInjected, FailsWithTheStepLines) {
    WriteSessionSnapshot();
    ConnectorRun run;
    vorn_sim_fail_next(run.Card(), GetParam().what);
    EXPECT_EQ(-1, run.Start());
    const std::string log = run.LogText();
    if (*GetParam().wrapperFile) {
        EXPECT_TRUE(HasLine(log, "E", GetParam().wrapperFile, WithDevice(GetParam().wrapperLine, run.Device())))
            << log;
    }
    EXPECT_TRUE(HasImplLine(log, "E", WithDevice(GetParam().connectorLine, run.Device()))) << log;
    EXPECT_TRUE(run.RegisterWrites().empty());
    EXPECT_TRUE(EndsWith(run.Stdout(), kFailLine));
}

INSTANTIATE_TEST_SUITE_P(
    Card, StartupInjected,
    ::testing::Values(
        InjectedFailure{"Handle", VORN_SIM_FAIL_HANDLE, "", "",
                        "[VornStart] get [%s] handle failed, exanic_acquire_handle(%s): injected failure"},
        InjectedFailure{"Registers", VORN_SIM_FAIL_REGISTERS, "exanic_reg.cpp",
                        "[fpga_init] get devkit registers failed, exanic_get_devkit_registers(%s): injected failure",
                        "[VornStart] get [%s] reg init failed, exanic_get_devkit_registers(%s): injected failure"},
        InjectedFailure{"Rx0", VORN_SIM_FAIL_RX0, "exanic_dma.cpp",
                        "[exanic_dma0_init] get tcp rx buffer failed, exanic_acquire_rx_buffer(%s, port 0): "
                        "injected failure",
                        "[VornStart] get [%s] dma0 init failed, exanic_acquire_rx_buffer(%s, port 0): injected failure"},
        InjectedFailure{"Rx1", VORN_SIM_FAIL_RX1, "exanic_dma.cpp",
                        "[exanic_dma1_init] get tcp rx buffer failed, exanic_acquire_rx_buffer(%s, port 1): "
                        "injected failure",
                        "[VornStart] get [%s] dma1 init failed, exanic_acquire_rx_buffer(%s, port 1): "
                        "injected failure"}),
    [](const ::testing::TestParamInfo<InjectedFailure>& info) { return std::string(info.param.name); });

struct Handshake {
    const char* name;
    uint32_t firmware; // register 65
    uint32_t verdict;  // register 64
    int result;
    std::vector<std::pair<const char*, const char*>> lines; // (tag, text after "[_CheckVersion] ")
    std::vector<const char*> absent;
};

void PrintTo(const Handshake& handshake, std::ostream* os) { *os << handshake.name; }

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
    EXPECT_TRUE(HasImplLine(log, "I", " [_CheckVersion] soft version, litte Endian 0x01010101.")) << log;
    EXPECT_TRUE(HasImplLine(log, "I", " [_CheckVersion] soft version, big Endian 0x01010101.")) << log;
    char compared[96];
    snprintf(compared, sizeof compared, " [_CheckVersion] str_it->second is 20250801, hwVersion is %x.", c.firmware);
    EXPECT_TRUE(HasImplLine(log, "I", compared)) << log;
    for (const auto& line : c.lines)
        EXPECT_TRUE(HasImplLine(log, line.first, std::string(" [_CheckVersion] ") + line.second)) << line.second << "\n"
                                                                                               << log;
    for (const char* text : c.absent) EXPECT_EQ(std::string::npos, log.find(text)) << text;
    // The software version is written whatever the outcome.
    const auto writes = run.RegisterWrites();
    EXPECT_NE(writes.end(), std::find(writes.begin(), writes.end(), std::make_pair(23u, 0x01010101u)));
    EXPECT_EQ(0x01010101u, vorn_sim_read_reg(run.Card(), 23));
    if (c.result != 0) {
        EXPECT_TRUE(HasImplLine(log, "E", " [VornStart] _CheckVersion failed")) << log;
        EXPECT_EQ(0u, vorn_sim_read_reg(run.Card(), 20)); // start-up stopped before the mode switch
        EXPECT_TRUE(EndsWith(out, kFailLine));
    } else {
        EXPECT_EQ(std::string::npos, log.find("_CheckVersion failed"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Versions, StartupHandshake,
    ::testing::Values(
        Handshake{"FirmwareEqual", 0x20250801u, 1, 0,
                  {{"I", "hardware version check is success."}, {"I", "hardware and soft version check is success."}},
                  {}},
        Handshake{"FirmwareNewer", 0x20260101u, 1, 0, {{"I", "hardware and soft version check is success."}}, {}},
        // Firmware too old: both error lines, and the verdict (0 here) is never looked at.
        Handshake{"FirmwareOlder", 0x20250731u, 0, -1,
                  {{"E", "you will need to update your hardware version."},
                   {"E", "soft version 1.1.1.1, hwVersion is 20250801 > fpga hwVersion is 20250731."}},
                  {"hardware version check is success.", "soft version write is fail."}},
        Handshake{"VerdictNotTaken", 0x20250801u, 0, -1, {{"I", "soft version write is fail."}},
                  {"hardware and soft version check is success."}},
        Handshake{"VerdictSoftwareTooOld", 0x20250801u, 2, -1,
                  {{"I", "you will need to update your soft version."}, {"I", "iCheckRst == 2, soft  error."}},
                  {"hardware and soft version check is success."}},
        Handshake{"VerdictUnknown", 0x20250801u, 3, -1, {{"I", "iCheckRst is 3 error."}}, {"hardware and soft version check is success."}}),
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
        {18, 3},  // no known segment
        {19, 0x5A}, {12, 20261216},
        {23, 0x01010101u},
        {20, 1}};
    EXPECT_EQ(expected, run.RegisterWrites());
    std::map<uint32_t, uint32_t> last(expected.begin(), expected.end());
    last[21] = 0; // the reset pulse ends at 0
    for (const auto& reg : last) EXPECT_EQ(reg.second, vorn_sim_read_reg(run.Card(), reg.first)) << reg.first;
    for (uint32_t reg : {13u, 22u, 24u}) EXPECT_EQ(0u, vorn_sim_read_reg(run.Card(), reg)) << reg;
    for (uint32_t reg = 320; reg < 405; ++reg) ASSERT_EQ(0u, vorn_sim_read_reg(run.Card(), reg)) << reg;
    const std::string log = run.LogText();
    EXPECT_TRUE(HasImplLine(log, "I", " [_SetRegIp] ipReg is [14], refIpAddr [10.0.0.5] .")) << log;
    EXPECT_TRUE(HasImplLine(log, "I", " [_SetRegPort] portReg is [16] refPort [30001] .")) << log;
    EXPECT_TRUE(HasLine(log, "D", "exanic_reg.cpp", "[set_fpga_reg] set_fpga_reg addr: 14, val: 167772165")) << log;
    EXPECT_EQ(std::string::npos, out.find("IMdToAppApi"));
}

enum class CoreChoice { Absent, Processors, AboveProcessors, Allowed };

void PrintTo(CoreChoice choice, std::ostream* os) {
    static const char* const names[] = {"Absent", "Processors", "AboveProcessors", "Allowed"};
    *os << names[static_cast<int>(choice)];
}

std::string CoreChoiceName(const ::testing::TestParamInfo<CoreChoice>& info) {
    return ::testing::PrintToString(info.param);
}

class StartupCpu : public ::testing::TestWithParam<CoreChoice> {};

int FirstAllowedCpu() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 0;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &set)) return cpu;
    return 0;
}

// Binding is best effort: whatever its outcome, start-up goes on.
TEST_P(StartupCpu, BindingIsReportedAndStartupGoesOn) {
    WriteSessionSnapshot();
    Keys keys;
    std::string tag, text;
    const int processors = get_nprocs();
    switch (GetParam()) {
    case CoreChoice::Absent:
        tag = "W", text = " [_BindCpu] CPU[-1] exceed max procs.";
        break;
    case CoreChoice::AboveProcessors:
        keys["cpucore"] = std::to_string(processors + 1);
        tag = "W", text = " [_BindCpu] CPU[" + keys["cpucore"] + "] exceed max procs.";
        break;
    case CoreChoice::Processors:
        keys["cpucore"] = std::to_string(processors);
        tag = "W", text = " [_BindCpu] set CPU[" + keys["cpucore"] + "] affinity failed\n";
        break;
    case CoreChoice::Allowed:
        keys["cpucore"] = std::to_string(FirstAllowedCpu());
        tag = "I", text = " [_BindCpu] set CPU[" + keys["cpucore"] + "] affinity successful\n";
        break;
    }
    ConnectorRun run(keys);
    EXPECT_EQ(0, run.Start());
    EXPECT_EQ(0, run.Stop());
    run.Stdout();
    EXPECT_TRUE(HasImplLine(run.LogText(), tag, text)) << run.LogText();
    EXPECT_EQ(1u, LinesWith(run.LogText(), "[_BindCpu]").size());
}

INSTANTIATE_TEST_SUITE_P(Cores, StartupCpu,
                         ::testing::Values(CoreChoice::Absent, CoreChoice::Processors, CoreChoice::AboveProcessors,
                                           CoreChoice::Allowed),
                         CoreChoiceName);

} // namespace
