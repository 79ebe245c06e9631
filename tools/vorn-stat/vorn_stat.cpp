// vorn-stat: the live counters of running connectors, read from their counters files.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "counters_reader.h"
#include "stat_report.h"
#include "vorn_version.h"

namespace {

using namespace Vorn_R10;
using vorn_stat::Connector;

enum class Action { Live, List, Once, Json, Prometheus, RemoveStale };

struct Options {
    Action action = Action::Live;
    std::string dir = kCountersDefaultFolder;
    std::string target;
    double interval = 1.0;
    bool all = false; // --json and --prometheus: ended and stale files too
};

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop = true; }

void Usage(FILE* out) {
    fprintf(out,
            "usage: vorn-stat [--dir DIR] [--list | --once | --json | --prometheus | --remove-stale] [--all]\n"
            "                 [TARGET]\n"
            "  Shows the live counters of vorn_r10 connectors. TARGET is a process id, a connector name, a\n"
            "  device name or a counters file; without it, the one running connector (several: they are\n"
            "  listed).\n"
            "  (no option)      live view refreshed every second (rates beside totals) until Ctrl-C\n"
            "  --list           every counters file in DIR with its connector's state\n"
            "  --once           the view once, as text\n"
            "  --json           once as JSON, one object per line (without TARGET: every running connector)\n"
            "  --prometheus     Prometheus text exposition (without TARGET: every running connector)\n"
            "  --all            with --json or --prometheus: ended and stale connectors too\n"
            "  --remove-stale   removes the files no running process holds\n"
            "  --dir DIR        folder of the counters files, the counters_path key (default %s)\n"
            "  --interval S     seconds between refreshes of the live view (default 1)\n"
            "  --help, --version\n",
            kCountersDefaultFolder);
}

// 0: go on; otherwise the process's exit code + 1.
int ParseArgs(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](std::string& to) {
            if (i + 1 >= argc) return false;
            to = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--help") {
            Usage(stdout);
            return 1;
        } else if (arg == "--version") {
            printf("vorn-stat %s (counters layout %u)\n", VORN_SOFT_VERSION, kCountersLayoutVersion);
            return 1;
        } else if (arg == "--list") {
            options.action = Action::List;
        } else if (arg == "--once") {
            options.action = Action::Once;
        } else if (arg == "--json") {
            options.action = Action::Json;
        } else if (arg == "--prometheus") {
            options.action = Action::Prometheus;
        } else if (arg == "--all") {
            options.all = true;
        } else if (arg == "--remove-stale") {
            options.action = Action::RemoveStale;
        } else if (arg == "--dir") {
            if (!value(options.dir)) {
                fprintf(stderr, "vorn-stat: --dir needs a folder\n");
                return 3;
            }
        } else if (arg == "--interval") {
            char* end = nullptr;
            if (!value(text) || (options.interval = strtod(text.c_str(), &end), *end) || options.interval <= 0) {
                fprintf(stderr, "vorn-stat: --interval needs a positive number of seconds, not '%s'\n", text.c_str());
                return 3;
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            fprintf(stderr, "vorn-stat: unknown option '%s' (see --help)\n", arg.c_str());
            return 3;
        } else if (options.target.empty()) {
            options.target = arg;
        } else {
            fprintf(stderr, "vorn-stat: one TARGET only, '%s' is a second one\n", arg.c_str());
            return 3;
        }
    }
    return 0;
}

bool Load(const std::string& path, Connector& out, std::string& error) { return ReadCountersFile(path, out, error); }

// Every readable file in the folder; unreadable ones are reported on standard error.
std::vector<Connector> LoadAll(const std::string& dir) {
    std::vector<std::string> errors;
    std::vector<Connector> all = ReadCountersFolder(dir, &errors);
    for (const std::string& error : errors) fprintf(stderr, "vorn-stat: %s\n", error.c_str());
    return all;
}

bool IsRunning(const Connector& c) { return IsLive(c); }

bool Matches(const Connector& c, const std::string& target) {
    const SCountersHeader& h = c.snapshot.header;
    if (target.find_first_not_of("0123456789") == std::string::npos) return std::to_string(h.pid) == target;
    return strncmp(h.device, target.c_str(), sizeof h.device) == 0 || ConnectorName(c) == target;
}

