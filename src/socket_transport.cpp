#include "socket_transport.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/errqueue.h>
#include <linux/net_tstamp.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

namespace Vorn_R10 {

namespace {

bool SetOption(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value) == 0;
}

std::string Reason(const char* what) { return std::string(what) + ": " + strerror(errno); }

bool SameAddress(const SSocketChannel& a, const SSocketChannel& b) { return a.group == b.group && a.port == b.port; }

// The receive buffer the kernel granted: SO_RCVBUF reads back twice the size asked for.
int GrantedReceiveBuffer(int fd) {
    int doubled = 0;
    socklen_t length = sizeof doubled;
    return getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &doubled, &length) == 0 ? doubled / 2 : 0;
}

// SO_RCVBUF is capped at net.core.rmem_max without a word, so the size granted is read back;
// when it falls short, SO_RCVBUFFORCE (which needs CAP_NET_ADMIN) goes beyond the cap.
void SizeReceiveBuffer(int fd, int bytes, SSocketSetup& setup) {
    SetOption(fd, SOL_SOCKET, SO_RCVBUF, bytes);
    setup.receiveBufferBytes = GrantedReceiveBuffer(fd);
    if (setup.receiveBufferBytes < bytes && SetOption(fd, SOL_SOCKET, SO_RCVBUFFORCE, bytes)) {
        setup.receiveBufferBytes = GrantedReceiveBuffer(fd);
        setup.receiveBufferForced = true;
    }
}

// The name of the interface holding the IPv4 address `addr` (host order); empty when none does.
std::string InterfaceOf(uint32_t addr) {
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return "";
    std::string name;
    for (const struct ifaddrs* i = list; i && name.empty(); i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        struct sockaddr_in address;
        memcpy(&address, i->ifa_addr, sizeof address);
        if (ntohl(address.sin_addr.s_addr) == addr) name = i->ifa_name;
    }
    freeifaddrs(list);
    return name;
}

// Whether `name` stamps every received packet in hardware: already so, or switched so here
// (CAP_NET_ADMIN). The transmit setting is kept; an interface that cannot say (loopback, most
// virtual ones) has no hardware stamps.
bool EnableHardwareStamps(int fd, const std::string& name) {
    if (name.empty() || name.size() >= IFNAMSIZ) return false;
    struct hwtstamp_config config {};
    struct ifreq request {};
    memcpy(request.ifr_name, name.c_str(), name.size());
    request.ifr_data = reinterpret_cast<char*>(&config);
    if (ioctl(fd, SIOCGHWTSTAMP, &request) != 0) return false;
    if (config.rx_filter == HWTSTAMP_FILTER_ALL) return true;
    config.rx_filter = HWTSTAMP_FILTER_ALL;
    return ioctl(fd, SIOCSHWTSTAMP, &request) == 0 && config.rx_filter == HWTSTAMP_FILTER_ALL;
}

// Receive times: the kernel's always, the card's where it stamps.
constexpr int kStampFlags = SOF_TIMESTAMPING_RX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_RX_HARDWARE |
                            SOF_TIMESTAMPING_RAW_HARDWARE;

// A socket bound to the channel's group (or unicast address) and port, joined to the group for
// the channel's source when the group is multicast; -1 with `error`.
int OpenChannel(const SSocketChannel& channel, uint32_t interfaceAddr, int receiveBufferBytes, bool reuseAddress,
                SSocketSetup& setup, std::string& error) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = Reason("socket");
        return -1;
    }
    // Only sockets of one process's channels may share a port: A/B channels of one multicast
    // group, each keeping its source through the join's filter. A unicast port bound by
    // anyone else is refused by bind, rather than shared with a process that takes datagrams.
    if ((reuseAddress && !SetOption(fd, SOL_SOCKET, SO_REUSEADDR, 1)) || !SetOption(fd, SOL_SOCKET, SO_RXQ_OVFL, 1) ||
        !SetOption(fd, SOL_SOCKET, SO_TIMESTAMPING, kStampFlags)) {
        error = Reason("setsockopt");
        close(fd);
        return -1;
    }
    SizeReceiveBuffer(fd, receiveBufferBytes, setup);
    struct sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = htons(channel.port);
    local.sin_addr.s_addr = htonl(channel.group);
    if (bind(fd, reinterpret_cast<const struct sockaddr*>(&local), sizeof local) != 0) {
        error = Reason("bind");
        close(fd);
        return -1;
    }
    if (IN_MULTICAST(channel.group)) {
        struct ip_mreq_source join {};
        join.imr_multiaddr.s_addr = htonl(channel.group);
        join.imr_interface.s_addr = htonl(interfaceAddr);
        join.imr_sourceaddr.s_addr = htonl(channel.source);
        if (setsockopt(fd, IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, &join, sizeof join) != 0) {
            error = Reason("source-specific join");
            close(fd);
            return -1;
        }
    }
    // The interface the datagrams come in on, where it is known: the one named, or the one
    // holding a unicast channel's address.
    setup.interfaceName = InterfaceOf(interfaceAddr ? interfaceAddr : IN_MULTICAST(channel.group) ? 0 : channel.group);
    setup.hardwareStamps = EnableHardwareStamps(fd, setup.interfaceName);
    return fd;
}

} // namespace

