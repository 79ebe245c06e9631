// Read-only views on an Ethernet/IPv4/UDP frame in a receive buffer; they own nothing.
// Header fields are read byte by byte (big-endian on the wire), never through wider pointers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "byte_order.h"

class CIPHeader {
public:
    explicit CIPHeader(const uint8_t* header) : m_header(header) {}
    uint8_t getVersion() const { return m_header[0] >> 4; }
    uint8_t getHeaderLength() const { return static_cast<uint8_t>((m_header[0] & 0x0F) * 4); }
    uint16_t getTotalLength() const { return Be16(2); }
    // Source address in host order (a.b.c.d is a << 24 | b << 16 | c << 8 | d).
    uint32_t getSourceAddr() const { return Be32(12); }
    uint32_t getDestAddr() const { return Be32(16); }
    std::string getSourceIP() const { return Dotted(12); }
    std::string getDestIP() const { return Dotted(16); }

private:
    uint16_t Be16(int at) const { return LoadBe16(m_header + at); }
    uint32_t Be32(int at) const { return LoadBe32(m_header + at); }
    std::string Dotted(int at) const {
        char text[16];
        snprintf(text, sizeof text, "%u.%u.%u.%u", m_header[at], m_header[at + 1], m_header[at + 2],
                 m_header[at + 3]);
        return text;
    }

    const uint8_t* m_header;
};

class CUDPHeader {
public:
    explicit CUDPHeader(const uint8_t* header) : m_header(header) {}
    uint16_t getSourcePort() const { return Be16(0); }
    uint16_t getDestPort() const { return Be16(2); }
    uint16_t getHeaderLength() const { return 8; }
    uint16_t getLength() const { return Be16(4); }
    uint16_t getCheckNumber() const { return Be16(6); }

private:
    uint16_t Be16(int at) const { return LoadBe16(m_header + at); }

    const uint8_t* m_header;
};

class CUDPPacket {
public:
    static constexpr uint32_t kEthernetHeader = 14;

    CUDPPacket(const uint8_t* frame, uint32_t total_length)
        : m_packet_data(frame),
          m_total_length(total_length),
          m_IPHeader(frame + kEthernetHeader),
          m_UDPHeader(frame + kEthernetHeader + m_IPHeader.getHeaderLength()) {}

    const uint8_t* getFrame() const { return m_packet_data; }
    const CIPHeader& getIPHeader() const { return m_IPHeader; }
    const CUDPHeader& getUDPHeader() const { return m_UDPHeader; }
    // Offset of the UDP payload, or 0 when the frame ends before it.
    uint32_t getPayloadOffset() const {
        const uint32_t offset = kEthernetHeader + m_IPHeader.getHeaderLength() + 8;
        return offset < m_total_length ? offset : 0;
    }

private:
    const uint8_t* m_packet_data;
    uint32_t m_total_length;
    CIPHeader m_IPHeader;
    CUDPHeader m_UDPHeader;
};
