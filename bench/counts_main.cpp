// One workload's frames through the library or the floor, for counting under cachegrind:
//   vorn_bench_counts futures|day library|floor plain|encrypted PACKETS
// Puts each frame on a simulated card and takes it at once: through ExanicCffexDMA0 (the
// library, default configuration) or the floor's receive and delivery (bench_fixture.h).
// counts.sh runs two lengths and takes the difference, so that start-up cancels.
#include <cstdio>
#include <cstring>
#include <string>

#include "bench_fixture.h"
#include "day_workload.h"
#include "exanic_dma.h"

using namespace vorn_bench;

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s futures|day library|floor plain|encrypted PACKETS\n", argv[0]);
        return 2;
    }
    const Workload workload = strcmp(argv[1], "day") == 0 ? Workload::Day : Workload::Futures;
    const bool floor = strcmp(argv[2], "floor") == 0;
    const bool encrypted = strcmp(argv[3], "encrypted") == 0;
    const size_t packets = std::stoul(argv[4]);

    PreparedConnector prepared(WorkloadConfig(workload));
    CVornCffexMdApiImpl& api = prepared.api;
    const std::vector<std::vector<uint8_t>> frames = WorkloadFrames(prepared.session, workload, 8192, encrypted);
    const uint32_t before = api.m_CurUdpNo;
    BenchCard& card = Card();
    exanic_rx_t* rx = Vorn_R10::CExanicDMA::GetInstance().get_dma0_ptr();
    static Baseline baseline;
    static char buffer[2048];
    for (size_t i = 0, next = 0; i < packets; ++i, ++next) {
        if (next == frames.size()) next = 0, api.m_CurUdpNo = before;
        card.Put(0, frames[next]);
        if (floor) {
            benchmark::DoNotOptimize(exanic_receive_frame(rx, buffer, sizeof buffer, nullptr));
            baseline.Deliver();
        } else {
            api.ExanicCffexDMA0();
        }
    }
    if (!floor && api.m_CurUdpNo == before) return 1;
    return 0;
}
