// vorn-snapshot: a made snapshot shows what was asked for; a cut file fails with the loader's line.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

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

    // Channels of one's choice, a count of instruments beyond the sample set, or a file of them.
    ASSERT_EQ(0, Tool("make --out " + path + " --channel udp://239.9.9.9:40001/10.1.1.1"
                      " --channel udp://239.9.9.10:40002/10.1.1.2 --instruments 12").first);
    auto made = Tool("show " + path);
    for (const char* line : {"source 10.1.1.1 port 40001 (channel A)", "source 10.1.1.2 port 40002 (channel B)",
                             "instruments: 12 price encodings, 12 depth records", " IF2701 ", " IH2701 "})
        EXPECT_EQ(1u, LinesWith(made.second, line).size()) << line << "\n" << made.second;
    const std::string list = dir.File("instruments.txt");
    std::ofstream(list) << ("# code product base tick multiple pre-settlement\nXY2701 XY 100.5 0.01 10 101\n"
                            "XY2701-C-100 XY 0 0.1 10 2.5\n");
    ASSERT_EQ(0, Tool("make --out " + path + " --instruments " + list).first);
    made = Tool("show " + path);
    EXPECT_EQ(1u, LinesWith(made.second, "instruments: 2 price encodings, 2 depth records").size()) << made.second;
    EXPECT_EQ(1u, LinesWith(made.second, " XY2701 ").size()) << made.second;

    // Without --out the file is the shared path of its trade date.
    const std::string dated = "/tmp/.20270309_V2.bin";
    unlink(dated.c_str());
    made = Tool("make --date 20270309");
    EXPECT_EQ(0, made.first) << made.second;
    EXPECT_EQ(1u, LinesWith(made.second, "wrote " + dated + ": ").size()) << made.second;
    EXPECT_EQ(1u, LinesWith(Tool("show " + dated).second, "trade date: 20270309").size());
    unlink(dated.c_str());

    // A usage error names the bad argument.
    for (const char* bad : {"make --segment 3", "make --date 2027-03-09", "make --channel udp://239.1.1.1:70000/10.0.0.1",
                            "make --instruments 0"}) {
        const auto usage = Tool(bad);
        EXPECT_EQ(2, usage.first) << bad;
        EXPECT_NE(std::string::npos, usage.second.find(strrchr(bad, ' ') + 1)) << bad << ": the message names it";
    }
}

} // namespace
