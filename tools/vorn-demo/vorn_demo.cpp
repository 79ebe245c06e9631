// vorn-demo: the library at work without a card. Each work mode runs in its own child process
// (the connector is one per process): the process plays a synthetic CFFEX session onto a
// simulated card (the "exchange" side) and runs a small application on the library's public
// interface (the "application" side), shows a live ticker and ends with a summary.
#include <signal.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <thread>
#include <vector>

#include "FpgaStruct.h"
#include "counters_reader.h"
#include "demo_app.h"
#include "demo_feed.h"
#include "private_folder.h"
#include "synthetic_session.h"
#include "tool_version.h"
#include "vorn_sim_card.h"

namespace {

using namespace vorn_demo;
using Clock = std::chrono::steady_clock;

const std::vector<std::string> kWatched = {"IF2612", "IC2612", "T2703", "TS2703", "IO2612-C-4000"};

struct Options {
    double seconds = 12;
    int rate = 5000;
    std::string mode;               // "software" or "hardware": run that mode in this process
    std::string transport = "card"; // "socket": the software part through kernel UDP on loopback
    bool keep = false;              // keep each mode's folder (log, counters, library output)
};

std::atomic<bool> g_interrupted{false};
void OnInterrupt(int) { g_interrupted.store(true); }

void Usage(FILE* out) {
    fprintf(out, "usage: vorn-demo [--seconds S] [--rate PACKETS_PER_SECOND] [--mode software|hardware]\n"
                 "                 [--transport card|socket] [--keep] [--version]\n"
                 "  Plays a synthetic trading session through a simulated card into an application of\n"
                 "  the library, in software mode and then in hardware mode (each S seconds, default 12).\n"
                 "  --transport socket  the software part as UDP datagrams to 127.0.0.1 through the kernel\n"
                 "                      (the library's socket transport) instead of the simulated card\n"
                 "  --keep              keep each mode's folder in $TMPDIR or /tmp (the library's log,\n"
                 "                      counters file and output) and print its paths; removed otherwise\n");
}

bool BadValue(const std::string& option, const char* value, const char* wanted) {
    fprintf(stderr, "vorn-demo: %s wants %s, not '%s'\n", option.c_str(), wanted, value);
    return false;
}

bool ParseArgs(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            options.seconds = atof(argv[++i]);
            if (!(options.seconds > 0 && options.seconds <= 3600)) return BadValue(arg, argv[i], "0 to 3600");
        } else if (arg == "--rate" && i + 1 < argc) {
            options.rate = atoi(argv[++i]);
            if (options.rate < 1 || options.rate > 1000000) return BadValue(arg, argv[i], "1 to 1000000");
        } else if (arg == "--mode" && i + 1 < argc) {
            options.mode = argv[++i];
            if (options.mode != "software" && options.mode != "hardware")
                return BadValue(arg, argv[i], "software or hardware");
        } else if (arg == "--transport" && i + 1 < argc) {
            options.transport = argv[++i];
            if (options.transport != "card" && options.transport != "socket")
                return BadValue(arg, argv[i], "card or socket");
        } else if (arg == "--keep") {
            options.keep = true;
        } else if (arg == "-h" || arg == "--help") {
            Usage(stdout);
            exit(0);
        } else if (arg == "--version") {
            vorn_tools::PrintVersion("vorn-demo");
            exit(0);
        } else {
            fprintf(stderr, "vorn-demo: bad argument '%s'\n", arg.c_str());
            return false;
        }
    }
    return true;
}

// ---- formatting -------------------------------------------------------------------------

std::string Price(int64_t thousandths) {
    char text[32];
    const char* sign = thousandths < 0 ? "-" : "";
    const unsigned long long magnitude = thousandths < 0 ? 0ULL - static_cast<unsigned long long>(thousandths)
                                                         : static_cast<unsigned long long>(thousandths);
    snprintf(text, sizeof text, "%s%llu.%03llu", sign, magnitude / 1000, magnitude % 1000);
    return text;
}

