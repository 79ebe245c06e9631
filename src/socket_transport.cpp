#include "socket_transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace Vorn_R10 {

namespace {

bool SetOption(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value) == 0;
}

std::string Reason(const char* what) { return std::string(what) + ": " + strerror(errno); }

// A socket bound to the channel's group (or unicast address) and port, joined to the group for
// the channel's source when the group is multicast; -1 with `error`.
int OpenChannel(const SSocketChannel& channel, uint32_t interfaceAddr, std::string& error) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = Reason("socket");
        return -1;
    }
    // A/B channels may share a group and port; each socket keeps only its source (the join's filter).
    if (!SetOption(fd, SOL_SOCKET, SO_REUSEADDR, 1) || !SetOption(fd, SOL_SOCKET, SO_RXQ_OVFL, 1) ||
        !SetOption(fd, SOL_SOCKET, SO_TIMESTAMPNS, 1)) {
        error = Reason("setsockopt");
        close(fd);
        return -1;
    }
    // As large a receive buffer as the system allows; smaller is no failure.
    SetOption(fd, SOL_SOCKET, SO_RCVBUF, CSocketTransport::kReceiveBufferBytes);
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
    return fd;
}

} // namespace

bool CSocketTransport::Open(const std::vector<SSocketChannel>& channels, uint32_t interfaceAddr, std::string& error) {
    Close();
    for (const SSocketChannel& channel : channels) {
        std::string reason;
        const int fd = OpenChannel(channel, interfaceAddr, reason);
        if (fd < 0) {
            error = "channel " + channel.text + " cannot be received through a socket, " + reason;
            Close();
            return false;
        }
        fds_.push_back(fd);
        channels_.push_back(channel);
    }
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
    return true;
}

void CSocketTransport::Close() {
    for (const int fd : fds_) close(fd);
    fds_.clear();
    channels_.clear();
    received_ = 0;
}

void CSocketTransport::Datagram(unsigned index, SDatagram& out) {
    struct msghdr& header = messages_[index].msg_hdr;
    const uint32_t length = messages_[index].msg_len;
    out.data = buffers_.data() + size_t{index} * kDatagramBytes;
    out.truncated = (header.msg_flags & MSG_TRUNC) != 0 || length > kDatagramBytes;
    out.length = length < kDatagramBytes ? length : kDatagramBytes;
    out.source = header.msg_namelen >= sizeof(struct sockaddr_in) ? ntohl(names_[index].sin_addr.s_addr) : 0;
    out.kernelNs = 0;
    out.hasDropCount = false;
    out.dropCount = 0;
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET) continue;
        if (c->cmsg_type == SCM_TIMESTAMPNS && c->cmsg_len >= CMSG_LEN(sizeof(struct timespec))) {
            struct timespec stamp;
            memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            out.kernelNs = static_cast<int64_t>(stamp.tv_sec) * 1000000000 + stamp.tv_nsec;
        } else if (c->cmsg_type == SO_RXQ_OVFL && c->cmsg_len >= CMSG_LEN(sizeof(uint32_t))) {
            memcpy(&out.dropCount, CMSG_DATA(c), sizeof out.dropCount);
            out.hasDropCount = true;
        }
    }
}

} // namespace Vorn_R10
