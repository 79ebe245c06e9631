#include "udp_view.h"

namespace vorn_tools {
namespace {

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

constexpr uint16_t kEtherIpv4 = 0x0800, kEtherVlan = 0x8100, kEtherQinQ = 0x88a8;
constexpr uint8_t kProtocolUdp = 17;

} // namespace

bool ReadUdp(const uint8_t* frame, size_t len, UdpView& view) {
    size_t at = 12;
    if (len < at + 2) return false;
    uint16_t etherType = Be16(frame + at);
    while ((etherType == kEtherVlan || etherType == kEtherQinQ) && len >= at + 6) {
        at += 4;
        etherType = Be16(frame + at);
    }
    at += 2;
    if (etherType != kEtherIpv4 || len < at + 20) return false;
    const uint8_t* ip = frame + at;
    const size_t ipHeader = static_cast<size_t>(ip[0] & 0x0f) * 4;
    const size_t ipTotal = Be16(ip + 2);
    if ((ip[0] >> 4) != 4 || ipHeader < 20 || ip[9] != kProtocolUdp) return false;
    if ((Be16(ip + 6) & 0x1fff) != 0) return false; // a later fragment holds no UDP header
    const size_t ipEnd = ipTotal < len - at ? ipTotal : len - at;
    if (ipEnd < ipHeader + 8) return false;
    const uint8_t* udp = ip + ipHeader;
    const size_t udpLen = Be16(udp + 4);
    const size_t available = ipEnd - ipHeader;
    if (udpLen < 8) return false;
    view.src_ip = Be32(ip + 12);
    view.dst_port = Be16(udp + 2);
    view.payload = udp + 8;
    view.payload_len = (udpLen < available ? udpLen : available) - 8;
    return true;
}

} // namespace vorn_tools