std::string TimeOfDay(int64_t seconds, int32_t msec) {
    char text[32];
    snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03d", static_cast<long long>(seconds / 3600),
             static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60), msec);
    return text;
}

double Share(uint64_t part, uint64_t whole) {
    return whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0;
}

std::string QuoteLine(const Quote& q) {
    char text[256];
    if (q.updates == 0) {
        snprintf(text, sizeof text, "  %-14s (no update yet)", q.instrument_id.c_str());
        return text;
    }
    snprintf(text, sizeof text, "  %-14s %s  last %10s  bid %10s x %-4d ask %10s x %-4d vol %-8d %s",
             q.instrument_id.c_str(), TimeOfDay(q.update_time, q.update_msec).c_str(), Price(q.last_price).c_str(),
             Price(q.bid1_price).c_str(), q.bid1_volume, Price(q.ask1_price).c_str(), q.ask1_volume, q.volume,
             q.trust_flag == 1 ? "trusted" : "NOT TRUSTED");
    return text;
}

std::string StatusLine(const char* mode, double elapsed, const FeedStats& feed, const AppCounters& app) {
    char text[256];
    snprintf(text, sizeof text,
             "%s mode  %5.1f s  sent %llu  lost on purpose %llu  updates v2 %llu v1 %llu  trusted %.1f%%", mode,
             elapsed, static_cast<unsigned long long>(feed.sent.load()),
             static_cast<unsigned long long>(feed.dropped.load()), static_cast<unsigned long long>(app.v2),
             static_cast<unsigned long long>(app.v1), Share(app.trusted, app.v2));
    return text;
}

// Redraws the status and quote lines in place on a terminal; elsewhere prints one compact
// line per second.
class Ticker {
public:
    Ticker(FILE* screen, const char* mode) : screen_(screen), mode_(mode), tty_(isatty(fileno(screen))) {}

    void Tick(double elapsed, const FeedStats& feed, const DemoApp& app) {
        if (tty_) {
            Redraw(elapsed, feed, app);
        } else if (elapsed >= nextLine_) {
            nextLine_ += 1.0;
            PrintLine(elapsed, feed, app);
        }
        fflush(screen_);
    }
    bool IsTerminal() const { return tty_; }
    int PeriodMs() const { return tty_ ? 250 : 100; }

private:
    void Redraw(double elapsed, const FeedStats& feed, const DemoApp& app) {
        const std::vector<Quote> quotes = app.Quotes();
        if (linesDrawn_) fprintf(screen_, "\033[%dA", linesDrawn_);
        fprintf(screen_, "%s\033[K\n", StatusLine(mode_, elapsed, feed, app.Counters()).c_str());
        for (const Quote& q : quotes) fprintf(screen_, "%s\033[K\n", QuoteLine(q).c_str());
        linesDrawn_ = 1 + static_cast<int>(quotes.size());
    }
    void PrintLine(double elapsed, const FeedStats& feed, const DemoApp& app) {
        const AppCounters counters = app.Counters();
        std::string line;
        char head[160];
        snprintf(head, sizeof head, "[%4.1fs] sent %llu  updates %llu  trusted %.1f%% |", elapsed,
                 static_cast<unsigned long long>(feed.sent.load()), static_cast<unsigned long long>(counters.v2),
                 Share(counters.trusted, counters.v2));
        line = head;
        for (const Quote& q : app.Quotes()) {
            if (q.updates == 0) continue;
            line += " " + q.instrument_id + " " + Price(q.bid1_price) + "/" + Price(q.ask1_price);
        }
        fprintf(screen_, "%s\n", line.c_str());
    }

    FILE* screen_;
    const char* mode_;
    bool tty_;
    int linesDrawn_ = 0;
    double nextLine_ = 1.0;
};

// The simulated card of this process.
std::string DeviceName() { return "vorn_demo_" + std::to_string(getpid()); }

