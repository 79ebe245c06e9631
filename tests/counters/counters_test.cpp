// The counters file from both sides: consistent reads while the writer runs, files across
// starts, full and foreign folders, liveness from the writer's lock, and vorn-stat's output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

#include "child_process.h"
#include "connector_harness.h"
#include "counters_reader.h"
#include "counters_writer.h"
#include "golden_file.h"
#include "test_files.h"

namespace {

using namespace Vorn_R10;
using namespace vorn_test;

// One frame's counts: a delivered update or a foreign frame, `pause` run inside the frame.
void Frame(CCountersWriter& w, bool deliver, int64_t trust = 1, void (*pause)() = [] {}) {
    w.FrameBegin();
    w.FrameReceived();
    pause();
    if (deliver) w.FrameOfFeed(), w.PacketParsed(), w.Delivered(1001, 34200500, trust, true, true);
    else w.FrameDropped(DROP_FOREIGN);
    w.FrameEnd();
}

class CountersFiles : public ::testing::Test {
protected:
    // Runs vorn-stat with `args` (or `args` as a command line when it starts with a path);
    // returns its standard output, its standard error in err_.
    std::string Run(std::vector<std::string> args, int expectedExit = 0) {
        if (args.empty() || args[0][0] != '/') args.insert(args.begin(), {VORN_STAT_BIN, "--dir", dir_});
        const int code = WaitExit(Spawn(args, dir_ + "/out", dir_ + "/err"), std::chrono::seconds(30));
        err_ = ReadFile(dir_ + "/err");
        EXPECT_TRUE(expectedExit == kAnyExit || expectedExit == code) << code << " " << args.back() << err_;
        return ReadFile(dir_ + "/out");
    }
    static constexpr int kAnyExit = -1000;
    // The path of a file whose writer (a child process) died while running.
    std::string DiedWriting(const std::string& name, const std::string& device) {
        EXPECT_EQ(0, RunForked([&] {
            CCountersWriter writer;
            std::string error;
            if (!writer.Create(dir_, name, device, error, warning_)) return 1;
            writer.SetRunState(COUNTERS_RUNNING), _exit(0); // no destructor: the file stays as a crash leaves it
        }, std::chrono::seconds(10)));
        return CountersFilePath(dir_, name, device);
    }
    // Moves `w`'s counters into the folder; its warning in warning_.
    void Make(CCountersWriter& w, const std::string& name = "app", const std::string& device = "dev0") {
        warning_.clear();
        std::string error;
        ASSERT_TRUE(w.Create(dir_, name, device, error, warning_)) << error;
    }
    static SCountersFile Read(const std::string& path, std::string error = "") {
        SCountersFile file;
        EXPECT_TRUE(ReadCountersFile(path, file, error)) << error;
        return file;
    }

