// The counters file from both sides: a reader's consistent cut while the writer runs, the
// refusal of a layout it does not know, and vorn-stat's output in each format.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <fstream>
#include <thread>

#include "connector_harness.h"
#include "counters_reader.h"
#include "counters_writer.h"
#include "child_process.h"

namespace {

using namespace Vorn_R10;

class CountersFiles : public ::testing::Test {
protected:
    // Runs vorn-stat with `args` (after --dir); returns its standard output.
    std::string Stat(std::vector<std::string> args, int expectedExit = 0) {
        args.insert(args.begin(), {VORN_STAT_BIN, "--dir", dir_});
        const pid_t pid = vorn_test::Spawn(args, dir_ + "/out", dir_ + "/err");
        EXPECT_EQ(expectedExit, vorn_test::WaitExit(pid, std::chrono::seconds(20))) << args[3];
        err_ = vorn_test::ReadFile(dir_ + "/err");
        return vorn_test::ReadFile(dir_ + "/out");
    }
    static void Patch(const std::string& path, size_t offset, const void* value, size_t size) {
        const int fd = open(path.c_str(), O_WRONLY);
        ASSERT_EQ(static_cast<ssize_t>(size), pwrite(fd, value, size, static_cast<off_t>(offset)));
        close(fd);
    }

    vorn_test::TempDir temp_;
    const std::string dir_ = temp_.Path();
    std::string err_;
};

TEST_F(CountersFiles, ReaderSeesConsistentValuesWhileTheWriterRuns) {
    CCountersWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Create(dir_, "dev0", error)) << error;
    std::atomic<bool> stop{false};
    std::thread frames([&] {
        // Pauses inside and between frames: a reader that ignored the frame bracket would
        // often copy a frame half counted.
        const auto pause = [] { for (volatile int n = 0; n < 50; n = n + 1) {} };
        for (uint64_t i = 0; !stop.load(std::memory_order_relaxed); ++i) {
            writer.FrameBegin();
            writer.FrameReceived();
            pause();
            if (i % 3 == 0) {
                writer.FrameDropped(DROP_FOREIGN);
            } else {
                writer.FrameOfFeed();
                writer.PacketParsed();
                writer.Delivered(1, 0, 1, true, false);
            }
            writer.FrameEnd();
            pause();
        }
    });
    // Stops and joins the writer on every way out, a failed assertion's included.
    struct Joiner {
        std::atomic<bool>& stop;
        std::thread& thread;
        ~Joiner() {
            stop = true;
            thread.join();
        }
    } joiner{stop, frames};
    CCountersReader reader;
    ASSERT_TRUE(reader.Open(writer.Path(), error)) << error;
    SCountersSnapshot s;
    uint64_t last = 0, consistent = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < until) {
        ASSERT_TRUE(reader.Read(s, error)) << error;
        if (!s.consistent) continue;
        ++consistent;
        const SCounterValues& v = s.header.values;
        ASSERT_EQ(v.frames_received, v.frames_feed + v.dropped_foreign);
        ASSERT_EQ(v.frames_feed, v.packets_parsed);
        ASSERT_EQ(v.packets_parsed, v.updates);
        ASSERT_GE(v.frames_received, last);
        last = v.frames_received;
    }
    EXPECT_GT(consistent, 100u);
    EXPECT_GT(last, 0u);
}

