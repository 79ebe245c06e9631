// The counters file from both sides: a reader's consistent cut while the writer runs, the
// refusal of a layout it does not know, and vorn-stat's output in each format.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
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

    // A writer of `name` on `device` in a child process that dies while running, leaving its
    // file unended; returns the child's process id.
    pid_t DiedWriting(const std::string& name, const std::string& device) {
        const pid_t child = fork();
        if (child == 0) {
            CCountersWriter writer;
            std::string error, warning;
            if (!writer.Create(dir_, name, device, error, warning)) _exit(1);
            writer.SetRunState(COUNTERS_RUNNING);
            _exit(0); // no destructor: the file stays as a crash leaves it
        }
        EXPECT_EQ(0, vorn_test::WaitExit(child, std::chrono::seconds(10)));
        return child;
    }
    // The counters files in the folder, by name.
    std::vector<std::string> Files() const {
        std::vector<std::string> names = vorn_test::FilesIn(dir_, kCountersFilePrefix);
        std::sort(names.begin(), names.end());
        return names;
    }
    static SCountersSnapshot Read(const std::string& path) {
        SCountersFile file;
        std::string error;
        EXPECT_TRUE(ReadCountersFile(path, file, error)) << error;
        return file.snapshot;
    }

    vorn_test::TempDir temp_;
    const std::string dir_ = temp_.Path();
    std::string err_;
};

