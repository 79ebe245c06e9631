// Whether a frame in a receive buffer is a feed datagram, and where its payload lies.
// Header fields are read byte by byte (big-endian on the wire), never through wider pointers.
#pragma once

#include <cstdint>

#include "byte_order.h"

// Why a frame on the receive channel is or is not taken as a feed datagram.
enum class FrameCheck : uint8_t {
    Accepted,     // IPv4/UDP, unfragmented, with payload bytes to parse
    NotIpv4Udp,   // another EtherType (ARP, IPv6, ...), IP version not 4, IHL < 5, or not UDP
    Fragment,     // fragment offset set or more-fragments flag set
    BadUdpLength, // UDP length below its own 8-byte header
    Truncated,    // the frame ends before the UDP payload
    Empty,        // a datagram without payload
};

// Where the fields the receive path uses lie in an accepted frame.
struct FeedFrame {
    uint32_t source_addr;    // IPv4 source address, host order
    uint16_t dest_port;      // UDP destination port
    uint32_t payload_offset; // first byte of the UDP payload
    // Payload bytes inside both the datagram and the frame: an FCS, padding or trailer after
    // the datagram is never part of it.
    uint32_t payload_length;
};

// Checks an Ethernet frame (EtherType IPv4, or one 802.1Q tag then IPv4) of `length` bytes.
// Reads nothing at or beyond `length`. Fills `out` only when the result is Accepted.
__attribute__((always_inline)) inline FrameCheck CheckFeedFrame(const uint8_t* frame, uint32_t length, FeedFrame& out) {
    constexpr uint32_t kEthernetHeader = 14, kVlanTag = 4, kIpv4MinHeader = 20, kUdpHeader = 8;
    uint32_t ip = kEthernetHeader;
    if (length < ip + kIpv4MinHeader) return FrameCheck::Truncated;
    uint16_t etherType = LoadBe16(frame + 12);
    if (etherType == 0x8100) {
        etherType = LoadBe16(frame + 16);
        ip += kVlanTag;
        if (length < ip + kIpv4MinHeader) return FrameCheck::Truncated;
    }
    const uint8_t versionAndLength = frame[ip];
    if (etherType != 0x0800 || versionAndLength >> 4 != 4 || (versionAndLength & 0x0F) < 5 || frame[ip + 9] != 17)
        return FrameCheck::NotIpv4Udp;
    if (LoadBe16(frame + ip + 6) & 0x3FFF) return FrameCheck::Fragment; // more-fragments flag, offset
    const uint32_t udp = ip + (versionAndLength & 0x0Fu) * 4;
    if (length < udp + kUdpHeader) return FrameCheck::Truncated;
    const uint32_t udpLength = LoadBe16(frame + udp + 4);
    if (udpLength < kUdpHeader) return FrameCheck::BadUdpLength;
    const uint32_t payload = udp + kUdpHeader;
    if (length <= payload) return FrameCheck::Truncated;
    if (udpLength == kUdpHeader) return FrameCheck::Empty;
    const uint32_t inFrame = length - payload, inDatagram = udpLength - kUdpHeader;
    out.source_addr = LoadBe32(frame + ip + 12);
    out.dest_port = LoadBe16(frame + udp + 2);
    out.payload_offset = payload;
    out.payload_length = inFrame < inDatagram ? inFrame : inDatagram;
    return FrameCheck::Accepted;
}