TEST_F(CountersFiles, VornStatInEachFormat) {
    std::string error;
    CCountersWriter live, dead;
    ASSERT_TRUE(live.Create(dir_, "dev0", error) && dead.Create(dir_, "dev1", error)) << error;
    live.SetRunState(COUNTERS_RUNNING);
    live.SetWorkMode(1);
    live.SetLatencySampling(1);
    ASSERT_TRUE(live.SetInstruments({{"IF2612", 1001}}, error)) << error;
    for (int i = 0; i < 4; ++i) {
        live.FrameBegin();
        live.FrameReceived();
        live.FrameOfFeed();
        live.PacketParsed();
        live.Delivered(1001, 34200500, i < 3 ? 1 : 0, true, true);
        live.FrameEnd();
    }
    // dev1's process died without ending its file; a third file is of an unknown layout.
    dead.SetRunState(COUNTERS_RUNNING);
    const pid_t child = fork();
    if (child == 0) _exit(0);
    vorn_test::WaitExit(child, std::chrono::seconds(5));
    const int64_t gone = child;
    Patch(dead.Path(), offsetof(SCountersHeader, pid), &gone, sizeof gone);
    const std::string unknown = dir_ + "/vorn_r10.1.dev2.counters";
    std::ofstream(unknown, std::ios::binary) << vorn_test::ReadFile(live.Path());
    const uint32_t version = 99;
    Patch(unknown, offsetof(SCountersHeader, layout_version), &version, sizeof version);
    const std::string pid = std::to_string(getpid()), goneText = std::to_string(gone);

    const std::string text = Stat({"--once"});
    EXPECT_NE(std::string::npos, text.find("vorn_r10 pid " + pid + ", device dev0: running, software mode\n")) << text;
    EXPECT_NE(std::string::npos, text.find("  packets_parsed" + std::string(22, ' ') + "4\n")) << text;
    EXPECT_NE(std::string::npos, text.find("  trusted share                  75.00 %\n")) << text;
    EXPECT_NE(std::string::npos, text.find("(4 samples, 1 frame in 1)")) << text;
    EXPECT_NE(std::string::npos,
              text.find("    IF2612                      4 updates, last 09:30:00.500, untrusted\n"));

    const std::string json = Stat({"--json", "dev0"});
    for (const char* part :
         {"\"device\":\"dev0\",\"state\":\"running\",\"alive\":true,\"consistent\":true", "\"packets_parsed\":4,",
          "\"updates_untrusted\":1,", "\"trusted_share\":0.750000,", "\"sample_every\":1,\"samples\":4,",
          "\"instruments\":[{\"instrument_id\":\"IF2612\",\"inst_id\":1001,\"updates\":4,"
          "\"last_update\":\"09:30:00.500\",\"last_trust\":0}]}\n"})
        EXPECT_NE(std::string::npos, json.find(part)) << part << "\n" << json;

    const std::string prom = Stat({"--prometheus"});
    const std::string labels = "{pid=\"" + pid + "\",device=\"dev0\"";
    for (const std::string& line : std::vector<std::string>{
             std::string("# TYPE vorn_r10_packets_parsed_total counter\n"),
             "vorn_r10_packets_parsed_total" + labels + "} 4\n", "vorn_r10_up" + labels + "} 1\n",
             "vorn_r10_up{pid=\"" + goneText + "\",device=\"dev1\"} 0\n", "# TYPE vorn_r10_latency_seconds summary\n",
             "vorn_r10_latency_seconds_count" + labels + ",span=\"recv_to_callback\"} 4\n",
             "vorn_r10_instrument_updates_total" + labels + ",instrument=\"IF2612\"} 4\n"})
        EXPECT_NE(std::string::npos, prom.find(line)) << line << prom;
    EXPECT_NE(std::string::npos, err_.find(unknown + ": counters layout version 99 is unknown to this reader, "
                                                     "which reads version 1"))
        << err_;

    EXPECT_NE(std::string::npos, Stat({"--list"}).find(" stale (process " + goneText + " is gone) "));
    EXPECT_EQ("removed " + dead.Path() + " (stale (process " + goneText + " is gone))\n", Stat({"--remove-stale"}));
    EXPECT_NE(0, access(dead.Path().c_str(), F_OK));
    EXPECT_EQ(0, access(live.Path().c_str(), F_OK));

    // The live view refreshes with rates beside the totals until interrupted.
    const pid_t view =
        vorn_test::Spawn({VORN_STAT_BIN, "--dir", dir_, "--interval", "0.1", "dev0"}, dir_ + "/out", dir_ + "/err");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(view, SIGINT);
    EXPECT_EQ(0, vorn_test::WaitExit(view, std::chrono::seconds(5)));
    EXPECT_NE(std::string::npos, vorn_test::ReadFile(dir_ + "/out").find("total          per s\n"));

    EXPECT_EQ(0u, Stat({"--help"}).find("usage: vorn-stat"));
    Stat({"--bogus"}, 2);
    EXPECT_NE(std::string::npos, err_.find("unknown option '--bogus'"));
}

} // namespace
