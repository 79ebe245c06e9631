// vorn-snapshot: a made snapshot shows what was asked for; bad files and usage fail clearly.
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

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
    auto shown = Tool("show " + path);
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

    // Channels of one's choice, a count of instruments beyond the sample set, or a file of them.
    ASSERT_EQ(0, Tool("make --out " + path + " --channel udp://239.9.9.9:40001/10.1.1.1"
                      " --channel udp://239.9.9.10:40002/10.1.1.2 --instruments 12").first);
    shown = Tool("show " + path);
    for (const char* line : {"source 10.1.1.1 port 40001 (channel A)", "source 10.1.1.2 port 40002 (channel B)",
                             "instruments: 12 price encodings, 12 depth records", " IF2701 ", " IH2701 "})
        EXPECT_EQ(1u, LinesWith(shown.second, line).size()) << line << "\n" << shown.second;
    const std::string list = dir.File("instruments.txt");
    std::ofstream(list) << ("# code product base tick multiple pre-settlement\nXY2701 XY 100.5 0.01 10 101\n"
                    "XY2701-C-100 XY 0 0.1 10 2.5\n");
    ASSERT_EQ(0, Tool("make --out " + path + " --instruments " + list).first);
    shown = Tool("show " + path);
    EXPECT_EQ(1u, LinesWith(shown.second, "instruments: 2 price encodings, 2 depth records").size()) << shown.second;
    EXPECT_EQ(1u, LinesWith(shown.second, " XY2701 ").size()) << shown.second;

    // Without --out the file is the shared path of its trade date.
    const std::string dated = "/tmp/.20270309_V2.bin";
    unlink(dated.c_str());
    const auto made = Tool("make --date 20270309");
    EXPECT_EQ(0, made.first) << made.second;
    EXPECT_EQ(1u, LinesWith(made.second, "wrote " + dated + ": ").size()) << made.second;
    EXPECT_EQ(1u, LinesWith(Tool("show " + dated).second, "trade date: 20270309").size());
    unlink(dated.c_str());
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

    for (const char* bad : {"", "show", "frobnicate", "make --segment 3", "make --date 2027-03-09", "make --seqno",
                            "make --channel udp://239.1.1.1:70000/10.0.0.1", "make --instruments 0"}) {
        const auto usage = Tool(bad);
        EXPECT_EQ(2, usage.first) << bad;
        EXPECT_NE(std::string::npos, usage.second.find("usage: vorn-snapshot show FILE")) << bad;
        const std::string argument = strrchr(bad, ' ') ? strrchr(bad, ' ') + 1 : bad;
        EXPECT_NE(std::string::npos, usage.second.find("vorn-snapshot: ")) << bad;
        EXPECT_NE(std::string::npos, usage.second.find(argument)) << bad << ": the message names it";
    }
}

} // namespace
