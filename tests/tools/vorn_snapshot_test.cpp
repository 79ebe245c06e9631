// vorn-snapshot: a made snapshot shows what was asked for; a cut file fails with the loader's line.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_files.h"

using namespace vorn_test;

namespace {

// Runs the tool; its exit code and standard output and error.
std::pair<int, std::string> Tool(const std::string& arguments) {
    FILE* pipe = popen((std::string(VORN_SNAPSHOT_TOOL) + " " + arguments + " 2>&1").c_str(), "r");
    if (!pipe) return {-1, ""};
    std::string output;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(VornSnapshot, MakeShowAndACutFile) {
    TempDir dir;
    const std::string path = dir.File("day.bin");
    ASSERT_EQ(0, Tool("make --out " + path + " --date 20270309 --seqno 777 --segment 1").first);
    const auto shown = Tool("show " + path);
    ASSERT_EQ(0, shown.first) << shown.second;
    for (const char* line : {"source 10.0.0.5 port 30001 (channel A)", "trade date: 20270309", "last seqno: 777",
                             "matches known segment 1: hardware mode (work mode 2, key type 1)"})
        EXPECT_EQ(1u, LinesWith(shown.second, line).size()) << line << "\n" << shown.second;
    ASSERT_EQ(0, truncate(path.c_str(), 400));
    const auto cut = Tool("show " + path);
    EXPECT_EQ(1, cut.first);
    EXPECT_EQ(1u, LinesWith(cut.second, "snapshot " + path + " ends inside the code segment section.").size())
        << cut.second;
    EXPECT_EQ(0u, CountOf(cut.second, "\033[")) << "log colours leaked";
    EXPECT_EQ(2, Tool("make --segment 3").first);
}

} // namespace
