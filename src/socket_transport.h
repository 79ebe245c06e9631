// The feed through kernel UDP sockets instead of the card: one non-blocking socket per feed
// channel (channels of one unicast address and port share it), bound to the channel's port
// (and group), joined source-specifically to a multicast group, read in batches with recvmmsg
// (one system call per batch). Each datagram comes with its source, its receive times
// (SO_TIMESTAMPING: the kernel's, and the network card's where it stamps) and the socket's
// count of datagrams the kernel dropped for want of buffer room (SO_RXQ_OVFL).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
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

// What a socket got from the kernel at start-up.
struct SSocketSetup {
    int receiveBufferBytes;    // the receive buffer granted (half what SO_RCVBUF reads back:
                               // the kernel doubles a request for its bookkeeping)
    bool receiveBufferForced;  // granted through SO_RCVBUFFORCE, beyond net.core.rmem_max
    bool hardwareStamps;       // the interface stamps received packets in hardware
    std::string interfaceName; // the interface whose stamps were asked for, empty when unknown
};

// One datagram of the last batch.
struct SDatagram {
    uint8_t* data;
    uint32_t length;    // bytes in `data` (at most kDatagramBytes)
    bool truncated;     // longer than the buffer: `data` holds only its start
    uint32_t source;    // sender's address, host order
    int64_t kernelNs;   // CLOCK_REALTIME ns the kernel received it, 0 when not given
    int64_t hardwareNs; // the network card's receive stamp (its clock, ns), 0 when not given
    bool hasDropCount;  // dropCount holds the socket's total of kernel drops
    uint32_t dropCount;
};

class CSocketTransport {
public:
    static constexpr unsigned kBatch = 32;                     // datagrams per recvmmsg
    static constexpr uint32_t kDatagramBytes = 2048;           // receive buffer per datagram
    static constexpr int kDefaultReceiveBufferBytes = 8 << 20; // asked of the kernel unless configured

    CSocketTransport() = default;
    ~CSocketTransport() { Close(); }
    CSocketTransport(const CSocketTransport&) = delete;
    CSocketTransport& operator=(const CSocketTransport&) = delete;

    // Opens, binds and joins a socket per channel (one for channels of the same unicast address
    // and port; SO_REUSEADDR only for channels sharing a multicast group and port), asks for a
    // receive buffer of `receiveBufferBytes` (forced beyond the system's cap where privileged),
    // and asks for hardware receive stamps, enabling them on the interface where permitted.
    // `interfaceAddr` (host order, 0 any) is where multicast groups are joined. False with
    // `error` naming the channel and the reason, and nothing left open.
    bool Open(const std::vector<SSocketChannel>& channels, uint32_t interfaceAddr, int receiveBufferBytes,
              std::string& error);
    void Close();
    size_t Size() const { return fds_.size(); }
    int Fd(size_t socket) const { return fds_[socket]; }
    // The first channel the socket serves.
    const SSocketChannel& Channel(size_t socket) const { return channels_[socket]; }
    const SSocketSetup& Setup(size_t socket) const { return setups_[socket]; }

    // One recvmmsg on a socket without waiting: the datagrams taken, 0 when none was waiting,
    // or -errno when the call failed otherwise (the batch is then empty).
    int Receive(size_t socket) {
        Rearm();
        const int got = recvmmsg(fds_[socket], messages_.data(), kBatch, MSG_DONTWAIT, nullptr);
        if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -errno;
        received_ = static_cast<unsigned>(got);
        return got;
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
    void PrepareBatch();

    static constexpr size_t kControlBytes = 128; // three timespecs and a drop count, with headers

    std::vector<int> fds_;
    std::vector<SSocketChannel> channels_;
    std::vector<SSocketSetup> setups_;
    std::vector<uint8_t> buffers_;
    std::vector<char> control_;
    std::vector<struct mmsghdr> messages_;
    std::vector<struct iovec> vectors_;
    std::vector<struct sockaddr_in> names_;
    unsigned received_ = 0;
};

} // namespace Vorn_R10