// ---- the log ----------------------------------------------------------------------------

std::string LogFileIn(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return {};
    std::string found;
    while (const dirent* entry = readdir(d))
        if (strncmp(entry->d_name, "Vorn_R10_", 9) == 0) found = dir + "/" + entry->d_name;
    closedir(d);
    return found;
}

// ---- summary ----------------------------------------------------------------------------

std::string Micros(double ns) {
    char text[32];
    snprintf(text, sizeof text, "%.1f us", ns / 1000.0);
    return text;
}

// What the application measured: the simulated card's put stamp to the callback.
void PrintEndToEnd(FILE* screen, std::vector<uint32_t> samples, const char* port) {
    if (samples.empty()) {
        fprintf(screen, "  latency           no samples\n");
        return;
    }
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) { return samples[std::min(samples.size() - 1, static_cast<size_t>(q * samples.size()))]; };
    fprintf(screen,
            "  frame put -> callback   p50 %s   p99 %s   p99.9 %s   max %s  (application, %zu updates, port %s)\n",
            Micros(at(0.50)).c_str(), Micros(at(0.99)).c_str(), Micros(at(0.999)).c_str(),
            Micros(samples.back()).c_str(), samples.size(), port);
}

// One of the library's latency histograms as a summary line; nothing without samples.
void PrintHistogram(FILE* screen, const Vorn_R10::SCountersHeader& h, uint32_t slot, const char* label,
                    const char* what) {
    const Vorn_R10::SLatencyHistogram& hist = h.histograms[slot];
    if (!hist.count) return;
    const auto at = [&](double q) { return Micros(Vorn_R10::TicksToNs(h, Vorn_R10::HistogramPercentile(hist, q))); };
    fprintf(screen, "  %-22s  p50 %s   p99 %s   p99.9 %s   max %s  (%s, %llu samples)\n", label, at(0.50).c_str(),
            at(0.99).c_str(), at(0.999).c_str(), Micros(Vorn_R10::TicksToNs(h, hist.max_ticks)).c_str(), what,
            static_cast<unsigned long long>(hist.count));
}

// The library's own share from its counters (the receive call's return to the last callback's
// return), and wire (or kernel) to callback: the card's (or the kernel's) receive time to the same return.
void PrintLibraryShare(FILE* screen, const Vorn_R10::SCountersHeader& h, bool socket) {
    PrintHistogram(screen, h, Vorn_R10::HISTOGRAM_RECV_TO_CALLBACK, "take -> callback", "library's own share");
    PrintHistogram(screen, h, Vorn_R10::HISTOGRAM_WIRE_TO_CALLBACK, socket ? "kernel -> callback" : "wire -> callback",
                   socket ? "kernel receive time" : "card timestamp: the put here");
    if (h.values.wire_clock_unsynced)
        fprintf(screen, "  wire clock          %llu measured frames had a wire time that is no plausible host time\n",
                static_cast<unsigned long long>(h.values.wire_clock_unsynced));
    if (!h.histograms[Vorn_R10::HISTOGRAM_RECV_TO_CALLBACK].count) return;
    if (socket)
        fprintf(screen,
                "  kernel -> callback includes the datagram's wait in its socket and the receive thread's\n"
                "  scheduling on this %d-core machine; take -> callback is the library's own time.\n",
                get_nprocs());
    else
        fprintf(screen,
                "  put -> callback is dominated by the producer's put, the cross-core transfer, two clock reads\n"
                "  and the scheduler on this %d-core machine; take -> callback is the library's own time.\n",
                get_nprocs());
}

