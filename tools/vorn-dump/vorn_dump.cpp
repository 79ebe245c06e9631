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
#include "record_columns.h"

namespace {

using vorn_dump::Column;
using vorn_dump::Columns;
using vorn_dump::FieldAt;
using vorn_dump::Kind;

struct Options {
    std::string config;
    std::string outPath;
    bool json = false;
    bool v1 = false;
    bool v2 = false;
    bool quiet = false;
    double idleExitSeconds = 0; // 0: run until SIGINT or SIGTERM
};

FILE* g_out = nullptr;
bool g_json = false;
std::atomic<int64_t> g_lastUpdateNs{0};
std::string g_line; // reused by the callbacks, which all run on the connector's thread

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Usage(FILE* out) {
    fprintf(out,
            "usage: vorn-dump [--json] [--v1] [--v2] [--out FILE] [--idle-exit SECONDS] [--quiet] CONFIG.ini\n"
            "  Starts the connector with CONFIG.ini and writes every update it delivers.\n"
            "  --json            JSON lines instead of CSV\n"
            "  --v1, --v2        only version-1 or version-2 updates (default: both)\n"
            "  --out FILE        write to FILE instead of standard output\n"
            "  --idle-exit S     stop after S seconds without an update (default: on SIGINT/SIGTERM)\n"
            "  --quiet           drop the library's log echo (default: to standard error when the\n"
            "                    data goes to standard output)\n");
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
        } else if (arg == "--out" && hasValue) {
            options.outPath = argv[++i];
        } else if (arg == "--idle-exit" && hasValue) {
            char* end = nullptr;
            options.idleExitSeconds = strtod(argv[++i], &end);
            if (*end != '\0' || !(options.idleExitSeconds > 0)) return false;
        } else if (arg == "-h" || arg == "--help") {
            Usage(stdout);
            exit(0);
        } else if (!arg.empty() && arg[0] != '-' && options.config.empty()) {
            options.config = arg;
        } else {
            return false;
        }
    }
    if (!options.v1 && !options.v2) options.v1 = options.v2 = true;
    return !options.config.empty();
}

void AppendCsvText(std::string& line, const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        line += text;
        return;
    }
    line += '"';
    for (char c : text) {
        if (c == '"') line += '"';
        line += c;
    }
    line += '"';
}

void AppendJsonText(std::string& line, const std::string& text) {
    line += '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            line += '\\';
            line += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            line += escaped;
        } else {
            line += static_cast<char>(c);
        }
    }
    line += '"';
}

bool IsFiniteDouble(const FieldAt& field, const void* record) {
    if (field.kind != Kind::Double) return true;
    double value;
    memcpy(&value, static_cast<const char*>(record) + field.offset, sizeof value);
    return std::isfinite(value);
}

// CSV: every column, empty where the version lacks the field.
void AppendCsvRow(std::string& line, int version, const void* record) {
    line += version == 1 ? '1' : '2';
    std::string value;
    for (const Column& column : Columns()) {
        const FieldAt& field = version == 1 ? column.v1 : column.v2;
        line += ',';
        value.clear();
        if (!vorn_dump::FormatValue(field, record, value)) continue;
        if (field.kind == Kind::Text)
            AppendCsvText(line, value);
        else
            line += value;
    }
    line += '\n';
}

// JSON: the fields the version has; non-finite doubles as null.
void AppendJsonRow(std::string& line, int version, const void* record) {
    line += "{\"version\":";
    line += version == 1 ? '1' : '2';
    std::string value;
    for (const Column& column : Columns()) {
        const FieldAt& field = version == 1 ? column.v1 : column.v2;
        value.clear();
        if (!vorn_dump::FormatValue(field, record, value)) continue;
        line += ",\"";
        line += column.name;
        line += "\":";
        if (field.kind == Kind::Text)
            AppendJsonText(line, value);
        else if (!IsFiniteDouble(field, record))
            line += "null";
        else
            line += value;
    }
    line += "}\n";
}

void WriteRecord(int version, const void* record) {
    g_line.clear();
    if (g_json)
        AppendJsonRow(g_line, version, record);
    else
        AppendCsvRow(g_line, version, record);
    fwrite(g_line.data(), 1, g_line.size(), g_out);
    g_lastUpdateNs.store(NowNs(), std::memory_order_relaxed);
}

void OnVersion1(MarketDepthUpdate* record) { WriteRecord(1, record); }
void OnVersion2(VornCffexMdType* record) { WriteRecord(2, record); }

void WriteCsvHeader(FILE* out) {
    std::string header = "version";
    for (const Column& column : Columns()) {
        header += ',';
        header += column.name;
    }
    header += '\n';
    fwrite(header.data(), 1, header.size(), out);
}

// The data goes to the saved standard output; the library's own echo of its log, which it
// writes to standard output, goes to standard error (or nowhere with --quiet).
FILE* OpenOutput(const Options& options) {
    if (!options.outPath.empty()) return fopen(options.outPath.c_str(), "w");
    const int dataFd = dup(STDOUT_FILENO);
    if (dataFd < 0) return nullptr;
    fflush(stdout);
    const int logFd = options.quiet ? open("/dev/null", O_WRONLY) : dup(STDERR_FILENO);
    if (logFd < 0 || dup2(logFd, STDOUT_FILENO) < 0) return nullptr;
    close(logFd);
    return fdopen(dataFd, "w");
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
        Usage(stderr);
        return 2;
    }
    g_out = OpenOutput(options);
    if (!g_out) {
        fprintf(stderr, "vorn-dump: cannot open the output: %s\n", strerror(errno));
        return 1;
    }
    static char buffer[1 << 20];
    setvbuf(g_out, buffer, _IOFBF, sizeof buffer);
    g_json = options.json;
    if (!g_json) WriteCsvHeader(g_out);

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