bool CSocketTransport::Open(const std::vector<SSocketChannel>& channels, uint32_t interfaceAddr, int receiveBufferBytes,
                            std::string& error) {
    Close();
    for (const SSocketChannel& channel : channels) {
        bool shared = false, served = false;
        for (const SSocketChannel& other : channels)
            shared = shared || (&other != &channel && SameAddress(channel, other));
        for (const SSocketChannel& open : channels_) served = served || SameAddress(channel, open);
        // Channels of one unicast address and port are one socket's: the kernel gives each
        // unicast datagram to one socket only.
        if (served && !IN_MULTICAST(channel.group)) continue;
        std::string reason;
        SSocketSetup setup{};
        const int fd = OpenChannel(channel, interfaceAddr, receiveBufferBytes, shared && IN_MULTICAST(channel.group),
                                   setup, reason);
        if (fd < 0) {
            error = "channel " + channel.text + " cannot be received through a socket, " + reason;
            Close();
            return false;
        }
        fds_.push_back(fd);
        channels_.push_back(channel);
        setups_.push_back(setup);
    }
    PrepareBatch();
    return true;
}

void CSocketTransport::PrepareBatch() {
    buffers_.assign(size_t{kBatch} * kDatagramBytes, 0);
    control_.assign(size_t{kBatch} * kControlBytes, 0);
    messages_.assign(kBatch, mmsghdr{});
    vectors_.assign(kBatch, iovec{});
    names_.assign(kBatch, sockaddr_in{});
    for (unsigned i = 0; i < kBatch; ++i) {
        vectors_[i].iov_base = buffers_.data() + size_t{i} * kDatagramBytes;
        vectors_[i].iov_len = kDatagramBytes;
        struct msghdr& header = messages_[i].msg_hdr;
        header.msg_name = &names_[i];
        header.msg_namelen = sizeof names_[i];
        header.msg_iov = &vectors_[i];
        header.msg_iovlen = 1;
        header.msg_control = control_.data() + size_t{i} * kControlBytes;
        header.msg_controllen = kControlBytes;
    }
    received_ = 0;
}

void CSocketTransport::Close() {
    for (const int fd : fds_) close(fd);
    fds_.clear();
    channels_.clear();
    setups_.clear();
    received_ = 0;
}

namespace {

int64_t Nanoseconds(const struct timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }

} // namespace

void CSocketTransport::Datagram(unsigned index, SDatagram& out) {
    struct msghdr& header = messages_[index].msg_hdr;
    const uint32_t length = messages_[index].msg_len;
    out.data = buffers_.data() + size_t{index} * kDatagramBytes;
    out.truncated = (header.msg_flags & MSG_TRUNC) != 0 || length > kDatagramBytes;
    out.length = length < kDatagramBytes ? length : kDatagramBytes;
    out.source = header.msg_namelen >= sizeof(struct sockaddr_in) ? ntohl(names_[index].sin_addr.s_addr) : 0;
    out.kernelNs = 0;
    out.hardwareNs = 0;
    out.hasDropCount = false;
    out.dropCount = 0;
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET) continue;
        if (c->cmsg_type == SCM_TIMESTAMPING && c->cmsg_len >= CMSG_LEN(sizeof(struct scm_timestamping))) {
            // [0] the kernel's time, [2] the card's raw stamp; a zero timespec is one not given.
            struct scm_timestamping stamps;
            memcpy(&stamps, CMSG_DATA(c), sizeof stamps);
            out.kernelNs = Nanoseconds(stamps.ts[0]);
            out.hardwareNs = Nanoseconds(stamps.ts[2]);
        } else if (c->cmsg_type == SO_RXQ_OVFL && c->cmsg_len >= CMSG_LEN(sizeof(uint32_t))) {
            memcpy(&out.dropCount, CMSG_DATA(c), sizeof out.dropCount);
            out.hasDropCount = true;
        }
    }
}

} // namespace Vorn_R10
