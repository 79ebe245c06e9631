// vorn-snapshot: a made snapshot shows what was asked for; bad files and usage fail clearly.
#include <sys/wait.h>

#include "snapshot_test_util.h"

using namespace snapshot_test;

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

TEST(Tool, MakeThenShow) {
    TempDir dir;
    const std::string path = dir.File("day.bin");
    ASSERT_EQ(0, Tool("make --out " + path + " --date 20270309 --seqno 777 --segment 1").first);
    const auto shown = Tool("show " + path);
    ASSERT_EQ(0, shown.first) << shown.second;
    for (const char* line : {"source 10.0.0.5 port 30001 (channel A)", "trade date: 20270309", "last seqno: 777",
                             "matches known segment 1: hardware mode (work mode 2, key type 1)",
                             "instruments: 10 price encodings, 10 depth records"})
        EXPECT_EQ(1u, LinesWith(shown.second, line).size()) << line << "\n" << shown.second;
    const std::vector<std::string> future = LinesWith(shown.second, " IF2612 ");
    ASSERT_EQ(1u, future.size()) << shown.second;
    for (const char* part : {" IF ", " 4000 ", " 0.2 "}) EXPECT_NE(std::string::npos, future[0].find(part)) << future[0];
    EXPECT_EQ(2u, CountOf(future[0], " x ")) << future[0]; // bid1 and ask1
    EXPECT_EQ(0u, CountOf(shown.second, "\033[")) << "log output leaked";

    ASSERT_EQ(0, Tool("make --out " + path).first);
    EXPECT_EQ(1u, LinesWith(Tool("show " + path).second,
                            "matches no known segment: software mode (work mode 1, key type 3)").size());
}

TEST(Tool, BadFilesAndUsage) {
    TempDir dir;
    const std::string path = dir.File("cut.bin");
    ASSERT_EQ(0, Tool("make --out " + path).first);
    ASSERT_EQ(0, truncate(path.c_str(), 400));
    auto shown = Tool("show " + path);
    EXPECT_EQ(1, shown.first);
    EXPECT_EQ(1u, LinesWith(shown.second, path + " is not a loadable snapshot").size()) << shown.second;
    EXPECT_EQ(1u, LinesWith(shown.second, "snapshot " + path + " ends inside the code segment section.").size());
    EXPECT_EQ(0u, CountOf(shown.second, "\033[")) << shown.second;

    shown = Tool("show " + dir.File("missing.bin"));
    EXPECT_EQ(1, shown.first);
    EXPECT_EQ(1u, LinesWith(shown.second, "cannot open " + dir.File("missing.bin")).size()) << shown.second;

    for (const char* bad : {"", "show", "frobnicate", "make --segment 3", "make --date 2027-03-09", "make --seqno"}) {
        const auto usage = Tool(bad);
        EXPECT_EQ(2, usage.first) << bad;
        EXPECT_NE(std::string::npos, usage.second.find("usage: vorn-snapshot show FILE")) << bad;
    }
}

} // namespace
