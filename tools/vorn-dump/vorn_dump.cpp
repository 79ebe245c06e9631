// vorn-dump: an application of the library that writes every update it receives as CSV (a
// header row, one row per callback) or as JSON lines. It loads the library like any
// application: the public header and its three entry points, nothing else.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "VornCffexMd_interface.h"
#include "tool_version.h"
#include "update_rows.h"

namespace {

struct Options {
    std::string config;
    std::string outPath;
    bool json = false;
    bool v1 = false;
    bool v2 = false;
    bool quiet = false;
    std::string libraryLog;     // file for the library's standard output
    double idleExitSeconds = 0; // 0: run until SIGINT or SIGTERM
};

FILE* g_out = nullptr;
vorn_tools::RowWriter* g_rows = nullptr; // used by the callbacks, which all run on the connector's thread
std::atomic<int64_t> g_lastUpdateNs{0};

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Usage(FILE* out) {
    fprintf(out, "usage: vorn-dump [--json] [--v1] [--v2] [--out FILE] [--idle-exit SECONDS]\n"
                 "                 [--quiet | --library-log FILE] CONFIG.ini\n"
                 "  Starts the connector with CONFIG.ini and writes every update it delivers.\n"
                 "  --json            JSON lines instead of CSV\n"
                 "  --v1, --v2        only version-1 or version-2 updates (default: both)\n"
                 "  --out FILE        write to FILE instead of standard output\n"
                 "  --idle-exit S     stop after S seconds without an update (default: on SIGINT/SIGTERM)\n"
                 "  --quiet           discard the library's standard output (log echo, byte dumps)\n"
                 "  --library-log F   write the library's standard output to F\n"
                 "                    (default: standard error when the data goes to standard output,\n"
                 "                    else standard output)\n"
                 "  --version         print the version\n");
}

bool BadArgument(const std::string& problem) {
    fprintf(stderr, "vorn-dump: %s\n", problem.c_str());
    return false;
}

bool ParseArgs(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--json") {
            options.json = true;
        } else if (arg == "--v1") {
            options.v1 = true;
        } else if (arg == "--v2") {
            options.v2 = true;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--library-log" && hasValue) {
            options.libraryLog = argv[++i];
        } else if (arg == "--out" && hasValue) {
            options.outPath = argv[++i];
        } else if (arg == "--idle-exit" && hasValue) {
            char* end = nullptr;
            options.idleExitSeconds = strtod(argv[++i], &end);
            if (*end != '\0' || !(options.idleExitSeconds > 0)) return BadArgument("--idle-exit wants seconds above 0");
        } else if (arg == "-h" || arg == "--help") {
            Usage(stdout);
            exit(0);
        } else if (arg == "--version") {
            vorn_tools::PrintVersion("vorn-dump");
            exit(0);
        } else if (!arg.empty() && arg[0] != '-' && options.config.empty()) {
            options.config = arg;
        } else {
            return BadArgument(
                (arg.empty() || arg[0] != '-' ? "unexpected argument '" : "unknown option or missing value '") + arg +
                "'");
        }
    }
    if (!options.v1 && !options.v2) options.v1 = options.v2 = true;
    return !options.config.empty() || BadArgument("no CONFIG.ini given");
}

void WriteRecord(int version, const void* record) {
    g_rows->Write(version, record);
    g_lastUpdateNs.store(NowNs(), std::memory_order_relaxed);
}

void OnVersion1(MarketDepthUpdate* record) { WriteRecord(1, record); }
void OnVersion2(VornCffexMdType* record) { WriteRecord(2, record); }

// Where the library's standard output (log echo, byte dumps) goes: nowhere with --quiet, the
// named file, standard error when the data takes standard output; -2: left as it is.
int LibraryOutputFd(const Options& options) {
    if (options.quiet) return open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (!options.libraryLog.empty())
        return open(options.libraryLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (options.outPath.empty()) return dup(STDERR_FILENO);
    return -2;
}

// The data goes to --out or to the saved standard output; then standard output is handed to
// the library's output.
FILE* OpenOutput(const Options& options) {
    FILE* data = nullptr;
    if (!options.outPath.empty()) {
        data = fopen(options.outPath.c_str(), "w");
    } else {
        const int dataFd = dup(STDOUT_FILENO);
        data = dataFd < 0 ? nullptr : fdopen(dataFd, "w");
    }
    if (!data) return nullptr;
    fflush(stdout);
    const int libraryFd = LibraryOutputFd(options);
    if (libraryFd == -2) return data;
    if (libraryFd < 0 || dup2(libraryFd, STDOUT_FILENO) < 0) {
        fclose(data);
        return nullptr;
    }
    close(libraryFd);
    return data;
}

// Flushes the output a few times a second and, with --idle-exit, ends the run after that long
// without an update by raising SIGTERM, the connector's own stop signal.
void WatchOutput(const Options& options, const std::atomic<bool>& finished) {
    const int64_t idleNs = static_cast<int64_t>(options.idleExitSeconds * 1e9);
    while (!finished.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        fflush(g_out);
        if (idleNs > 0 && NowNs() - g_lastUpdateNs.load(std::memory_order_relaxed) > idleNs) {
            kill(getpid(), SIGTERM);
            return;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseArgs(argc, argv, options)) {
        fprintf(stderr, "(vorn-dump --help shows the usage)\n");
        return 2;
    }
    g_out = OpenOutput(options);
    if (!g_out) {
        fprintf(stderr, "vorn-dump: cannot open the output: %s\n", strerror(errno));
        return 1;
    }
    static char buffer[1 << 20];
    setvbuf(g_out, buffer, _IOFBF, sizeof buffer);
    vorn_tools::RowWriter rows(g_out, options.json ? vorn_tools::RowFormat::Json : vorn_tools::RowFormat::Csv);
    g_rows = &rows;

    set_parse_data(options.v1 ? OnVersion1 : nullptr);
    set_parse_data_version_2(options.v2 ? OnVersion2 : nullptr);
    g_lastUpdateNs.store(NowNs());
    std::atomic<bool> finished{false};
    std::thread watcher(WatchOutput, std::cref(options), std::cref(finished));
    const int result = init_connector(options.config.c_str());
    finished.store(true);
    watcher.join();
    const bool written = fflush(g_out) == 0;
    fclose(g_out);
    if (result != 0) {
        fprintf(stderr, "vorn-dump: the connector did not start (%d), see its log\n", result);
        return 1;
    }
    if (!written) {
        fprintf(stderr, "vorn-dump: writing the output failed\n");
        return 1;
    }
    return 0;
}