TEST_F(CountersFiles, ReaderSeesConsistentValuesWhileTheWriterRuns) {
    CCountersWriter writer;
    std::string error, warning;
    ASSERT_TRUE(writer.Create(dir_, "app", "dev0", error, warning)) << error;
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
    std::string error, warning;
    CCountersWriter live;
    ASSERT_TRUE(live.Create(dir_, "app", "dev0", error, warning)) << error;
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
    const pid_t gone = DiedWriting("app", "dev1");
    const std::string deadPath = dir_ + "/vorn_r10.app.dev1.counters";
    const std::string unknown = dir_ + "/vorn_r10.1.dev2.counters";
    std::ofstream(unknown, std::ios::binary) << vorn_test::ReadFile(live.Path());
    const uint32_t version = 99;
    Patch(unknown, offsetof(SCountersHeader, layout_version), &version, sizeof version);
    const std::string pid = std::to_string(getpid()), goneText = std::to_string(gone);

    const std::string text = Stat({"--once"});
    EXPECT_EQ(0u, text.find("vorn_r10 app on dev0 (pid " + pid + ", started ")) << text;
    EXPECT_NE(std::string::npos, text.find("): running, software mode, card transport\n")) << text;
    EXPECT_NE(std::string::npos, text.find("  packets_parsed" + std::string(22, ' ') + "4\n")) << text;
    EXPECT_NE(std::string::npos, text.find("  trusted share                  75.00 %\n")) << text;
    EXPECT_NE(std::string::npos, text.find("latency recv_to_callback: p50 ")) << text;
    EXPECT_NE(std::string::npos, text.find("(4 samples, 1 frame in 1)")) << text;
    EXPECT_NE(std::string::npos,
              text.find("    IF2612                      4 updates, last 09:30:00.500, untrusted\n"));
    // No wire times yet: the span is not shown, nor a word on the card's clock; once sampled
    // frames had implausible wire times, both are, with the reason.
    EXPECT_EQ(std::string::npos, text.find("latency wire_to_callback")) << text;
    EXPECT_EQ(std::string::npos, text.find("wire clock")) << text;
    const uint64_t unsynced = 7;
    Patch(live.Path(), offsetof(SCountersHeader, values) + offsetof(SCounterValues, wire_clock_unsynced), &unsynced,
          sizeof unsynced);
    const std::string unsyncedText = Stat({"--once"});
    EXPECT_NE(std::string::npos, unsyncedText.find("  latency wire_to_callback: no samples yet\n")) << unsyncedText;
    EXPECT_NE(std::string::npos, unsyncedText.find("  wire clock             7 sampled frames had a wire time far from "
                                                   "the host's clock: the card's clock is not synchronised to the "
                                                   "host"))
        << unsyncedText;

    const std::string json = Stat({"--json", "dev0"});
    for (const char* part :
         {"\"name\":\"app\",\"pid\":", "\"device\":\"dev0\",\"transport\":\"card\",\"state\":\"running\",\"alive\":true,"
          "\"consistent\":true",
          "\"packets_parsed\":4,", "\"updates_untrusted\":1,", "\"kernel_drops\":0}", "\"trusted_share\":0.750000,",
          "{\"name\":\"recv_to_callback\",\"sample_every\":1,\"samples\":4,", "{\"name\":\"wire_to_callback\",",
          "\"instruments\":[{\"instrument_id\":\"IF2612\",\"inst_id\":1001,\"updates\":4,"
          "\"last_update\":\"09:30:00.500\",\"last_trust\":0}]}\n"})
        EXPECT_NE(std::string::npos, json.find(part)) << part << "\n" << json;
    // Without TARGET, the running connectors; with --all, the stale one too.
    EXPECT_EQ(1u, vorn_test::CountOf(Stat({"--json"}), "\"path\":"));
    EXPECT_EQ(2u, vorn_test::CountOf(Stat({"--json", "--all"}), "\"path\":"));

    const std::string prom = Stat({"--prometheus"});
    const std::string labels = "{program=\"app\",device=\"dev0\"";
    for (const std::string& line : std::vector<std::string>{
             std::string("# TYPE vorn_r10_packets_parsed_total counter\n"),
             "vorn_r10_packets_parsed_total" + labels + "} 4\n",
             "vorn_r10_info" + labels + ",pid=\"" + pid + "\",version=\"\",transport=\"card\",work_mode=\"software\"} 1\n",
             "# TYPE vorn_r10_recv_to_callback_seconds summary\n",
             "vorn_r10_recv_to_callback_seconds_count" + labels + "} 4\n",
             "# TYPE vorn_r10_wire_to_callback_seconds summary\n",
             "vorn_r10_wire_to_callback_seconds" + labels + ",quantile=\"0.99\"} NaN\n",
             "vorn_r10_wire_to_callback_seconds_count" + labels + "} 0\n",
             "vorn_r10_instrument_updates_total" + labels + ",instrument=\"IF2612\"} 4\n"})
        EXPECT_NE(std::string::npos, prom.find(line)) << line << prom;
    EXPECT_NE(std::string::npos, err_.find(unknown + ": counters layout version 99 is unknown to this reader, "
                                                     "which reads version 1"))
        << err_;

    EXPECT_NE(std::string::npos, Stat({"--list"}).find(" stale (process " + goneText + " is gone) "));
    EXPECT_EQ("removed " + deadPath + " (stale (process " + goneText + " is gone))\n", Stat({"--remove-stale"}));
    EXPECT_NE(0, access(deadPath.c_str(), F_OK));
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

TEST(CountersNames, FileNameParts) {
    for (const char* good : {"app", "desk-1", "md_feed.2", "A", "abcdefghijklmnopqrstuvwxyz01234"})
        EXPECT_TRUE(IsValidCountersName(good)) << good;
    for (const char* bad : {"", "a/b", "..", ".hidden", "desk 1", "a\nb", "naïve", "abcdefghijklmnopqrstuvwxyz012345"})
        EXPECT_FALSE(IsValidCountersName(bad)) << bad;
    EXPECT_EQ("counters_test", ProgramCountersName()); // this program's name
    EXPECT_EQ("/d/vorn_r10.app.exanic0.counters", CountersFilePath("/d", "app", "exanic0"));
    EXPECT_EQ("/d/vorn_r10.app.exanic0.4321.counters", CountersFilePath("/d/", "app", "exanic0", 4321));
    EXPECT_EQ("./vorn_r10.app.a_b_c.counters", CountersFilePath("", "app", "a/b c"));
}

// A start takes over the file its predecessor left, ended or died; a second live one of the
// same name and device, or a file it does not know, sends it to a name with its process id.
TEST_F(CountersFiles, OneFilePerConnectorAcrossStarts) {
    const std::string path = dir_ + "/vorn_r10.app.dev0.counters";
    const std::string pidPath = dir_ + "/vorn_r10.app.dev0." + std::to_string(getpid()) + ".counters";
    std::string error, warning;
    CCountersReader ended;
    {
        CCountersWriter first;
        ASSERT_TRUE(first.Create(dir_, "app", "dev0", error, warning)) << error;
        EXPECT_EQ(path, first.Path());
        EXPECT_EQ("", warning);
        first.SetRunState(COUNTERS_RUNNING);
        first.FrameBegin();
        first.FrameReceived();
        first.FrameEnd();
        {
            CCountersWriter second;
            ASSERT_TRUE(second.Create(dir_, "app", "dev0", error, warning)) << error;
            EXPECT_EQ(pidPath, second.Path());
            EXPECT_EQ(path + " belongs to a running process; counters go to " + pidPath, warning);
            EXPECT_EQ(1u, Read(pidPath).header.pid_in_name);
            EXPECT_EQ((std::vector<std::string>{"vorn_r10.app.dev0." + std::to_string(getpid()) + ".counters",
                                                "vorn_r10.app.dev0.counters"}),
                      Files());
        } // its normal end removes the file named with the process id
        EXPECT_EQ(std::vector<std::string>{"vorn_r10.app.dev0.counters"}, Files());
        EXPECT_EQ(COUNTERS_RUNNING, Read(path).header.startup.run_state);
    }
    ASSERT_TRUE(ended.Open(path, error)) << error; // a reader still mapping the ended file

    warning.clear();
    {
        CCountersWriter next;
        ASSERT_TRUE(next.Create(dir_, "app", "dev0", error, warning)) << error;
        EXPECT_EQ(path, next.Path());
        EXPECT_EQ("", warning);
        const SCountersSnapshot fresh = Read(path);
        EXPECT_EQ(COUNTERS_STARTING, fresh.header.startup.run_state);
        EXPECT_EQ(0u, fresh.header.values.frames_received);
        EXPECT_EQ(0u, fresh.header.pid_in_name);
        // The old reader keeps its copy whole: the new file took the name, the old one was not cut.
        SCountersSnapshot old;
        ASSERT_TRUE(ended.Read(old, error)) << error;
        EXPECT_EQ(COUNTERS_ENDED, old.header.startup.run_state);
        EXPECT_EQ(1u, old.header.values.frames_received);
    }

    // A process that died while running leaves its file unended and unlocked: taken over too.
    const pid_t died = DiedWriting("app", "dev0");
    EXPECT_EQ(died, Read(path).header.pid);
    warning.clear();
    {
        CCountersWriter next;
        ASSERT_TRUE(next.Create(dir_, "app", "dev0", error, warning)) << error;
        EXPECT_EQ(path, next.Path());
        EXPECT_EQ("", warning);
        EXPECT_EQ(getpid(), Read(path).header.pid);
    }
    EXPECT_EQ(std::vector<std::string>{"vorn_r10.app.dev0.counters"}, Files());
}

TEST_F(CountersFiles, ForeignFilesAndFoldersAreLeftAlone) {
    std::string error, warning;
    // A file of another layout version (or no counters file at all) under the name: left alone.
    const std::string path = dir_ + "/vorn_r10.app.dev0.counters";
    const std::string pidPath = dir_ + "/vorn_r10.app.dev0." + std::to_string(getpid()) + ".counters";
    {
        CCountersWriter older;
        ASSERT_TRUE(older.Create(dir_, "app", "dev0", error, warning)) << error;
    }
    const uint32_t version = 2;
    Patch(path, offsetof(SCountersHeader, layout_version), &version, sizeof version);
    const std::string before = vorn_test::ReadFile(path);
    for (const std::string& content : {before, std::string("not counters at all")}) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        CCountersWriter writer;
        warning.clear();
        ASSERT_TRUE(writer.Create(dir_, "app", "dev0", error, warning)) << error;
        EXPECT_EQ(pidPath, writer.Path());
        EXPECT_EQ(path + " is not a counters file of layout version 1 and is left alone; counters go to " + pidPath,
                  warning);
        EXPECT_EQ(content, vorn_test::ReadFile(path));
    }

    // A folder that cannot take the file: the counters stay private and keep counting.
    CCountersWriter writer;
    error.clear();
    EXPECT_FALSE(writer.Create(dir_ + "/missing", "app", "dev0", error, warning));
    EXPECT_EQ(dir_ + "/missing/vorn_r10.app.dev0.counters: No such file or directory", error);
    EXPECT_EQ("", writer.Path());
    writer.FrameBegin();
    writer.FrameReceived();
    writer.FrameEnd();
    EXPECT_EQ(1u, writer.Header().values.frames_received);
}

