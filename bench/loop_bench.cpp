// Throughput of the whole receive loop through the simulated card: init_connector polls on
// its own thread while this thread puts a session's frames, waiting for room (lossless).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bench_fixture.h"
#include "SignalProcess.h"
#include "vorn_sim_card.h"

using namespace vorn_bench;

namespace {

std::atomic<uint64_t> g_updates{0};
void CountV2(VornCffexMdType*) { g_updates.fetch_add(1, std::memory_order_relaxed); }

void BM_LoopThroughput(benchmark::State& state) {
    const size_t packets = static_cast<size_t>(state.range(0));
    vorn_sim::SessionConfig config;
    vorn_sim::SyntheticSession session(config);
    std::vector<std::vector<uint8_t>> frames;
    frames.reserve(packets);
    for (size_t i = 0; i < packets; ++i) frames.push_back(session.NextFrame());

    const std::string device = "vloop" + std::to_string(getpid());
    // The configuration, log and counters go to a folder of the run's own, removed at the end.
    const std::string dir = PrivateDir("vorn_bench_loop");
    const std::string ini = dir + "/md.ini";
    vorn_sim_create(device.c_str());
    vorn_sim_card_t* card = vorn_sim_open(device.c_str());
    std::ofstream(ini) << "[config]\ndevice=" << device << "\nlog_level=3\nlog_path=" << dir
                       << "\ncounters_path=" << dir << "\ninsts=all\noptions=recv\n";
    // The connector reads today's snapshot from its fixed path; tests share that path and
    // take this lock around it.
    static const int lock = vorn_sim::SnapshotWriter::LockSharedPath(); // held until exit
    (void)lock;
    session.Snapshot().WriteFile(vorn_sim::SnapshotWriter::TodayPath());
    set_parse_data_version_2(CountV2);
    set_parse_data(SinkV1);
    Vorn_R10::CSignalProcess::m_isExit = false; // a repetition starts a fresh loop
    std::thread loop([&] { init_connector(ini.c_str()); });
    while (vorn_sim_read_reg(card, 20) != 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    unlink(vorn_sim::SnapshotWriter::TodayPath().c_str()); // read at start-up only

    for (auto _ : state) {
        g_updates = 0;
        for (const auto& frame : frames) vorn_sim_put_frame(card, 0, frame.data(), frame.size(), VORN_SIM_WAIT, 0);
        while (vorn_sim_backlog(card, 0) != 0) {
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * packets));
    kill(getpid(), SIGTERM);
    loop.join();
    vorn_sim_close(card);
    vorn_sim_remove(device.c_str());
    std::filesystem::remove_all(dir);
    if (lock >= 0) close(lock);
}
BENCHMARK(BM_LoopThroughput)->Arg(100000)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