void PrintSummary(FILE* screen, const char* mode, bool hardware, uint16_t udpPort, const FeedStats& feed,
                  const DemoApp& app, const std::string& dir, double seconds, bool keep) {
    fprintf(screen, "\n%s mode summary (%.1f s)\n", mode, seconds);
    if (udpPort)
        fprintf(screen, "  transport         socket (kernel UDP, datagrams to 127.0.0.1:%u)\n", udpPort);
    else
        fprintf(screen, "  transport         card (simulated ExaNIC, port %s)\n", hardware ? "1" : "0");
    fprintf(screen, "  packets sent      %llu (lost on purpose %llu, reordered on purpose %llu)\n",
            static_cast<unsigned long long>(feed.sent.load()), static_cast<unsigned long long>(feed.dropped.load()),
            static_cast<unsigned long long>(feed.reordered.load()));
    const std::string countersPath = Vorn_R10::CountersFilePath(dir, Vorn_R10::ProgramCountersName(), DeviceName());
    Vorn_R10::CCountersReader reader;
    Vorn_R10::SCountersSnapshot counters;
    std::string error;
    if (!reader.Open(countersPath, error) || !reader.Read(counters, error)) {
        fprintf(screen, "  library counters  unavailable: %s\n", error.c_str());
        if (!udpPort) PrintEndToEnd(screen, app.Latencies(), hardware ? "1" : "0");
        return;
    }
    const Vorn_R10::SCounterValues& v = counters.header.values;
    const auto n = [](uint64_t x) { return static_cast<unsigned long long>(x); };
    fprintf(screen, "  updates delivered %llu (v2 %llu, v1 %llu; one per packet received: %s)\n", n(v.updates),
            n(v.updates_v2), n(v.updates_v1),
            v.updates_v2 == feed.sent.load() && v.updates_v1 == v.updates_v2 ? "yes" : "NO");
    if (hardware) {
        fprintf(screen, "  records           %llu from the firmware; %llu lost messages reported as events\n",
                n(v.hw_records), n(v.hw_loss_events));
    } else {
        fprintf(screen, "  packets parsed    %llu (stale %llu) from %llu frames of the feed\n", n(v.packets_parsed),
                n(v.packets_stale), n(v.frames_feed));
        fprintf(screen,
                "  gaps              %llu detected, %llu filled by a late packet, %llu given up (reorder list at most "
                "%llu)\n",
                n(v.gaps_detected), n(v.gaps_filled), n(v.gaps_given_up), n(v.reorder_high_water));
        if (udpPort)
            fprintf(screen, "  kernel drops      %llu datagrams (socket receive buffer full)\n", n(v.kernel_drops));
    }
    fprintf(screen, "  trusted updates   %.2f%%%s\n", Share(v.updates - v.updates_untrusted, v.updates),
            hardware ? " (as the card reports)" : " (a loss distrusts every book until all its levels are refreshed)");
    if (!udpPort) PrintEndToEnd(screen, app.Latencies(), hardware ? "1" : "0");
    PrintLibraryShare(screen, counters.header, udpPort != 0);
    if (!keep) return;
    fprintf(screen, "  counters          %s (vorn-stat --dir %s)\n", countersPath.c_str(), dir.c_str());
    const std::string logPath = LogFileIn(dir);
    fprintf(screen, "  log               %s\n", logPath.empty() ? "(none)" : logPath.c_str());
    fprintf(screen, "  library stdout    %s/library_stdout.txt\n", dir.c_str());
}

// The log's error lines, for a start-up that failed in a folder that is not kept.
void PrintLogErrors(FILE* screen, const std::string& dir) {
    FILE* log = fopen(LogFileIn(dir).c_str(), "re");
    if (!log) return;
    char line[1024];
    while (fgets(line, sizeof line, log))
        if (strstr(line, " [E]")) fputs(line, screen);
    fclose(log);
}

// Removes the mode's folder when it goes out of scope, unless it is kept.
struct FolderCleanup {
    const std::string& dir;
    bool keep;
    ~FolderCleanup() {
        if (!keep && !vorn_tools::RemovePrivateFolder(dir))
            fprintf(stderr, "vorn-demo: could not remove %s\n", dir.c_str());
    }
};

// ---- one mode ---------------------------------------------------------------------------