    TempDir temp_;
    const std::string dir_ = temp_.Path();
    std::string err_, warning_;
};

TEST_F(CountersFiles, ReaderSeesConsistentValuesWhileTheWriterRuns) {
    CCountersWriter writer;
    Make(writer);
    CCountersReader reader;
    std::string error;
    SCountersSnapshot s{};
    const bool opened = reader.Open(writer.Path(), error);
    // Read from inside a frame, where the writer has the sequence odd: never consistent.
    static std::pair<CCountersReader*, SCountersSnapshot*> inside;
    inside = {&reader, &s};
    Frame(writer, true, 1, [] { std::string e; inside.first->Read(*inside.second, e); });
    EXPECT_FALSE(s.consistent);
    std::atomic<bool> stop{false};
    std::thread frames([&] {
        // Pauses inside and between frames: a reader ignoring the bracket would see half frames.
        const auto pause = [] { for (volatile int n = 0; n < 50; n = n + 1) {} };
        for (uint64_t i = 0; !stop.load(std::memory_order_relaxed); ++i) {
            Frame(writer, i % 3 != 0, 1, pause), pause();
#if defined(__SANITIZE_THREAD__)
            // Instrumented, the reader's copy of the file outlasts many frames: it needs gaps.
            if (i % 32 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
#endif
        }
    });
    uint64_t last = 0, consistent = 0, torn = 0;
    // At least 300 ms, and until 100 consistent cuts were seen (at most 20 s).
    const auto start = std::chrono::steady_clock::now();
    for (auto now = start; opened && (now < start + std::chrono::milliseconds(300) ||
                                      (consistent <= 100 && now < start + std::chrono::seconds(20)));
         now = std::chrono::steady_clock::now()) {
        if (!reader.Read(s, error) || !s.consistent) continue;
        ++consistent;
        const SCounterValues& v = s.header.values;
        torn += v.frames_received != v.frames_feed + v.dropped_foreign || v.frames_feed != v.packets_parsed ||
                v.packets_parsed != v.updates || v.frames_received < last;
        last = v.frames_received;
    }
    stop = true, frames.join();
    EXPECT_TRUE(opened) << error;
    EXPECT_EQ(0u, torn);
    EXPECT_GT(consistent, 100u);
}

// Fixes what changes from run to run (process id, clock, latencies), for the golden file.
void Pin(const std::string& path, int64_t pid, uint64_t unsynced = 0) {
    const int fd = open(path.c_str(), O_RDWR);
    void* block = mmap(nullptr, sizeof(SCountersHeader), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(MAP_FAILED, block);
    close(fd);
    SCountersHeader& h = *static_cast<SCountersHeader*>(block);
    h.pid = pid;
    h.ticks_per_second = 1000000000, h.anchor_ticks = 0; // a tick is a nanosecond
    h.anchor_realtime_ns = 1765000000LL * 1000000000LL + 250000000;
    h.values.last_frame_tsc = h.values.last_frame_tsc ? 5000000000 : 0;
    h.values.wire_clock_unsynced = unsynced;
    SLatencyHistogram& recv = h.histograms[HISTOGRAM_RECV_TO_CALLBACK] = SLatencyHistogram{};
    recv.sample_every = 1;
    for (uint64_t n = 1; n <= h.values.updates; ++n, ++recv.count) // one sample per update: 1, 4, 9, 16 ... us
        ++recv.buckets[HistogramBucketOf(recv.max_ticks = n * n * 1000)], recv.sum_ticks += recv.max_ticks;
    munmap(block, sizeof(SCountersHeader));
}

// A folder with a running connector, an ended one, a dead one, a file of an unknown layout and a
// start's leftover temporary file: every format against the golden file (also from another PID
// namespace); the JSON parsed, the exposition checked by promtool.
TEST_F(CountersFiles, VornStatInEachFormat) {
    setenv("TZ", "UTC", 1);
    CCountersWriter live;
    Make(live);
    live.SetRunState(COUNTERS_RUNNING), live.SetWorkMode(1), live.SetLatencySampling(1);
    live.SetVersions("1.4.0", 0x20261130, 1), live.SetSnapshot("/tmp/.20261216_V2.bin", 20261216);
    std::string error;
    ASSERT_TRUE(live.SetInstruments({{"IF2612", 1001}, {"IH2612", 1002}}, error)) << error;
    for (int i = 0; i < 5; ++i) Frame(live, i != 2, i < 3 ? 1 : 0);
    Pin(live.Path(), 4242, 7);
    { CCountersWriter ended; Make(ended, "eod"); ended.SetRunState(COUNTERS_RUNNING); ended.SetTransport(TRANSPORT_SOCKET); }
    Pin(CountersFilePath(dir_, "eod", "dev0"), 4343);
    Pin(DiedWriting("app", "dev1"), 4444);
    std::string bytes = ReadFile(live.Path());
    bytes[offsetof(SCountersHeader, layout_version)] = 99;
    std::ofstream(dir_ + "/vorn_r10.old.dev2.counters", std::ios::binary) << bytes;
    std::ofstream(live.Path() + ".4545.1f.tmp") << "a start that died before its rename";

    std::string all;
    std::vector<std::string> outputs;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--once"}, {"--once", "dev1"}, {"--list"}, {"--json", "--all"}, {"--prometheus"}, {"--prometheus", "--all"},
             {"--remove-stale"}, {"--json", "dev0"}, {"--bogus"}}) {
        outputs.push_back(Run(args, args[0] == "--bogus" ? 2 : 0));
        all += "== vorn-stat";
        for (const std::string& arg : args) all += " " + arg;
        all += "\n" + outputs.back() + (err_.empty() ? "" : "-- stderr\n" + err_);
        std::ofstream(dir_ + "/" + std::to_string(outputs.size() - 1) + ".txt") << outputs.back();
    }
    for (size_t at; (at = all.find(dir_)) != std::string::npos;) all.replace(at, dir_.size(), "DIR");
    ExpectGolden(all, VORN_STAT_GOLDEN);
    EXPECT_EQ((std::vector<std::string>{"vorn_r10.app.dev0.counters", "vorn_r10.old.dev2.counters"}), FilesIn(dir_, kCountersFilePrefix));

    // The live view refreshes with rates beside the totals until interrupted.
    const pid_t view = Spawn({VORN_STAT_BIN, "--dir", dir_, "--interval", "0.1", "dev0"}, dir_ + "/out", dir_ + "/err");
    const auto rates = [&] { return ReadFile(dir_ + "/out").find("total          per s\n") != std::string::npos; };
    const bool shown = WaitFor(rates);
    kill(view, SIGINT);
    EXPECT_EQ(0, WaitExit(view, std::chrono::seconds(5)));
    EXPECT_TRUE(shown);

    // Liveness is the writer's lock: the same from another PID namespace.
    const std::string elsewhere = Run({"/usr/bin/unshare", "--map-root-user", "--pid", "--fork", "--mount-proc",
                                       VORN_STAT_BIN, "--dir", dir_, "--json", "dev0"}, kAnyExit);
    EXPECT_EQ(outputs[7], err_.find("unshare:") == 0 ? outputs[7] : elsewhere) << "(no PID namespace: not tested)";
    Run({"/usr/bin/python3", "-c", "import json,sys\nfor line in open(sys.argv[1]): json.loads(line)", dir_ + "/3.txt"});
    if (system("command -v promtool >/dev/null") != 0)
        GTEST_SKIP() << "promtool (Debian package prometheus) is not installed: the exposition is not checked by it";
    for (const char* file : {"/4.txt", "/5.txt"})
        EXPECT_EQ("", Run({"/bin/sh", "-c", "promtool check metrics < " + dir_ + file + " 2>&1"}));
}

TEST(CountersNames, FileNameParts) {
    for (const char* good : {"app", "desk-1", "md_feed.2", "A", "abcdefghijklmnopqrstuvwxyz01234"})
        EXPECT_TRUE(IsValidCountersName(good)) << good;
    for (const char* bad : {"", "a/b", "..", ".hidden", "desk 1", "a\nb", "naïve", "abcdefghijklmnopqrstuvwxyz012345"})
        EXPECT_FALSE(IsValidCountersName(bad)) << bad;
    EXPECT_EQ("counters_test", ProgramCountersName()); // this program's name
    EXPECT_EQ("/d/vorn_r10.app.exanic0.4321.counters", CountersFilePath("/d/", "app", "exanic0", 4321));
    EXPECT_EQ("./vorn_r10.app.a_b_c.counters", CountersFilePath("", "app", "a/b c"));
}

// A start takes over its predecessor's file, ended or died, with counters of its own (a reader
// of the old file keeps it whole); a second live one goes to a name with its process id.
TEST_F(CountersFiles, OneFilePerConnectorAcrossStarts) {
    const std::string path = CountersFilePath(dir_, "app", "dev0"), pidPath = CountersFilePath(dir_, "app", "dev0", getpid());
    CCountersReader ended;
    std::string error;
    {
        CCountersWriter first, second;
        Make(first);
        struct stat st {};
        EXPECT_EQ(0640u, stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0);
        Frame(first, false);
        Make(second);
        EXPECT_EQ(path + " belongs to a running process; counters go to " + pidPath, warning_);
        EXPECT_EQ(1u, Read(pidPath).snapshot.header.pid_in_name);
        ASSERT_TRUE(ended.Open(path, error)) << error;
    }
    EXPECT_EQ(std::vector<std::string>{"vorn_r10.app.dev0.counters"}, FilesIn(dir_, kCountersFilePrefix));
    for (const bool died : {false, true}) {
        if (died) DiedWriting("app", "dev0");
        CCountersWriter next;
        Make(next);
        const SCountersHeader fresh = Read(path).snapshot.header;
        EXPECT_EQ(path + "|0 0 " + std::to_string(getpid()), next.Path() + "|" + warning_ + std::to_string(fresh.startup.run_state) + " " +
                      std::to_string(fresh.values.frames_received) + " " + std::to_string(fresh.pid));
    }
    SCountersSnapshot old;
    ASSERT_TRUE(ended.Read(old, error)) << error;
    EXPECT_EQ(COUNTERS_ENDED, old.header.startup.run_state);
    EXPECT_EQ(1u, old.header.values.frames_received);
    // A lock held briefly (by a removal checking the file; here 30 ms) is waited for.
    const int held = open(path.c_str(), O_RDWR);
    ASSERT_TRUE(LockCountersFile(held));
    std::thread release([&] { std::this_thread::sleep_for(std::chrono::milliseconds(30)), close(held); });
    CCountersWriter next;
    Make(next);
    release.join();
    EXPECT_EQ(path + "|", next.Path() + "|" + warning_);
}

// A foreign file under the name is left alone; without a folder the counters stay private.
TEST_F(CountersFiles, ForeignFilesAndFoldersAreLeftAlone) {
    const std::string path = CountersFilePath(dir_, "app", "dev0");
    std::string version = std::string(sizeof(SCountersHeader), '\0');
    memcpy(&version[0], &kCountersMagic, sizeof kCountersMagic);
    version[offsetof(SCountersHeader, layout_version)] = 2;
    for (const std::string& content : {version, std::string("not counters at all")}) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        CCountersWriter writer;
        Make(writer);
        EXPECT_EQ(path + " is not a counters file of layout version 1 and is left alone; counters go to " +
                      writer.Path(), warning_);
        EXPECT_EQ(content, ReadFile(path));
    }
    CCountersWriter writer;
    std::string error;
    EXPECT_FALSE(writer.Create(dir_ + "/missing", "app", "dev0", error, warning_));
    EXPECT_EQ(dir_ + "/missing/vorn_r10.app.dev0.counters: No such file or directory|", error + "|" + writer.Path());
    Frame(writer, false);
    EXPECT_EQ(1u, writer.Header().values.frames_received);
}

