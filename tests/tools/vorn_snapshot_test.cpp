// vorn-snapshot: what `make` says and `show` prints for made and hand-written snapshots, a cut
// file and usage errors (their first line), as one transcript held against a golden file.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "golden_file.h"
#include "sample_code.h"
#include "snapshot_writer.h"
#include "test_files.h"

using namespace vorn_test;

namespace {

TEST(VornSnapshot, TranscriptMatchesTheGoldenFile) {
    TempDir dir;
    const auto anonymous = [&dir](std::string text) { // the temporary folder's name as D
        for (size_t at = text.find(dir.Path()); at != std::string::npos; at = text.find(dir.Path(), at))
            text.replace(at, dir.Path().size(), "D");
        return text;
    };
    std::string transcript;
    const auto tool = [&](const std::string& arguments) {
        FILE* pipe = popen((std::string(VORN_SNAPSHOT_TOOL) + " " + arguments + " 2>&1").c_str(), "r");
        ASSERT_NE(nullptr, pipe);
        std::string output;
        char buffer[4096];
        for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
        const int status = pclose(pipe), code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (code == 2) output.erase(output.find('\n') + 1); // a usage error: the line naming the argument
        const size_t wait = output.find("vorn-snapshot: waiting for /tmp"); // while a test run holds the shared path
        if (wait != std::string::npos) output.erase(wait, output.find('\n', wait) + 1 - wait);
        transcript += anonymous("$ " + arguments + "\n" + output) + "exit " + std::to_string(code) + "\n";
    };
    const std::string day = dir.File("day.bin"), list = dir.File("instruments.txt"), odd = dir.File("odd.bin");
    tool("make --out " + day + " --date 20270309 --seqno 777 --segment 1 --channel udp://239.9.9.9:40001/10.1.1.1"
         " --channel udp://239.9.9.10:40002/10.1.1.2 --instruments 12");
    tool("show " + day);
    std::ofstream(list) << ("# code product base tick multiple pre-settlement\nXY2701 XY 100.5 0.01 10 101\n"
                            "XY2701-C-100 XY 0 0.1 10 2.5\n");
    tool("make --out " + dir.File("list.bin") + " --date 20270309 --instruments " + list);
    tool("show " + dir.File("list.bin"));
    // A negative key argument, a channel that does not parse, and an instrument without depth.
    vorn_sim::SnapshotWriter writer;
    for (const char* channel : {"udp://239.3.42.1:30001/10.0.0.5", "udp://239.3.42.2:30002/10.0.0.6", "no address"})
        writer.AddChannel(channel);
    writer.SetTradeDate(20261216);
    writer.SetCodeSegment(vorn_sim::KnownSegmentRecord(2, 0xF0));
    writer.AddPriceEncoding(8, vorn_sim::MakePriceEncoding("IH2612", 8, "IH", 2700, 0.2, 300));
    ASSERT_TRUE(writer.WriteFile(odd));
    tool("show " + odd);
    ASSERT_EQ(0, truncate(day.c_str(), 400));
    tool("show " + day);
    // Without --out the file is the shared path of its trade date.
    const std::string dated = "/tmp/.20270309_V2.bin";
    unlink(dated.c_str());
    tool("make --date 20270309");
    tool("show " + dated);
    unlink(dated.c_str());
    for (const char* bad : {"make --segment 3", "make --date 2027-03-09", "make --channel udp://239.1.1.1:70000/10.0.0.1",
                            "make --instruments 0", "show"})
        tool(bad);

    ExpectGolden(transcript, VORN_SNAPSHOT_GOLDEN);
}

} // namespace
