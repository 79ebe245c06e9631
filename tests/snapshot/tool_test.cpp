// vorn-snapshot: a made snapshot shows what was asked for; bad files and usage fail clearly.
#include <sys/wait.h>

#include "snapshot_test_util.h"

using namespace snapshot_test;

namespace {

struct Result {
    int status;
    std::string output; // standard output and error
};

Result Tool(const std::string& arguments) {
    const std::string command = std::string(VORN_SNAPSHOT_TOOL) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return {-1, ""};
    std::string output;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(Tool, MakeThenShow) {
    TempDir dir;
    const std::string path = dir.File("day.bin");
    Result made = Tool("make --out " + path + " --date 20270309 --seqno 777 --segment 1");
    ASSERT_EQ(0, made.status) << made.output;
    Result shown = Tool("show " + path);
    ASSERT_EQ(0, shown.status) << shown.output;
    const std::string& out = shown.output;
    EXPECT_EQ(1u, LinesWith(out, "source 10.0.0.5 port 30001 (channel A)").size()) << out;
    EXPECT_EQ(1u, LinesWith(out, "trade date: 20270309").size()) << out;
    EXPECT_EQ(1u, LinesWith(out, "last seqno: 777").size()) << out;
    EXPECT_EQ(1u, LinesWith(out, "matches known segment 1: hardware mode (work mode 2, key type 1)").size()) << out;
    EXPECT_EQ(1u, LinesWith(out, "instruments: 10 price encodings, 10 depth records").size()) << out;
    const std::vector<std::string> future = LinesWith(out, " IF2612 ");
    ASSERT_EQ(1u, future.size()) << out;
    EXPECT_NE(std::string::npos, future[0].find(" IF ")) << future[0];
    EXPECT_NE(std::string::npos, future[0].find(" 4000 ")) << future[0];
    EXPECT_NE(std::string::npos, future[0].find(" 0.2 ")) << future[0];
    EXPECT_EQ(2u, CountOf(future[0], " x ")) << future[0]; // bid1 and ask1
    EXPECT_EQ(0u, CountOf(out, "\033[")) << "log output leaked";

    made = Tool("make --out " + path);
    ASSERT_EQ(0, made.status) << made.output;
    shown = Tool("show " + path);
    EXPECT_EQ(1u, LinesWith(shown.output, "matches no known segment: software mode (work mode 1, key type 3)").size())
        << shown.output;
}

TEST(Tool, BadFilesAndUsage) {
    TempDir dir;
    const std::string path = dir.File("cut.bin");
    ASSERT_EQ(0, Tool("make --out " + path).status);
    ASSERT_EQ(0, truncate(path.c_str(), 400));
    Result shown = Tool("show " + path);
    EXPECT_EQ(1, shown.status);
    EXPECT_EQ(1u, LinesWith(shown.output, path + " is not a loadable snapshot").size()) << shown.output;
    EXPECT_EQ(1u, LinesWith(shown.output, "snapshot " + path + " ends inside the code segment section.").size())
        << shown.output;
    EXPECT_EQ(0u, CountOf(shown.output, "\033[")) << shown.output;

    shown = Tool("show " + dir.File("missing.bin"));
    EXPECT_EQ(1, shown.status);
    EXPECT_EQ(1u, LinesWith(shown.output, "cannot open " + dir.File("missing.bin")).size()) << shown.output;

    for (const char* bad : {"", "show", "frobnicate", "make --segment 3", "make --date 2027-03-09", "make --seqno"}) {
        const Result usage = Tool(bad);
        EXPECT_EQ(2, usage.status) << bad;
        EXPECT_NE(std::string::npos, usage.output.find("usage: vorn-snapshot show FILE")) << bad;
    }
}

} // namespace
