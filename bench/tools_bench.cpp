// The tools' speed: vorn-decode over a whole capture against reading that capture alone, and
// update rows written as CSV to a file against writing the raw records.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "capture_reader.h"
#include "pcap_writer.h"
#include "synthetic_session.h"
#include "udp_view.h"
#include "update_rows.h"

extern char** environ;

namespace {

constexpr int kCaptureFrames = 200000;
constexpr int kStartupFrames = 100; // a capture this short times start-up and shutdown alone

// A day's snapshot, the capture of 200k frames that follows it and the capture of its first
// 100 frames, made once per run.
struct Day {
    std::string dir, snapshot, capture, shortCapture;
    Day() {
        char pattern[] = "/tmp/vorn_bench_tools_XXXXXX";
        dir = mkdtemp(pattern);
        snapshot = dir + "/day.bin";
        capture = dir + "/day.pcap";
        shortCapture = dir + "/start.pcap";
        vorn_sim::SyntheticSession session;
        session.Snapshot().WriteFile(snapshot);
        vorn_sim::PcapWriter writer, shortWriter;
        writer.Open(capture);
        shortWriter.Open(shortCapture);
        for (int i = 0; i < kCaptureFrames; ++i) {
            const std::vector<uint8_t> frame = session.NextFrame();
            writer.Write(frame, 1781573400000000ULL + i * 10ULL);
            if (i < kStartupFrames) shortWriter.Write(frame, 1781573400000000ULL + i * 10ULL);
        }
        writer.Close();
        shortWriter.Close();
    }
    ~Day() {
        unlink(snapshot.c_str());
        unlink(capture.c_str());
        unlink(shortCapture.c_str());
        rmdir(dir.c_str());
    }
};

const Day& TheDay() {
    static const Day day;
    return day;
}

struct DecodeRun {
    bool ok = false;
    double wallSeconds = 0;
    double cpuSeconds = 0; // user and system, all threads
};

// Runs vorn-decode over `capture` of the day to /dev/null.
DecodeRun RunDecode(const Day& day, const std::string& capture) {
    const std::vector<std::string> args = {VORN_DECODE_BIN, capture,     "--snapshot",       day.snapshot,
                                           "--out",         "/dev/null", "--no-library-log", "--no-progress"};
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    DecodeRun run;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    if (spawned != 0 || wait4(pid, &status, 0, &usage) != pid) return run;
    run.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

// Baseline: the capture read, converted and classified in this process, nothing decoded.
void BM_CaptureReadOnly(benchmark::State& state) {
    const Day& day = TheDay();
    for (auto _ : state) {
        vorn_tools::CaptureReader reader;
        reader.Open(day.capture);
        vorn_tools::CapturedFrame frame;
        vorn_tools::UdpView view;
        uint64_t bytes = 0;
        while (reader.Next(frame) == vorn_tools::CaptureReader::kFrame)
            if (vorn_tools::ReadUdp(frame.data, frame.len, view)) bytes += view.payload_len;
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * kCaptureFrames);
}
BENCHMARK(BM_CaptureReadOnly)->Unit(benchmark::kMillisecond)->Iterations(3);

// The whole tool: start-up, every frame through the library, both versions as CSV to /dev/null;
// the time is the wall clock of that run. Beside it: cpu_frames_per_s, frames per second of the
// CPU time all its threads took (the rate on one core to itself); startup_ms, the wall clock of
// a 100-frame run (start-up and shutdown); past_startup_frames_per_s, the rate once started.
void BM_DecodeToDevNull(benchmark::State& state) {
    const Day& day = TheDay();
    double wall = 0, cpu = 0, startup = 0;
    for (auto _ : state) {
        const DecodeRun whole = RunDecode(day, day.capture);
        const DecodeRun start = RunDecode(day, day.shortCapture);
        if (!whole.ok || !start.ok) state.SkipWithError("vorn-decode failed");
        state.SetIterationTime(whole.wallSeconds);
        wall += whole.wallSeconds;
        cpu += whole.cpuSeconds;
        startup += start.wallSeconds;
    }
    const double frames = static_cast<double>(state.iterations()) * kCaptureFrames;
    state.SetItemsProcessed(state.iterations() * kCaptureFrames);
    if (cpu > 0) state.counters["cpu_frames_per_s"] = frames / cpu;
    state.counters["startup_ms"] = startup * 1000 / static_cast<double>(state.iterations());
    if (wall > startup) state.counters["past_startup_frames_per_s"] = frames / (wall - startup);
}
BENCHMARK(BM_DecodeToDevNull)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();

// Records like the library delivers: prices in tenths of a tick of 0.2, some missing (0).
struct Records {
    std::vector<MarketDepthUpdate> v1;
    std::vector<VornCffexMdType> v2;
    Records() {
        for (int i = 0; i < 1024; ++i) {
            MarketDepthUpdate a{};
            VornCffexMdType b{};
            snprintf(reinterpret_cast<char*>(a.InstrumentID), sizeof a.InstrumentID, "IF26%02d", 1 + i % 12);
            memcpy(b.instrument_id, a.InstrumentID, sizeof a.InstrumentID);
            memcpy(b.trading_day, "20261216", 9);
            memcpy(a.UpdateTime, "09:30:01", 9);
            a.UpdateMillisec = b.update_msec = i % 1000;
            a.Volume = b.volume = 1000 + i;
            a.Turnover = b.turn_over = 1601210240.0 + i * 1200.6;
            a.OpenInterest = 46522 + i;
            b.open_interest = 46522 + i;
            double* prices[] = {&a.LastPrice, &a.BidPrice1,    &a.AskPrice1,   &a.BidPrice2,       &a.AskPrice2,
                                &a.BidPrice3, &a.AskPrice3,    &a.BidPrice4,   &a.AskPrice4,       &a.BidPrice5,
                                &a.AskPrice5, &a.HighestPrice, &a.LowestPrice, &a.UpperLimitPrice, &a.LowerLimitPrice};
            for (size_t k = 0; k < sizeof prices / sizeof prices[0]; ++k) *prices[k] = 4000.0 + 0.2 * ((i + k) % 97);
            a.BidVolume1 = b.bid1_volume = 3 + i % 40;
            b.last_price = 4000000 + 200 * (i % 97);
            b.bid1_price = b.last_price - 200;
            b.ask1_price = b.last_price + 200;
            a.Trust_flag = b.trust_flag = 1;
            v1.push_back(a);
            v2.push_back(b);
        }
    }
};

// Baseline: the raw records written to the same kind of file.
void BM_RecordsRawToFile(benchmark::State& state) {
    static const Records records;
    FILE* out = tmpfile();
    static char buffer[1 << 20];
    setvbuf(out, buffer, _IOFBF, sizeof buffer);
    size_t i = 0;
    for (auto _ : state) {
        const size_t k = i++ & 1023;
        if (k & 1)
            fwrite(&records.v1[k], sizeof records.v1[k], 1, out);
        else
            fwrite(&records.v2[k], sizeof records.v2[k], 1, out);
    }
    fclose(out);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordsRawToFile);

// Update rows of both versions, alternating, as CSV to a file.
void BM_CsvRowsToFile(benchmark::State& state) {
    static const Records records;
    FILE* out = tmpfile();
    static char buffer[1 << 20];
    setvbuf(out, buffer, _IOFBF, sizeof buffer);
    vorn_tools::RowWriter rows(out, vorn_tools::RowFormat::Csv);
    size_t i = 0;
    for (auto _ : state) {
        const size_t k = i++ & 1023;
        if (k & 1)
            rows.Write(1, &records.v1[k]);
        else
            rows.Write(2, &records.v2[k]);
    }
    fclose(out);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CsvRowsToFile);

} // namespace