// The files TARGET names (a path, a pid, a name or a device); without TARGET, the running connectors
// (or, with `all`, every file). Prints why when nothing fits and returns false, unless
// `noneIsFine` and no TARGET was given.
bool Select(const Options& options, bool all, std::vector<Connector>& chosen, bool noneIsFine = false) {
    const std::string& target = options.target;
    if (target.find('/') != std::string::npos || target.find(kCountersFileSuffix) != std::string::npos) {
        Connector c;
        std::string error;
        if (!Load(target, c, error)) {
            fprintf(stderr, "vorn-stat: %s\n", error.c_str());
            return false;
        }
        chosen.push_back(std::move(c));
        return true;
    }
    for (Connector& c : LoadAll(options.dir))
        if (target.empty() ? all || IsRunning(c) : Matches(c, target)) chosen.push_back(std::move(c));
    if (!chosen.empty() || (noneIsFine && target.empty())) return true;
    if (target.empty())
        fprintf(stderr, "vorn-stat: no running connector in %s (see --list)\n", options.dir.c_str());
    else
        fprintf(stderr, "vorn-stat: no counters file of '%s' in %s\n", target.c_str(), options.dir.c_str());
    return false;
}

// One connector for the views: a running one is preferred among several of the same TARGET.
bool SelectOne(const Options& options, Connector& one) {
    std::vector<Connector> chosen;
    if (!Select(options, false, chosen)) return false;
    std::vector<Connector> running;
    for (const Connector& c : chosen)
        if (IsRunning(c)) running.push_back(c);
    const std::vector<Connector>& pool = running.empty() ? chosen : running;
    if (pool.size() > 1) {
        fprintf(stderr, "vorn-stat: %zu connectors fit; name one by pid or file:\n%s", pool.size(),
                vorn_stat::FormatList(pool).c_str());
        return false;
    }
    one = pool.front();
    return true;
}

int Live(const Options& options, Connector now) {
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    const bool terminal = isatty(STDOUT_FILENO);
    CCountersReader reader;
    std::string error;
    if (!reader.Open(now.path, error)) {
        fprintf(stderr, "vorn-stat: %s\n", error.c_str());
        return 1;
    }
    auto then = std::chrono::steady_clock::now();
    Connector before = now;
    bool first = true;
    while (!g_stop) {
        const auto at = std::chrono::steady_clock::now();
        if (!reader.Read(now.snapshot, error)) {
            fprintf(stderr, "vorn-stat: %s\n", error.c_str());
            return 1;
        }
        now.alive = reader.WriterHoldsLock();
        const double seconds = std::chrono::duration<double>(at - then).count();
        const std::string view = vorn_stat::FormatText(now, first ? nullptr : &before, seconds);
        printf("%s%s%s", terminal ? "\x1b[H\x1b[2J" : "", view.c_str(), terminal ? "" : "\n");
        fflush(stdout);
        if (!IsRunning(now)) return 0;
        before = now;
        then = at;
        first = false;
        const auto until = at + std::chrono::duration<double>(options.interval);
        while (!g_stop && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}

// Removes the files no writer holds: counters files of ended or dead connectors, and the
// temporary files of starts that died before renaming theirs onto its name.
int RemoveStale(const Options& options) {
    int removed = 0, failed = 0;
    const auto remove = [&](const std::string& path, const std::string& what) {
        std::string error;
        switch (RemoveUnlockedFile(path, error)) {
        case ERemoval::removed:
            printf("removed %s (%s)\n", path.c_str(), what.c_str());
            ++removed;
            break;
        case ERemoval::failed:
            fprintf(stderr, "vorn-stat: cannot remove %s\n", error.c_str());
            ++failed;
            break;
        default: break; // in use, or taken over since it was read
        }
    };
    for (const Connector& c : LoadAll(options.dir))
        if (!c.alive) remove(c.path, vorn_stat::StateText(c));
    for (const std::string& path : FindCountersTemporaries(options.dir)) remove(path, "a start that did not finish");
    if (!removed && !failed) printf("no counters file of a finished process in %s\n", options.dir.c_str());
    return failed ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int stop = ParseArgs(argc, argv, options)) return stop - 1;
    std::vector<Connector> chosen;
    Connector one;
    switch (options.action) {
    case Action::List: fputs(vorn_stat::FormatList(LoadAll(options.dir)).c_str(), stdout); return 0;
    case Action::RemoveStale: return RemoveStale(options);
    case Action::Json:
    case Action::Prometheus:
        if (!Select(options, options.all, chosen, true)) return 1;
        if (options.action == Action::Prometheus)
            fputs(vorn_stat::FormatPrometheus(chosen).c_str(), stdout);
        else
            for (const Connector& c : chosen) fputs(vorn_stat::FormatJson(c).c_str(), stdout);
        return 0;
    case Action::Once:
        if (!SelectOne(options, one)) return 1;
        fputs(vorn_stat::FormatText(one, nullptr, 0).c_str(), stdout);
        return 0;
    case Action::Live:
        if (!SelectOne(options, one)) return 1;
        return Live(options, one);
    }
    return 0;
}