void Fill(const std::string& dir) {
    std::ofstream out(dir + "/filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (out.write(block.data(), block.size()) && out.flush()) {}
}

// A full tmpfs (in a mount namespace of the test's own): the file cannot be made nor grow, and
// the writer counts privately, where pages only sized, not reserved, would raise SIGBUS.
TEST_F(CountersFiles, FullFolderGivesPrivateCountersNotACrash) {
    const int result = RunForked(
        [&] {
            if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("vorn_test", dir_.c_str(), "tmpfs", 0, "size=256k") != 0)
                return 77;
            std::string error;
            Fill(dir_);
            CCountersWriter full, growing;
            EXPECT_FALSE(full.Create(dir_, "app", "dev0", error, warning_));
            EXPECT_NE(std::string::npos, error.find("No space left on device")) << error;
            EXPECT_EQ(std::vector<std::string>{"filler"}, FilesIn(dir_)); // nothing left behind
            unlink((dir_ + "/filler").c_str());
            EXPECT_TRUE(growing.Create(dir_, "app", "dev0", error, warning_)) << error;
            Fill(dir_);
            EXPECT_FALSE(growing.SetInstruments(std::vector<SInstrumentName>(4000, {"IF2612", 1001}), error));
            for (CCountersWriter* writer : {&full, &growing}) {
                Frame(*writer, true);
                EXPECT_EQ(1u, writer->Header().values.updates);
            }
            fflush(nullptr);
            return ::testing::Test::HasFailure() ? 1 : 0;
        },
        std::chrono::seconds(30));
    if (result == 77) GTEST_SKIP() << "no private mount namespace with a tmpfs allowed here: not tested";
    EXPECT_EQ(0, result) << "-1: the writer died (SIGBUS)";
}

