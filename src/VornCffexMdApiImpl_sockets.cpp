// The socket transport: the feed's datagrams from kernel UDP sockets, checked against the
// channels as card frames are and fed into the same sequence, reorder and parse path.
#include <algorithm>
#include <cstring>

#include "VornCffexMdApiImpl.h"

using namespace Vorn_R10;

int32_t CVornCffexMdApiImpl::StartSockets() {
    const R10CffexConfigInfo& config = m_r10ConfigInfo;
    m_counters.SetTransport(TRANSPORT_SOCKET);
    if (!config.interface_valid) {
        VORN_LOG(LOG_ERROR, "[%s:%d] [%s] interface [%s] is no IPv4 address.", config.interface_name.c_str());
        return -1;
    }
    ParseFeedChannels();
    std::vector<SSocketChannel> channels;
    for (size_t i = 0; i < m_feedChannels.size(); ++i) {
        const multi_address_field& address = m_MultiAddressField[i];
        const std::string text(address.multi_address, strnlen(address.multi_address, sizeof address.multi_address));
        const SFeedChannel& channel = m_feedChannels[i];
        if (!channel.group_valid) {
            VORN_LOG(LOG_ERROR,
                     "[%s:%d] [%s] channel %s cannot be received through a socket, it is no "
                     "udp://group:port/source of IPv4 addresses.",
                     text.c_str());
            return -1;
        }
        channels.push_back(SSocketChannel{channel.group_addr, channel.port, channel.source_addr, text});
    }
    std::string error;
    if (!m_sockets.Open(channels, config.interface_addr, config.socket_rcvbuf, error)) {
        VORN_LOG(LOG_ERROR, "[%s:%d] [%s] %s.", error.c_str());
        return -1;
    }
    m_socketDrops.assign(m_sockets.Size(), SSocketDrops{});
    ReportSocketSetup();
    VORN_LOG(LOG_INFO,
             "[%s:%d] [%s] transport socket: %d channel sockets on interface %s, no card; version handshake and "
             "FPGA set-up skipped.",
             static_cast<int>(m_sockets.Size()), config.interface_name.empty() ? "any" : config.interface_name.c_str());
    return 0;
}

// A receive buffer below the one asked for drops bursts in the kernel: each is named with the
// setting that caps it. The receive times are the cards' only when every socket has them.
void CVornCffexMdApiImpl::ReportSocketSetup() {
    const int asked = m_r10ConfigInfo.socket_rcvbuf;
    int smallest = asked;
    m_socketHardwareStamps = m_sockets.Size() != 0;
    std::string plain; // an interface without hardware stamps, for the log
    for (size_t socket = 0; socket < m_sockets.Size(); ++socket) {
        const SSocketSetup& setup = m_sockets.Setup(socket);
        smallest = std::min(smallest, setup.receiveBufferBytes);
        if (setup.receiveBufferBytes < asked)
            VORN_LOG(LOG_WARNING,
                     "[%s:%d] [%s] channel %s: the socket's receive buffer is %d bytes, not the %d asked for "
                     "(socket_rcvbuf); bursts beyond it are dropped by the kernel. Raise the sysctl "
                     "net.core.rmem_max to %d, or give the process CAP_NET_ADMIN.",
                     m_sockets.Channel(socket).text.c_str(), setup.receiveBufferBytes, asked, asked);
        if (!setup.hardwareStamps && plain.empty())
            plain = setup.interfaceName.empty() ? "an interface not known by address" : setup.interfaceName;
        m_socketHardwareStamps = m_socketHardwareStamps && setup.hardwareStamps;
    }
    m_counters.SetSocketReceiveBuffer(static_cast<uint64_t>(smallest));
    m_counters.EnableWireToCallback(m_socketHardwareStamps ? kWireToCallbackName : kKernelToCallbackName);
    if (m_socketHardwareStamps)
        VORN_LOG(LOG_INFO, "[%s:%d] [%s] receive times: the network card's hardware stamps, as wire_to_callback.");
    else
        VORN_LOG(LOG_INFO,
                 "[%s:%d] [%s] receive times: the kernel's software time, as kernel_to_callback (no hardware receive "
                 "stamps on %s).",
                 plain.c_str());
}

int32_t CVornCffexMdApiImpl::SocketReceive() {
    bool any = false;
    for (size_t socket = 0; socket < m_sockets.Size(); ++socket) {
        const int received = m_sockets.Receive(socket);
        if (received < 0) {
            NoteSocketError(socket, -received);
            continue;
        }
        m_socketDrops[socket].failing = false;
        for (int i = 0; i < received; ++i) {
            SDatagram datagram;
            m_sockets.Datagram(static_cast<unsigned>(i), datagram);
            m_counters.FrameBegin();
            HandleDatagram(socket, datagram);
            m_counters.FrameEnd(m_socketHardwareStamps ? datagram.hardwareNs : datagram.kernelNs);
        }
        any = any || received != 0;
    }
    if (!any) m_counters.Idle();
    return 0;
}

// The kernel's drop total of the socket (it comes only once non-zero) into the counters; the
// first datagram of a burst of drops logs it.
void CVornCffexMdApiImpl::NoteKernelDrops(size_t socket, const SDatagram& datagram) {
    SSocketDrops& drops = m_socketDrops[socket];
    const uint32_t total = datagram.hasDropCount ? datagram.dropCount : drops.seen;
    const uint32_t fresh = total - drops.seen;
    drops.seen = total;
    if (fresh == 0) {
        drops.burst = false;
        return;
    }
    m_counters.KernelDrops(fresh);
    if (!drops.burst)
        VORN_LOG(LOG_WARNING,
                 "[%s:%d] [%s] channel %s: the kernel dropped %u datagrams, the socket's receive buffer was full.",
                 m_sockets.Channel(socket).text.c_str(), fresh);
    drops.burst = true;
}

// A failed receive is counted by errno; the first of a run of them (until a receive of the
// socket succeeds or finds nothing) is logged.
void CVornCffexMdApiImpl::NoteSocketError(size_t socket, int errnum) {
    m_counters.SocketError(errnum);
    SSocketDrops& state = m_socketDrops[socket];
    if (!state.failing)
        VORN_LOG(LOG_ERROR,
                 "[%s:%d] [%s] channel %s: receiving failed, %s (errno %d); until a receive succeeds "
                 "further failures are counted, not logged.",
                 m_sockets.Channel(socket).text.c_str(), strerror(errnum), errnum);
    state.failing = true;
}
