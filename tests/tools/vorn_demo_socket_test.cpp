// vorn-demo's software part through the socket transport: every packet sent reaches both
// callbacks, and the summary names the transport and the kernel's receive time.
#include <gtest/gtest.h>
#include <unistd.h>

#include "child_process.h"
#include "test_files.h"

using namespace vorn_test;

TEST(VornDemo, RunsItsSoftwarePartThroughTheKernel) {
    TempDir scratch;
    const std::string out = scratch.File("demo.out"), err = scratch.File("demo.err");
    const int code = WaitExit(Spawn({VORN_DEMO_BIN, "--seconds", "1", "--rate", "2000", "--mode", "software",
                                     "--transport", "socket"},
                                    out, err),
                              std::chrono::seconds(60));
    const std::string summary = ReadFile(out);
    // A folder the demo keeps for the user goes here.
    const size_t at = summary.find("(vorn-stat --dir /tmp/vorn_demo_");
    if (at != std::string::npos) {
        const size_t from = summary.find("/tmp/", at), to = summary.find(')', from);
        const std::string folder = summary.substr(from, to - from);
        for (const std::string& file : FilesIn(folder)) unlink((folder + "/" + file).c_str());
        rmdir(folder.c_str());
    }
    EXPECT_EQ(0, code) << summary << ReadFile(err);
    for (const char* line : {"  transport         socket (kernel UDP, datagrams to 127.0.0.1:",
                             "one per packet received: yes", "  kernel -> callback      p50 "})
        EXPECT_EQ(1u, CountOf(summary, line)) << line << "\n" << summary;
    EXPECT_EQ(0u, CountOf(summary, "frame put -> callback")) << "no card puts to measure from";
}