// Every start keeps its name (a removal's lock is brief) and its file while it lives.
TEST_F(CountersFiles, RemovalsRacingStartsNeverTakeALiveFile) {
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> removed{0};
    std::thread remover([&] {
        while (!stop) {
            std::vector<std::string> paths = FindCountersFiles(dir_), temporaries = FindCountersTemporaries(dir_);
            paths.insert(paths.end(), temporaries.begin(), temporaries.end());
            std::string error;
            for (const std::string& path : paths) removed += RemoveUnlockedFile(path, error) == ERemoval::removed;
        }
    });
    int moved = 0, lost = 0;
    for (int start = 0; start < 300; ++start) {
        CCountersWriter writer;
        std::string error;
        moved += !writer.Create(dir_, "app", "dev0", error, warning_) || writer.Path() != dir_ + "/vorn_r10.app.dev0.counters";
        for (int look = 0; look < 3; ++look, std::this_thread::yield()) {
            SCountersFile file;
            lost += !ReadCountersFile(writer.Path(), file, error) || file.snapshot.header.anchor_ticks != writer.Header().anchor_ticks;
        }
    }
    stop = true, remover.join();
    EXPECT_EQ(0, moved) << warning_;
    EXPECT_EQ(0, lost);
    EXPECT_GT(removed.load(), 10u);
}

} // namespace
