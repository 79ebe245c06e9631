// The feed through kernel UDP sockets instead of the card: one non-blocking socket per feed
// channel, bound to the channel's port (and group), joined source-specifically to a multicast
// group, read in batches with recvmmsg (one system call per batch). Each datagram comes with
// its source, the kernel's receive time (SO_TIMESTAMPNS) and the socket's count of datagrams
// the kernel dropped for want of buffer room (SO_RXQ_OVFL).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Vorn_R10 {

// A channel's addresses, host order.
struct SSocketChannel {
    uint32_t group;   // multicast group, or a local unicast address to bind
    uint16_t port;    // UDP destination port
    uint32_t source;  // the only sender whose datagrams belong to the channel
    std::string text; // the channel as the snapshot names it, for messages
};

// One datagram of the last batch.
struct SDatagram {
    uint8_t* data;
    uint32_t length;   // bytes in `data` (at most kDatagramBytes)
    bool truncated;    // longer than the buffer: `data` holds only its start
    uint32_t source;   // sender's address, host order
    int64_t kernelNs;  // CLOCK_REALTIME ns the kernel received it, 0 when not given
    bool hasDropCount; // dropCount holds the socket's total of kernel drops
    uint32_t dropCount;
};

class CSocketTransport {
public:
    static constexpr unsigned kBatch = 32;              // datagrams per recvmmsg
    static constexpr uint32_t kDatagramBytes = 2048;    // receive buffer per datagram
    static constexpr int kReceiveBufferBytes = 8 << 20; // asked of the kernel (it may give less)

    CSocketTransport() = default;
    ~CSocketTransport() { Close(); }
    CSocketTransport(const CSocketTransport&) = delete;
    CSocketTransport& operator=(const CSocketTransport&) = delete;

    // Opens, binds and joins a socket per channel; `interfaceAddr` (host order, 0 any) is where
    // multicast groups are joined. False with `error` naming the channel and the reason, and
    // nothing left open.
    bool Open(const std::vector<SSocketChannel>& channels, uint32_t interfaceAddr, std::string& error);
    void Close();
    size_t Size() const { return fds_.size(); }
    int Fd(size_t socket) const { return fds_[socket]; }
    const SSocketChannel& Channel(size_t socket) const { return channels_[socket]; }

    // One recvmmsg on a socket without waiting: the datagrams taken (0 when none or on error).
    unsigned Receive(size_t socket) {
        Rearm();
        const int got = recvmmsg(fds_[socket], messages_.data(), kBatch, MSG_DONTWAIT, nullptr);
        received_ = got > 0 ? static_cast<unsigned>(got) : 0;
        return received_;
    }
    // Datagram `index` (below Receive's result) of the last batch.
    void Datagram(unsigned index, SDatagram& out);

private:
    // Makes the last batch's headers ready again: the kernel rewrote their lengths.
    void Rearm() {
        for (unsigned i = 0; i < received_; ++i) {
            messages_[i].msg_hdr.msg_namelen = sizeof(struct sockaddr_in);
            messages_[i].msg_hdr.msg_controllen = kControlBytes;
        }
        received_ = 0;
    }

    static constexpr size_t kControlBytes = 64; // a timespec and a drop count, with headers

    std::vector<int> fds_;
    std::vector<SSocketChannel> channels_;
    std::vector<uint8_t> buffers_;
    std::vector<char> control_;
    std::vector<struct mmsghdr> messages_;
    std::vector<struct iovec> vectors_;
    std::vector<struct sockaddr_in> names_;
    unsigned received_ = 0;
};

} // namespace Vorn_R10
