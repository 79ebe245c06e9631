// UDP on loopback for the socket transport's tests: free ports and senders of a chosen address.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorn_test {

// A UDP port of 127.0.0.1 that was free a moment ago (the kernel's pick).
uint16_t FreePort();
// A UDP socket bound to `ip`:`port` (port 0: any); -1 with a test failure when that fails.
int BoundUdp(const char* ip, uint16_t port = 0);

// A UDP socket bound to `source` (a 127.x address) that sends to `to`:`port`; a multicast group
// is sent to through the loopback interface.
class UdpSender {
public:
    UdpSender(const char* source, uint16_t port, const char* to = "127.0.0.1");
    ~UdpSender();
    UdpSender(const UdpSender&) = delete;
    UdpSender& operator=(const UdpSender&) = delete;
    void Send(const uint8_t* data, size_t len);
    void Send(const std::vector<uint8_t>& payload) { Send(payload.data(), payload.size()); }
    int Fd() const { return fd_; }

private:
    int fd_;
    sockaddr_in to_;
};

// Holds the kernel's software receive stamps on while it lives. The kernel turns them on from a
// work queue some time after the first socket asks; this waits until a datagram to itself comes
// stamped, so that every datagram after it is.
class KernelReceiveStamps {
public:
    KernelReceiveStamps();
    ~KernelReceiveStamps();
    KernelReceiveStamps(const KernelReceiveStamps&) = delete;
    KernelReceiveStamps& operator=(const KernelReceiveStamps&) = delete;

private:
    int fd_;
};

} // namespace vorn_test
