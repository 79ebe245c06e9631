// vorn-decode: decodes a capture into a table of updates in one process, through the real
// library: the connector is started with init_connector on a private simulated card, the
// capture's frames are put on that card in the Ethernet form the card delivers, and every
// update the callbacks receive is written as CSV, JSON lines or binary rows (binary_rows.h).
#include <signal.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "VornCffexMd_interface.h"
#include "binary_rows.h"
#include "capture_feed.h"
#include "capture_reader.h"
#include "capture_tally.h"
#include "decode_summary.h"
#include "library_figures.h"
#include "library_output.h"
#include "private_connector.h"
#include "snapshot_facts.h"
#include "tool_version.h"
#include "update_rows.h"

namespace {

using namespace vorn_decode;

constexpr int kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitTruncated = 3, kExitInterrupted = 130;

struct Options {
    std::string capture;
    std::string snapshot;
    std::string out; // empty: standard output
    vorn_tools::RowFormat format = vorn_tools::RowFormat::Csv;
    bool binary = false;
    bool timestamps = false;
    bool quiet = false;
    bool v1 = false, v2 = false; // neither given: both
    std::string insts = "all";
    bool options_recv = false;
    std::string library_log = "vorn-decode.library.log";
    bool allow_truncated = false;
    bool progress = true;
    int log_level = 7;
};

std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_writeFailed{false};
// Ends the feed: an interrupt, or rows that can no longer be written.
std::atomic<bool> g_stop{false};
vorn_tools::RowWriter* g_rows = nullptr;
vorn_tools::BinaryRowWriter* g_binary = nullptr;
const CaptureFeed* g_feed = nullptr;

void WriteRow(int version, const void* record) {
    const int64_t tsRecv = static_cast<int64_t>(g_feed->DeliveringFrameNs());
    if (g_binary ? g_binary->Write(record, tsRecv) : g_rows->Write(version, record, tsRecv)) return;
    g_writeFailed = true;
    g_stop = true;
}
void OnVersion1(MarketDepthUpdate* record) { WriteRow(1, record); }
void OnVersion2(VornCffexMdType* record) { WriteRow(2, record); }

// Chained to by the connector's own handler once it runs; its own stop signal is not a user's.
void OnSignal(int) {
    if (StoppingOnPurpose()) return;
    g_interrupted = true;
    g_stop = true;
}

void Usage(FILE* out) {
    fprintf(out,
            "usage: vorn-decode CAPTURE --snapshot FILE [--out FILE] [--format csv|json|binary] [--v1|--v2]\n"
            "                   [--timestamps] [--insts LIST] [--options recv]\n"
            "                   [--library-log FILE | --no-library-log] [--log-level N] [--allow-truncated]\n"
            "                   [--no-progress] [--quiet]\n"
            "  Decodes CAPTURE (pcap or pcapng; Ethernet, Linux cooked SLL/SLL2 or raw IP) through the\n"
            "  library, as an application on a card would receive it, into one row per update.\n"
            "  --snapshot FILE     the day's snapshot the capture starts from (required)\n"
            "  --out FILE          write the updates to FILE (default: standard output)\n"
            "  --format csv|json|binary  CSV with a header row (default), JSON lines, or packed\n"
            "                      rows numpy reads (one of --v1 and --v2; timestamps included)\n"
            "  --v1, --v2          only version-1 or only version-2 updates (default: both)\n"
            "  --timestamps        two last columns: ts_recv (the frame's capture time) and\n"
            "                      ts_event (the exchange's time), nanoseconds since the epoch, UTC\n"
            "  --insts LIST        the insts key: instruments to deliver (default: all)\n"
            "  --options recv      product and prefix selectors (and all) also select options\n"
            "  --library-log FILE  where the library's standard output goes (default: %s)\n"
            "  --no-library-log    keep no file of the library's standard output\n"
            "  --log-level N       the library's log_level (default 7: errors, warnings, info)\n"
            "  --allow-truncated   exit 0 although frames cut by the capture's snaplen were skipped\n"
            "  --no-progress       no progress line (it is shown only on a terminal anyway)\n"
            "  --quiet             no summary and no warnings, only errors\n"
            "  The summary and warnings go to standard error. Exit: 0 done, 1 failed, 2 usage,\n"
            "  3 frames were cut by the snaplen (see --allow-truncated), 130 interrupted.\n",
            Options().library_log.c_str());
}

int UsageError(const std::string& problem) {
    fprintf(stderr, "vorn-decode: %s (--help shows the usage)\n", problem.c_str());
    return kExitUsage;
}

// 0 when parsed, else the exit code (usage error, or 0 after --help/--version with `done`).
int ParseArgs(int argc, char** argv, Options& options, bool& done) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool takesValue = arg == "--snapshot" || arg == "--out" || arg == "--format" || arg == "--insts" ||
                                arg == "--options" || arg == "--library-log" || arg == "--log-level";
        if (takesValue && i + 1 >= argc) return UsageError("missing value after " + arg);
        const std::string value = takesValue ? argv[++i] : "";
        if (arg == "-h" || arg == "--help") {
            Usage(stdout);
            done = true;
            return kExitOk;
        } else if (arg == "--version") {
            vorn_tools::PrintVersion("vorn-decode");
            done = true;
            return kExitOk;
        } else if (arg == "--snapshot") {
            options.snapshot = value;
        } else if (arg == "--out") {
            options.out = value;
        } else if (arg == "--format") {
            if (value != "csv" && value != "json" && value != "binary")
                return UsageError("--format wants csv, json or binary, not '" + value + "'");
            options.format = value == "json" ? vorn_tools::RowFormat::Json : vorn_tools::RowFormat::Csv;
            options.binary = value == "binary";
        } else if (arg == "--timestamps") {
            options.timestamps = true;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--v1") {
            options.v1 = true;
        } else if (arg == "--v2") {
            options.v2 = true;
        } else if (arg == "--insts") {
            options.insts = value;
        } else if (arg == "--options") {
            if (value != "recv" && value != "norecv")
                return UsageError("--options wants recv or norecv, not '" + value + "'");
            options.options_recv = value == "recv";
        } else if (arg == "--library-log") {
            options.library_log = value;
        } else if (arg == "--no-library-log") {
            options.library_log.clear();
        } else if (arg == "--log-level") {
            char* end = nullptr;
            const long level = strtol(value.c_str(), &end, 10);
            if (value.empty() || *end || level < 0 || level > 31)
                return UsageError("--log-level wants 0 to 31, not '" + value + "'");
            options.log_level = static_cast<int>(level);
        } else if (arg == "--allow-truncated") {
            options.allow_truncated = true;
        } else if (arg == "--no-progress") {
            options.progress = false;
        } else if (!arg.empty() && arg[0] != '-' && options.capture.empty()) {
            options.capture = arg;
        } else {
            return UsageError((arg.empty() || arg[0] != '-' ? "unexpected argument '" : "unknown option '") + arg +
                              "'");
        }
    }
    if (options.binary && options.v1 == options.v2) return UsageError("--format binary wants one of --v1 and --v2");
    if (!options.v1 && !options.v2) options.v1 = options.v2 = true;
    if (options.capture.empty()) return UsageError("no CAPTURE given");
    if (options.snapshot.empty()) return UsageError("no --snapshot FILE given");
    return kExitOk;
}

