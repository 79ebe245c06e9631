#include "udp_loopback.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/errqueue.h>
#include <linux/net_tstamp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "connector_harness.h"

namespace vorn_test {

namespace {

sockaddr_in Address(const char* ip, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, ip, &address.sin_addr);
    return address;
}

} // namespace

int BoundUdp(const char* ip, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in local = Address(ip, port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0) return fd;
    ADD_FAILURE() << "bind " << ip << ":" << port << ": " << strerror(errno);
    close(fd);
    return -1;
}

uint16_t FreePort() {
    const int probe = BoundUdp("127.0.0.1");
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

UdpSender::UdpSender(const char* source, uint16_t port, const char* to) : fd_(BoundUdp(source)), to_(Address(to, port)) {
    const in_addr loopback = Address("127.0.0.1", 0).sin_addr;
    if (IN_MULTICAST(ntohl(to_.sin_addr.s_addr))) {
        EXPECT_EQ(0, setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback));
    }
}

UdpSender::~UdpSender() { close(fd_); }

void UdpSender::Send(const uint8_t* data, size_t len) {
    EXPECT_EQ(static_cast<ssize_t>(len), sendto(fd_, data, len, 0, reinterpret_cast<sockaddr*>(&to_), sizeof to_))
        << strerror(errno);
}

KernelReceiveStamps::KernelReceiveStamps() : fd_(BoundUdp("127.0.0.1")) {
    const int flags = SOF_TIMESTAMPING_RX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE;
    if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPING, &flags, sizeof flags) != 0) {
        ADD_FAILURE() << "SO_TIMESTAMPING: " << strerror(errno);
        return;
    }
    sockaddr_in self{};
    socklen_t length = sizeof self;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&self), &length);
    EXPECT_TRUE(WaitFor([&] {
        char byte = 0, control[256];
        iovec data{&byte, 1};
        msghdr message{};
        message.msg_iov = &data, message.msg_iovlen = 1;
        message.msg_control = control, message.msg_controllen = sizeof control;
        sendto(fd_, &byte, 1, 0, reinterpret_cast<sockaddr*>(&self), sizeof self);
        if (recvmsg(fd_, &message, MSG_DONTWAIT) != 1) return false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            scm_timestamping stamps;
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPING) continue;
            memcpy(&stamps, CMSG_DATA(c), sizeof stamps);
            return stamps.ts[0].tv_sec != 0 || stamps.ts[0].tv_nsec != 0;
        }
        return false;
    })) << "the kernel never stamped a datagram";
}

KernelReceiveStamps::~KernelReceiveStamps() { close(fd_); }

} // namespace vorn_test
