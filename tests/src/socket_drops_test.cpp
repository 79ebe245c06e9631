// The socket transport on a connector built directly, whose receive the test calls: kernel drops,
// failed receives and the receive buffer granted, each made for real on loopback sockets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <memory>

#include "VornCffexMdApiImpl.h"
#include "child_process.h"
#include "synthetic_session.h"
#include "test_files.h"
#include "udp_loopback.h"

namespace {

using namespace vorn_test;

// A connector on one loopback channel, started on sockets with the configuration `keys`.
struct SocketConnector {
    explicit SocketConnector(const std::string& keys = "") {
        LogToPrivateDir();
        logStart = ProcessLog().size();
        vorn_sim::SessionConfig config;
        config.source_ip = config.group_ip = "127.0.0.1", config.port = port;
        EXPECT_TRUE(vorn_sim::SyntheticSession(config).Snapshot().WriteFile(dir.File("day.bin")));
        std::ofstream(dir.File("md.ini")) << "[config]\ntransport = socket\nexanic_cache_flag = 0\n" << keys;
        connector->m_configFileName.Assign(dir.File("md.ini").c_str());
        connector->init_snaphot_params();
        EXPECT_TRUE(connector->_ReadConfig() == 0 && connector->LoadFromFile(dir.File("day.bin")) == 0 &&
                    connector->StartSockets() == 0);
    }
    // Polls until three polls in a row took nothing.
    void Drain() {
        for (int idle = 0; idle < 3;) {
            const uint64_t before = values.frames_received + values.socket_errors;
            connector->SocketReceive();
            idle = values.frames_received + values.socket_errors == before ? idle + 1 : 0;
        }
    }
    const uint16_t port = FreePort();
    TempDir dir;
    std::unique_ptr<CVornCffexMdApiImpl> connector = std::make_unique<CVornCffexMdApiImpl>();
    const Vorn_R10::SCounterValues& values = connector->m_counters.Header().values;
    size_t logStart = 0;
};

TEST(KernelDrops, AreCountedFromTheNextDatagramAndLoggedOncePerBurst) {
    SocketConnector c;
    const int small = 4096; // a small receive buffer fills fast
    ASSERT_EQ(0, setsockopt(c.connector->m_sockets.Fd(0), SOL_SOCKET, SO_RCVBUF, &small, sizeof small));
    UdpSender sender("127.0.0.1", c.port);
    const std::vector<uint8_t> datagram(600, 0); // payloads of no packet: only counted here
    for (uint64_t burst = 1, sent = 0; burst <= 2; ++burst) {
        const uint64_t dropsBefore = c.values.kernel_drops;
        for (int i = 0; i < 200; ++i) sender.Send(datagram);
        c.Drain();
        ASSERT_LT(c.values.frames_received, sent + 200) << "the buffer took every datagram: nothing was dropped";
        EXPECT_EQ(dropsBefore, c.values.kernel_drops) << "the queued datagrams came before the drops";
        // The next datagram carries the socket's drop total; two more carry no new drops.
        for (int i = 0; i < 3; ++i) sender.Send(datagram);
        c.Drain();
        sent += 203;
        EXPECT_GT(c.values.kernel_drops, dropsBefore);
        EXPECT_EQ(sent, c.values.frames_received + c.values.kernel_drops);
        EXPECT_EQ(burst, CountOf(ProcessLog(c.logStart), "the kernel dropped "));
    }
}

// A socket connected to a port nobody listens on gets the port-unreachable answer to its own
// datagram as its next receive's error (ECONNREFUSED): each is counted under its errno, and a
// run of them until a receive finds nothing is logged once.
TEST(SocketErrors, AreCountedByErrnoAndLoggedOncePerBurst) {
    SocketConnector c;
    const int fd = c.connector->m_sockets.Fd(0);
    sockaddr_in nobody{AF_INET, htons(FreePort()), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&nobody), sizeof nobody));
    for (const bool endsBurst : {false, true, false}) {
        ASSERT_EQ(1, send(fd, "x", 1, 0));
        endsBurst ? c.Drain() : static_cast<void>(c.connector->SocketReceive());
    }
    c.Drain();
    // A descriptor that is no socket any more: another errno, in a slot of its own.
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(fd, dup2(null, fd));
    close(null);
    for (int i = 0; i < 2; ++i) c.connector->SocketReceive();
    const Vorn_R10::SCounterValues& v = c.values;
    EXPECT_EQ((std::vector<uint64_t>{5, ECONNREFUSED, ENOTSOCK, 0, 3, 2}),
              (std::vector<uint64_t>{v.socket_errors, v.socket_error_errno[0], v.socket_error_errno[1],
                                     v.socket_error_errno[2], v.socket_error_count[0], v.socket_error_count[1]}));
    EXPECT_EQ(2u, CountOf(ProcessLog(c.logStart), ": receiving failed, Connection refused (errno 111); until a receive "
                                                  "succeeds further failures are counted, not logged."));
}

// Whether this process may use CAP_NET_ADMIN (after giving it up, with `drop`).
bool NetAdmin(bool drop = false) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0 || !(data[0].effective & (1u << CAP_NET_ADMIN))) return false;
    data[0].effective &= ~(1u << CAP_NET_ADMIN);
    return !drop || syscall(SYS_capset, &header, data) != 0;
}

// A receive buffer above net.core.rmem_max is granted only with CAP_NET_ADMIN (SO_RCVBUFFORCE);
// without, the kernel grants rmem_max and the log says so with that size. The machine's sysctls
// are only read.
TEST(ReceiveBuffer, TheSizeGrantedIsReadBackAndACappedOneNamed) {
    int rmemMax = 0;
    std::ifstream("/proc/sys/net/core/rmem_max") >> rmemMax;
    if (rmemMax <= 0 || rmemMax > (1 << 29)) GTEST_SKIP() << "net.core.rmem_max " << rmemMax << " leaves no room above";
    const int above = rmemMax + 65536;
    struct Case { bool privileged; std::string key; int asked; } const cases[] = {{false, std::to_string(above), above}, {true, std::to_string(above), above}, {false, "8M", 8 << 20}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.key + (k.privileged ? ", with CAP_NET_ADMIN" : ", without"));
        if (k.privileged && !NetAdmin()) continue;
        InFreshProcess([&] {
            ASSERT_FALSE(!k.privileged && NetAdmin(true)) << "CAP_NET_ADMIN could not be dropped";
            SocketConnector c("socket_rcvbuf = " + k.key + "\n");
            const int granted = k.privileged ? k.asked : std::min(k.asked, rmemMax);
            const std::string log = ProcessLog(c.logStart), asked = std::to_string(k.asked);
            EXPECT_EQ(uint64_t(granted), c.connector->m_counters.Header().startup.socket_rcvbuf);
            EXPECT_EQ(size_t(granted < k.asked), CountOf(log, ": the socket's receive buffer is " + std::to_string(granted) +
                                                          " bytes, not the " + asked + " asked for (socket_rcvbuf); "
                                                          "bursts beyond it are dropped by the kernel. Raise the sysctl "
                                                          "net.core.rmem_max to " + asked + ", or give the process "
                                                          "CAP_NET_ADMIN."))
                << log;
            EXPECT_EQ(size_t(k.key == "8M"), CountOf(log, "socket_rcvbuf [8M] is no size from 1 to 1073741823 bytes, 8388608 is used."));
        });
    }
}

} // namespace
