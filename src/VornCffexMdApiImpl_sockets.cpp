// The socket transport: the feed's datagrams from kernel UDP sockets, checked against the
// channels as card frames are and fed into the same sequence, reorder and parse path.
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
    if (!m_sockets.Open(channels, config.interface_addr, error)) {
        VORN_LOG(LOG_ERROR, "[%s:%d] [%s] %s.", error.c_str());
        return -1;
    }
    m_socketDrops.assign(m_sockets.Size(), SSocketDrops{});
    m_counters.EnableWireToCallback();
    VORN_LOG(LOG_INFO,
             "[%s:%d] [%s] transport socket: %d channel sockets on interface %s, no card; version handshake and "
             "FPGA set-up skipped.",
             static_cast<int>(m_sockets.Size()), config.interface_name.empty() ? "any" : config.interface_name.c_str());
    return 0;
}

int32_t CVornCffexMdApiImpl::SocketReceive() {
    bool any = false;
    for (size_t socket = 0; socket < m_sockets.Size(); ++socket) {
        const unsigned received = m_sockets.Receive(socket);
        for (unsigned i = 0; i < received; ++i) {
            SDatagram datagram;
            m_sockets.Datagram(i, datagram);
            m_counters.FrameBegin();
            HandleDatagram(socket, datagram);
            m_counters.FrameEnd(datagram.kernelNs);
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