// Keeps the demo's own output on a copy of standard output and sends the library's echo of
// its log lines to a file: the log file holds them anyway.
FILE* DivertLibraryOutput(const std::string& dir) {
    fflush(stdout);
    const int screenFd = dup(STDOUT_FILENO);
    const int sink = open((dir + "/library_stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (screenFd < 0 || sink < 0 || dup2(sink, STDOUT_FILENO) < 0) return nullptr;
    close(sink);
    FILE* screen = fdopen(screenFd, "w");
    if (screen) setvbuf(screen, nullptr, _IOLBF, 0);
    return screen;
}

// Start-up is over at its last register write on the card, or (socket transport, no card)
// when the counters say the receive loop runs.
bool WaitForStartUp(vorn_sim_card_t* card, bool hardware, const std::string& countersPath, const DemoApp& app) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
    const uint32_t doneRegister = hardware ? TABLE_END_FLAG : SOFT_HW_SW;
    while (Clock::now() < deadline) {
        if (app.Finished()) return false;
        if (vorn_sim_read_reg(card, doneRegister) == 1) return true;
        Vorn_R10::CCountersReader reader;
        Vorn_R10::SCountersSnapshot counters;
        std::string error;
        if (reader.Open(countersPath, error) && reader.Read(counters, error) &&
            counters.header.startup.run_state == Vorn_R10::COUNTERS_RUNNING)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

int RunMode(const Options& options) {
    const bool hardware = options.mode == "hardware";
    const char* mode = hardware ? "hardware" : "software";
    const std::string dir = vorn_tools::MakePrivateFolder("vorn_demo_");
    if (dir.empty()) {
        perror("vorn-demo: mkdtemp");
        return 1;
    }
    const FolderCleanup cleanup{dir, options.keep};
    const std::string device = DeviceName();
    FILE* screen = DivertLibraryOutput(dir);
    if (!screen) {
        perror("vorn-demo: redirecting standard output");
        return 1;
    }
    if (vorn_sim_create(device.c_str()) != 0) {
        fprintf(screen, "vorn-demo: cannot create the simulated card: %s\n", vorn_sim_last_error());
        return 1;
    }
    vorn_sim_card_t* card = vorn_sim_open(device.c_str());

    vorn_sim::SessionConfig config;
    config.seed = 7;
    config.encrypted = true;
    config.code_segment = hardware ? 0 : -1; // a known segment selects hardware mode
    // The socket transport: the feed's channel is 127.0.0.1 on a free port, sent from 127.0.0.1.
    const uint16_t udpPort = !hardware && options.transport == "socket" ? FreeLoopbackPort() : 0;
    if (!hardware && options.transport == "socket" && udpPort == 0) {
        fprintf(screen, "vorn-demo: no free UDP port on 127.0.0.1\n");
        return 1;
    }
    if (udpPort) {
        config.source_ip = config.group_ip = "127.0.0.1";
        config.port = udpPort;
    }
    vorn_sim::SyntheticSession session(config);

    if (udpPort)
        fprintf(screen,
                "\n== %s mode: kernel sockets, datagrams to 127.0.0.1:%u, %s decryption, %d packets/s for %.0f s ==\n",
                mode, udpPort, "software (the exchange's code segment)", options.rate, options.seconds);
    else
        fprintf(screen, "\n== %s mode: card %s, %s decryption, %d packets/s for %.0f s ==\n", mode, device.c_str(),
                hardware ? "firmware (known segment 0)" : "software (the exchange's code segment)", options.rate,
                options.seconds);
    SnapshotLock lock;
    const std::string configPath = WriteConfig(dir, device, udpPort ? "socket" : "card");
    const std::string countersPath = Vorn_R10::CountersFilePath(dir, Vorn_R10::ProgramCountersName(), device);
    if (!lock.Acquire(screen) || !session.Snapshot().WriteFile(vorn_sim::SnapshotWriter::TodayPath()) ||
        configPath.empty()) {
        fprintf(screen, "vorn-demo: cannot write today's snapshot %s or the configuration\n",
                vorn_sim::SnapshotWriter::TodayPath().c_str());
        vorn_sim_remove(device.c_str());
        return 1;
    }

    DemoApp app(kWatched, hardware ? 1 : 0);
    app.Start(configPath);
    const bool started = WaitForStartUp(card, hardware, countersPath, app);
    // The snapshot is read at start-up only: the demo's day file goes, then the lock.
    unlink(vorn_sim::SnapshotWriter::TodayPath().c_str());
    lock.Release();
    if (!started) {
        app.Stop();
        fprintf(screen, "vorn-demo: the connector did not start (%d)%s%s\n", app.Result(),
                options.keep ? "; log: " : "", options.keep ? LogFileIn(dir).c_str() : "");
        if (!options.keep) PrintLogErrors(screen, dir);
        vorn_sim_close(card);
        vorn_sim_remove(device.c_str());
        return 1;
    }

    FeedPlan plan;
    plan.seconds = options.seconds;
    plan.packetsPerSecond = options.rate;
    plan.hardware = hardware;
    plan.udpPort = udpPort;
    FeedStats feed;
    const Clock::time_point start = Clock::now();
    std::thread producer([&] { PlayFeed(device, session, plan, g_interrupted, feed); });
    Ticker ticker(screen, mode);
    std::atomic<bool> producing{true};
    std::thread watcher([&] {
        producer.join();
        producing.store(false);
    });
    while (producing.load()) {
        ticker.Tick(std::chrono::duration<double>(Clock::now() - start).count(), feed, app);
        std::this_thread::sleep_for(std::chrono::milliseconds(ticker.PeriodMs()));
    }
    watcher.join();
    // After Ctrl-C the connector has stopped reading: nothing left to wait for.
    const bool drained = g_interrupted.load() ||
                         (udpPort ? WaitReceived(countersPath, feed.sent.load(), 10) : WaitDrained(card, hardware, 10));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ticker.Tick(seconds, feed, app);
    const int result = app.Stop();

    PrintSummary(screen, mode, hardware, udpPort, feed, app, dir, seconds, options.keep);
    vorn_sim_close(card);
    vorn_sim_remove(device.c_str());
    const bool ok = result == 0 && drained && !feed.failed.load() && app.Counters().v2 > 0;
    if (!ok)
        fprintf(screen, "vorn-demo: %s mode FAILED (connector result %d, drained %d, card refused a frame %d)\n", mode,
                result, drained, feed.failed.load());
    fclose(screen);
    return ok ? 0 : 1;
}

// ---- the parent: one child process per mode -----------------------------------------

int RunChild(const Options& options, const std::string& mode) {
    fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) {
        perror("vorn-demo: fork");
        return 1;
    }
    if (pid == 0) {
        Options child = options;
        child.mode = mode;
        signal(SIGINT, OnInterrupt); // the library chains to it: Ctrl-C ends the session early
        _exit(RunMode(child));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    fprintf(stderr, "vorn-demo: the %s mode process ended abnormally (status %d)\n", mode.c_str(), status);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseArgs(argc, argv, options)) {
        Usage(stderr);
        return 2;
    }
    if (!options.mode.empty()) {
        signal(SIGINT, OnInterrupt);
        return RunMode(options);
    }
    printf("vorn_r10 demo: a synthetic CFFEX session (index futures, bond futures, index options)\n"
           "played through a simulated ExaNIC card into an application of the library.\n");
    signal(SIGINT, SIG_IGN); // the children stop on Ctrl-C and still report
    int failures = RunChild(options, "software") != 0;
    if (HardwareModeAvailable()) {
        failures += RunChild(options, "hardware") != 0;
    } else {
        printf("\n(hardware mode skipped: this build has no firmware stand-in)\n");
    }
    printf("\n%s\n", failures ? "demo FAILED" : "demo finished");
    return failures ? 1 : 0;
}