// One live connector among many ended and stale ones: the exposition holds the live one only,
// labelled by program and device, and Prometheus's own checker accepts it.
TEST_F(CountersFiles, PrometheusExpositionIsBoundedAndValid) {
    std::string error, warning;
    for (int i = 0; i < 12; ++i) {
        CCountersWriter ended;
        ASSERT_TRUE(ended.Create(dir_, "run" + std::to_string(i), "exanic0", error, warning)) << error;
        ended.SetRunState(COUNTERS_RUNNING);
    }
    for (int i = 0; i < 3; ++i) DiedWriting("crashed" + std::to_string(i), "exanic0");
    CCountersWriter live;
    ASSERT_TRUE(live.Create(dir_, "md-feed", "exanic0", error, warning)) << error;
    live.SetRunState(COUNTERS_RUNNING);
    ASSERT_TRUE(live.SetInstruments({{"IF2612", 1001}, {"IH2612", 1002}}, error)) << error;

    const std::string prom = Stat({"--prometheus"});
    size_t samples = 0;
    for (const std::string& line : vorn_test::LinesWith(prom)) {
        if (line.empty() || line[0] == '#') continue;
        ++samples;
        EXPECT_NE(std::string::npos, line.find("{program=\"md-feed\",device=\"exanic0\"")) << line;
        EXPECT_EQ(line.rfind("vorn_r10_info{", 0) == 0, line.find("pid=") != std::string::npos) << line;
    }
    // up, info, start time, 26 counters and gauges, last frame, 2 spans of 5 series, 2 instruments
    EXPECT_EQ(1u + 1 + 1 + 26 + 1 + 10 + 2, samples) << prom;
    EXPECT_NE(std::string::npos, prom.find("vorn_r10_start_time_seconds{program=\"md-feed\",device=\"exanic0\"} "));
    const std::string all = Stat({"--prometheus", "--all"});
    EXPECT_EQ(16u, vorn_test::CountOf(all, "vorn_r10_up{"));
    EXPECT_EQ(1u, vorn_test::CountOf(all, "vorn_r10_up{program=\"crashed2\",device=\"exanic0\"} 0\n"));

    if (system("command -v promtool >/dev/null") != 0)
        GTEST_SKIP() << "promtool (Debian package prometheus) is not installed: the exposition is not checked by it";
    for (const std::string& exposition : {prom, all}) {
        std::ofstream(dir_ + "/metrics.prom") << exposition;
        const pid_t check = vorn_test::Spawn({"/bin/sh", "-c", "promtool check metrics < " + dir_ + "/metrics.prom"},
                                             dir_ + "/out", dir_ + "/err");
        EXPECT_EQ(0, vorn_test::WaitExit(check, std::chrono::seconds(30)))
            << vorn_test::ReadFile(dir_ + "/out") << vorn_test::ReadFile(dir_ + "/err");
        EXPECT_EQ("", vorn_test::ReadFile(dir_ + "/out") + vorn_test::ReadFile(dir_ + "/err"));
    }
}

} // namespace
