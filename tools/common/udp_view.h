// The IPv4/UDP headers of an Ethernet frame (VLAN tags stepped over), read in place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn_tools {

struct UdpView {
    uint32_t src_ip = 0; // host order
    uint16_t dst_port = 0;
    const uint8_t* payload = nullptr;
    size_t payload_len = 0; // bounded by the frame, the IP total length and the UDP length
};

// False when the frame is no Ethernet/IPv4/UDP frame (or too short to be one); `view` is then
// left unspecified.
bool ReadUdp(const uint8_t* frame, size_t len, UdpView& view);

} // namespace vorn_tools
