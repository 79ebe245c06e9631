// Kernel drops on a connector built directly, whose receive is called by the test: datagrams
// the socket's full buffer turned away are counted once the next datagram reports them, and
// each burst is logged once.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "VornCffexMdApiImpl.h"
#include "synthetic_session.h"
#include "test_files.h"

namespace {

using namespace vorn_test;

uint16_t FreePort() {
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(0, bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address));
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

TEST(KernelDrops, AreCountedFromTheNextDatagramAndLoggedOncePerBurst) {
    LogToPrivateDir();
    TempDir dir;
    vorn_sim::SessionConfig config;
    config.source_ip = config.group_ip = "127.0.0.1";
    config.port = FreePort();
    ASSERT_TRUE(vorn_sim::SyntheticSession(config).Snapshot().WriteFile(dir.File("day.bin")));
    auto connector = std::make_unique<CVornCffexMdApiImpl>();
    connector->init_snaphot_params();
    ASSERT_EQ(0, connector->LoadFromFile(dir.File("day.bin")));
    connector->m_r10ConfigInfo.socket_transport = true;
    connector->m_r10ConfigInfo.exanic_cache_flag = 0;
    ASSERT_EQ(0, connector->StartSockets());
    // A small receive buffer fills fast.
    const int small = 4096;
    ASSERT_EQ(0, setsockopt(connector->m_sockets.Fd(0), SOL_SOCKET, SO_RCVBUF, &small, sizeof small));

    const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{}, target{};
    local.sin_family = target.sin_family = AF_INET;
    local.sin_addr.s_addr = target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    target.sin_port = htons(config.port);
    ASSERT_EQ(0, bind(sender, reinterpret_cast<sockaddr*>(&local), sizeof local));
    const std::vector<uint8_t> datagram(600, 0); // payloads of no packet: only counted here
    const auto send = [&](int count) {
        for (int i = 0; i < count; ++i)
            ASSERT_EQ(600, sendto(sender, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&target),
                                  sizeof target));
    };
    const Vorn_R10::SCounterValues& values = connector->m_counters.Header().values;
    const auto drain = [&] {
        for (int idle = 0; idle < 3;) {
            const uint64_t before = values.frames_received;
            connector->SocketReceive();
            idle = values.frames_received == before ? idle + 1 : 0;
        }
    };
    const std::string marker = "the kernel dropped ";
    const size_t logStart = ProcessLog().size();
    uint64_t sent = 0;
    for (int burst = 1; burst <= 2; ++burst) {
        SCOPED_TRACE(burst);
        const uint64_t dropsBefore = values.kernel_drops;
        send(200);
        drain();
        ASSERT_LT(values.frames_received, sent + 200) << "the buffer took every datagram: nothing was dropped";
        // The queued datagrams were queued before the drops: none reports them.
        EXPECT_EQ(dropsBefore, values.kernel_drops);
        // The next datagram carries the socket's drop total; two more carry no new drops.
        send(3);
        drain();
        sent += 203;
        EXPECT_GT(values.kernel_drops, dropsBefore);
        EXPECT_EQ(sent, values.frames_received + values.kernel_drops);
        EXPECT_EQ(static_cast<size_t>(burst), CountOf(ProcessLog(logStart), marker));
    }
    close(sender);
}

} // namespace
