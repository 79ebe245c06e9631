#include "udp_loopback.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

} // namespace vorn_test
