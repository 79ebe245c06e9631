// vorn-demo's software part through the socket transport: every packet sent reaches both
// callbacks, the summary names the transport and the kernel's receive time, and the demo's
// folder goes at its end.
#include <gtest/gtest.h>

#include <cstdlib>

#include "child_process.h"
#include "test_files.h"

using namespace vorn_test;

TEST(VornDemo, RunsItsSoftwarePartThroughTheKernel) {
    TempDir scratch;
    const std::string out = scratch.File("demo.out"), err = scratch.File("demo.err");
    setenv("TMPDIR", scratch.Path().c_str(), 1); // the demo's folder goes there, and goes at its end
    const int code = WaitExit(Spawn({VORN_DEMO_BIN, "--seconds", "1", "--rate", "2000", "--mode", "software",
                                     "--transport", "socket"},
                                    out, err),
                              std::chrono::seconds(60));
    const std::string summary = ReadFile(out);
    EXPECT_EQ(std::vector<std::string>{}, FilesIn(scratch.Path(), "vorn_demo_"));
    EXPECT_EQ(0u, CountOf(summary, "vorn-stat --dir")) << "no path of a folder that is gone";
    EXPECT_EQ(0, code) << summary << ReadFile(err);
    for (const char* line : {"  transport         socket (kernel UDP, datagrams to 127.0.0.1:",
                             "one per packet received: yes", "  kernel -> callback      p50 "})
        EXPECT_EQ(1u, CountOf(summary, line)) << line << "\n" << summary;
    EXPECT_EQ(0u, CountOf(summary, "frame put -> callback")) << "no card puts to measure from";
}
