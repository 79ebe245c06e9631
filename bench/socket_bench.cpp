// The socket transport on loopback: datagrams through SocketReceive (recvmmsg batches, the
// source check, the kernel's time and drop count, the sequence and parse path, both callbacks)
// against a bare recvmmsg loop on the same socket, with the same buffers for the kernel's
// timestamp and drop count, in the same run.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "bench_fixture.h"

using namespace vorn_bench;

namespace {

constexpr uint32_t kSeqNo = 1000;
constexpr int kDatagrams = 64; // per timed block: sent (untimed), then taken

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

uint16_t FreePort() {
    const int probe = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

// recvmmsg as the transport calls it, without anything done with the datagrams.
struct BareReceiver {
    explicit BareReceiver(int socket) : fd(socket), buffers(32 * 2048), control(32 * 64), messages(32), vectors(32) {
        for (int i = 0; i < 32; ++i) {
            vectors[i] = {buffers.data() + i * 2048, 2048};
            messages[i].msg_hdr.msg_name = &names[i];
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = control.data() + i * 64;
        }
    }
    int Receive() {
        for (auto& message : messages) {
            message.msg_hdr.msg_namelen = sizeof(sockaddr_in);
            message.msg_hdr.msg_controllen = 64;
        }
        const int got = recvmmsg(fd, messages.data(), 32, MSG_DONTWAIT, nullptr);
        return got > 0 ? got : 0;
    }
    int fd;
    std::vector<uint8_t> buffers;
    std::vector<char> control;
    std::vector<mmsghdr> messages;
    std::vector<iovec> vectors;
    sockaddr_in names[32];
};

// Datagrams per second through the socket transport to both callbacks, as a ratio of time per
// datagram against the bare loop (median of alternating blocks); 1.25 is 80% of its rate.
void BM_SocketTransportRatio(benchmark::State& state) {
    vorn_sim::SessionConfig config;
    config.source_ip = config.group_ip = "127.0.0.1";
    config.port = FreePort();
    PreparedConnector prepared(config);
    CVornCffexMdApiImpl& api = prepared.api;
    api.m_r10ConfigInfo.socket_transport = true;
    if (api.StartSockets() != 0) {
        state.SkipWithError("no socket on 127.0.0.1");
        return;
    }
    std::vector<std::vector<uint8_t>> packets;
    for (int i = 0; i < kDatagrams; ++i)
        packets.push_back(TypicalPacket(prepared.session, kSeqNo + static_cast<uint32_t>(i), false));
    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in local = Loopback(0), target = Loopback(config.port);
    bind(sender, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    const auto sendAll = [&] {
        api.m_CurUdpNo = kSeqNo - 1;
        for (const auto& packet : packets)
            sendto(sender, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    };
    BareReceiver bare(api.m_sockets.Fd(0));
    const Vorn_R10::SCounterValues& values = api.m_counters.Header().values;
    using Clock = std::chrono::steady_clock;
    std::vector<double> ratios;
    double bareNs = 0, transportNs = 0;
    for (auto _ : state) {
        sendAll();
        Clock::time_point start = Clock::now();
        for (int taken = 0; taken < kDatagrams;) taken += bare.Receive();
        const double a = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        sendAll();
        const uint64_t before = values.frames_received;
        start = Clock::now();
        while (values.frames_received - before < kDatagrams) api.SocketReceive();
        const double b = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        ratios.push_back(b / a);
        bareNs += a;
        transportNs += b;
    }
    close(sender);
    std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
    const double datagrams = static_cast<double>(state.iterations()) * kDatagrams;
    state.counters["ratio"] = ratios[ratios.size() / 2];
    state.counters["base_ns"] = bareNs / datagrams;
    state.counters["measured_ns"] = transportNs / datagrams;
    state.counters["share_of_bare_rate"] = 1.0 / ratios[ratios.size() / 2];
    if (values.kernel_drops) state.SkipWithError("the kernel dropped datagrams");
}
BENCHMARK(BM_SocketTransportRatio);

} // namespace
