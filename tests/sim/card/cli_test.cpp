// The vorn-card tool, run as a user would.
#include <cstdio>
#include <string>
#include <sys/wait.h>

#include "card_fixture.h"

namespace {

struct ToolRun {
    int status;
    std::string output;
};

ToolRun run_card(const std::string &args) {
    std::string command = std::string(VORN_CARD_PATH) + " " + args + " 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    ToolRun run{-1, ""};
    if (pipe == nullptr) return run;
    char chunk[256];
    while (size_t got = fread(chunk, 1, sizeof chunk, pipe)) run.output.append(chunk, got);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(VornCardTool, CreatesSetsShowsAndRemovesADevice) {
    std::string device = unique_device_name("cli");
    ASSERT_EQ(run_card("create " + device).status, 0);
    ToolRun regs = run_card("regs " + device);
    EXPECT_EQ(regs.status, 0);
    EXPECT_NE(regs.output.find("0x20250801"), std::string::npos) << regs.output;

    EXPECT_EQ(run_card("set " + device + " 0x10 0xdeadbeef").status, 0);
    EXPECT_EQ(run_card("set " + device + " 17 4096").status, 0);
    ToolRun range = run_card("regs " + device + " 16 2");
    EXPECT_NE(range.output.find("0xdeadbeef"), std::string::npos) << range.output;
    EXPECT_NE(range.output.find("0x00001000"), std::string::npos) << range.output;

    vorn_sim_card_t *card = vorn_sim_open(device.c_str());
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(vorn_sim_read_reg(card, 16), 0xdeadbeefu);
    char frame[8] = {};
    vorn_sim_put_frame(card, 1, frame, sizeof frame, VORN_SIM_OVERWRITE, 0);
    vorn_sim_close(card);
    ToolRun counters = run_card("counters " + device);
    EXPECT_EQ(counters.status, 0);
    EXPECT_NE(counters.output.find("   1             1"), std::string::npos) << counters.output;

    EXPECT_EQ(run_card("remove " + device).status, 0);
    ToolRun missing = run_card("counters " + device);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find(device), std::string::npos);
}

TEST(VornCardTool, RefusesBadArgumentsWithUsage) {
    std::string device = unique_device_name("cli");
    ASSERT_EQ(run_card("create " + device).status, 0);
    for (const char *args : {"", "frobnicate x", "create", "set x 1", "regs a b c d"})
        EXPECT_EQ(run_card(args).status, 2) << args;
    for (std::string args : {"set " + device + " 4096 1", "set " + device + " 1 0x1ffffffff",
                             "set " + device + " 1 12abc", "regs " + device + " -1"}) {
        ToolRun run = run_card(args);
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_NE(run.output.find("bad"), std::string::npos) << run.output;
    }
    EXPECT_EQ(run_card("remove " + device).status, 0);
}

}  // namespace