std::string AbsolutePath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

void InstallSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A reader of the rows that went away fails the write, which ends the run cleanly.
    signal(SIGPIPE, SIG_IGN);
}

// The library's error lines in its output file, colour codes removed, on standard error.
void PrintLibraryErrors(const std::string& path) {
    for (const std::string& line : LibraryErrorLines(path)) fprintf(stderr, "  %s\n", line.c_str());
}

FILE* OpenOutput(const Options& options) {
    if (!options.out.empty()) return fopen(options.out.c_str(), "w");
    // The library's standard output is redirected later: the rows keep the real one.
    const int fd = dup(STDOUT_FILENO);
    return fd < 0 ? nullptr : fdopen(fd, "w");
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    bool done = false;
    if (const int code = ParseArgs(argc, argv, options, done); code || done) return code;

    SnapshotFacts snapshot;
    std::string error;
    if (!ReadSnapshotFacts(options.snapshot, snapshot, error)) {
        fprintf(stderr, "vorn-decode: %s\n", error.c_str());
        return kExitFailed;
    }
    vorn_tools::CaptureReader reader;
    if (!reader.Open(options.capture)) {
        fprintf(stderr, "vorn-decode: %s\n", reader.Error().c_str());
        return kExitFailed;
    }
    FILE* out = OpenOutput(options);
    if (!out) {
        fprintf(stderr, "vorn-decode: cannot open %s: %s\n",
                options.out.empty() ? "standard output" : options.out.c_str(), strerror(errno));
        return kExitFailed;
    }
    static char outBuffer[1 << 20];
    setvbuf(out, outBuffer, _IOFBF, sizeof outBuffer);
    // Rows are written by the connector's thread alone, the rest before it starts and after it
    // ended: the stream need not lock per row.
    __fsetlocking(out, FSETLOCKING_BYCALLER);
    std::unique_ptr<vorn_tools::RowWriter> text;
    std::unique_ptr<vorn_tools::BinaryRowWriter> binary;
    if (options.binary)
        binary = std::make_unique<vorn_tools::BinaryRowWriter>(out, options.v1 ? 1 : 2, snapshot.trade_date);
    else
        text = std::make_unique<vorn_tools::RowWriter>(out, options.format, options.timestamps, snapshot.trade_date);
    g_rows = text.get();
    g_binary = binary.get();
    set_parse_data(options.v1 ? OnVersion1 : nullptr);
    set_parse_data_version_2(options.v2 ? OnVersion2 : nullptr);
    InstallSignalHandlers();

    ConnectorSettings settings;
    settings.snapshot = AbsolutePath(options.snapshot);
    settings.insts = options.insts;
    settings.options = options.options_recv;
    settings.log_level = options.log_level;
    settings.library_output = options.library_log.empty() ? "" : AbsolutePath(options.library_log);
    const auto start = std::chrono::steady_clock::now();
    RunFacts run;
    CaptureTally tally(snapshot.channels);
    LibraryFigures library;
    bool fed = false;
    {
        PrivateConnector connector;
        if (!connector.Create(settings, error)) {
            fprintf(stderr, "vorn-decode: %s\n", error.c_str());
            return kExitFailed;
        }
        CaptureFeed feed(reader, connector, tally, options.progress, g_stop);
        g_feed = &feed;
        if (!connector.FeedFromReceiveThread(CaptureFeed::RefillHook, &feed)) {
            fprintf(stderr, "vorn-decode: %s\n", vorn_sim_last_error());
            return kExitFailed;
        }
        const PrivateConnector::Started started = connector.Start();
        if (started != PrivateConnector::Started::Software) {
            connector.Stop();
            if (started == PrivateConnector::Started::Hardware)
                fprintf(stderr, "vorn-decode: the library started in hardware mode although told to decode in "
                                "software (work_mode = software)\n");
            else if (options.library_log.empty())
                fprintf(stderr, "vorn-decode: the connector did not start; its reasons:\n");
            else
                fprintf(stderr, "vorn-decode: the connector did not start; its reasons are in %s\n",
                        options.library_log.c_str());
            if (started == PrivateConnector::Started::Failed) PrintLibraryErrors(connector.LibraryOutput());
            return kExitFailed;
        }
        feed.Begin();
        feed.WaitUntilRead();
        connector.Stop();
        fed = feed.Finish();
        library = ReadLibraryFigures(connector.Directory(), tally.feed_frames + tally.other_frames, error);
    }
    const bool written = fflush(out) == 0;
    fclose(out);
    run.capture = options.capture;
    run.link_type = reader.LinkTypeName();
    run.snapshot = options.snapshot;
    run.output = options.out.empty() ? "standard output" : options.out;
    run.library_output = options.library_log.empty() ? "discarded" : options.library_log;
    run.rows_written = binary ? binary->Rows() : text->Rows();
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.interrupted = g_interrupted;
    run.allow_truncated = options.allow_truncated;
    if (!options.quiet) {
        PrintSummary(run, tally, library);
        PrintWarnings(run, tally, snapshot);
    } else if (tally.truncated && !options.allow_truncated) {
        fprintf(stderr, "vorn-decode: %s\n", TruncationWarning(run, tally).c_str());
    }
    if (!written || g_writeFailed) {
        fprintf(stderr, "vorn-decode: writing %s failed\n", run.output.c_str());
        return kExitFailed;
    }
    if (run.interrupted) return kExitInterrupted;
    if (!fed) return kExitFailed;
    if (tally.truncated && !options.allow_truncated) return kExitTruncated;
    return kExitOk;
}
