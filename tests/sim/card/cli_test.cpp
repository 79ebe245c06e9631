// The vorn-card tool, run as a user would.
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "card_fixture.h"

namespace {

// Exit code and output (standard output and error) of one run.
std::pair<int, std::string> run_card(const std::string &args) {
    FILE *pipe = popen((std::string(VORN_CARD_PATH) + " " + args + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return {-1, ""};
    std::string output;
    char chunk[256];
    while (size_t got = fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, got);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(VornCardTool, CreatesSetsShowsAndRemovesADeviceAndRefusesBadArguments) {
    const std::string device = unique_device_name("cli");
    ASSERT_EQ(run_card("create " + device).first, 0);
    EXPECT_NE(run_card("regs " + device).second.find("0x20250801"), std::string::npos);
    EXPECT_EQ(run_card("set " + device + " 0x10 0xdeadbeef").first, 0);
    EXPECT_EQ(run_card("set " + device + " 17 4096").first, 0);
    const std::string range = run_card("regs " + device + " 16 2").second;
    EXPECT_NE(range.find("0xdeadbeef"), std::string::npos) << range;
    EXPECT_NE(range.find("0x00001000"), std::string::npos) << range;

    vorn_sim_card_t *card = vorn_sim_open(device.c_str());
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(vorn_sim_read_reg(card, 16), 0xdeadbeefu);
    const char frame[8] = {};
    vorn_sim_put_frame(card, 1, frame, sizeof frame, VORN_SIM_OVERWRITE, 0);
    vorn_sim_close(card);
    const auto counters = run_card("counters " + device);
    EXPECT_EQ(counters.first, 0);
    EXPECT_NE(counters.second.find("   1             1"), std::string::npos) << counters.second;

    for (const char *args : {"", "frobnicate x", "create", "set x 1", "regs a b c d"})
        EXPECT_EQ(run_card(args).first, 2) << args;
    for (const char *args : {" 4096 1", " 1 0x1ffffffff", " 1 12abc"}) {
        const auto bad = run_card("set " + device + args);
        EXPECT_EQ(bad.first, 2) << args;
        EXPECT_NE(bad.second.find("bad"), std::string::npos) << bad.second;
    }
    EXPECT_EQ(run_card("regs " + device + " -1").first, 2);

    EXPECT_EQ(run_card("remove " + device).first, 0);
    const auto missing = run_card("counters " + device);
    EXPECT_EQ(missing.first, 1);
    EXPECT_NE(missing.second.find(device), std::string::npos);
}

}  // namespace
