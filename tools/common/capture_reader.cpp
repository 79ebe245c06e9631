#include "capture_reader.h"

#include <pcap/pcap.h>
#include <stdio_ext.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vorn_tools {
namespace {

// Link types by their LINKTYPE_ value where libpcap may lack the DLT_ name.
constexpr int kLinkSll2 = 276;
constexpr int kLinkIpv4 = 228;
constexpr size_t kSllHeader = 16, kSll2Header = 20, kEthernetHeader = 14;
constexpr uint16_t kEtherIpv4 = 0x0800, kEtherIpv6 = 0x86dd;

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

pcap_t* AsPcap(void* p) { return static_cast<pcap_t*>(p); }

bool IsRawIp(int link) { return link == DLT_RAW || link == kLinkIpv4 || link == 101 /* LINKTYPE_RAW */; }

const char* NameOf(int link) {
    if (link == kLinkSll2) return "LINUX_SLL2";
    const char* name = pcap_datalink_val_to_name(link);
    return name ? name : "unknown";
}

} // namespace

CaptureReader::~CaptureReader() {
    if (pcap_) pcap_close(AsPcap(pcap_));
}

bool CaptureReader::Open(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) {
        error_ = path + ": " + strerror(errno);
        return false;
    }
    // libpcap reads every frame through the stream: a large buffer takes the file in few reads,
    // and as one thread at a time uses a reader, the stream need not lock per read.
    setvbuf(file, fileBuffer_.get(), _IOFBF, kFileBufferBytes);
    __fsetlocking(file, FSETLOCKING_BYCALLER);
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pcap = pcap_fopen_offline_with_tstamp_precision(file, PCAP_TSTAMP_PRECISION_NANO, errbuf);
    if (!pcap) {
        fclose(file);
        error_ = errbuf;
        return false;
    }
    pcap_ = pcap;
    linkType_ = pcap_datalink(pcap);
    linkName_ = NameOf(linkType_);
    const bool known =
        linkType_ == DLT_EN10MB || linkType_ == DLT_LINUX_SLL || linkType_ == kLinkSll2 || IsRawIp(linkType_);
    if (!known) {
        error_ = path + " has link type " + linkName_ + " (" + std::to_string(linkType_) +
                 "); readable are EN10MB (Ethernet), LINUX_SLL, LINUX_SLL2 and RAW (IPv4)";
        return false;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) fileBytes_ = static_cast<uint64_t>(info.st_size);
    return true;
}

uint64_t CaptureReader::Position() const {
    FILE* file = pcap_ ? pcap_file(AsPcap(pcap_)) : nullptr;
    const long at = file ? ftell(file) : -1;
    return at < 0 ? 0 : static_cast<uint64_t>(at);
}

CaptureReader::Result CaptureReader::Next(CapturedFrame& frame) {
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    const int rc = pcap_next_ex(AsPcap(pcap_), &header, &data);
    if (rc == PCAP_ERROR_BREAK) return kEnd;
    if (rc != 1) {
        error_ = pcap_geterr(AsPcap(pcap_));
        return kError;
    }
    frame = CapturedFrame{};
    // Opened with nanosecond precision: tv_usec holds nanoseconds.
    frame.ts_ns = static_cast<uint64_t>(header->ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(header->ts.tv_usec);
    if (header->caplen < header->len) {
        frame.truncated = true;
        return kFrame;
    }
    if (!ToEthernet(data, header->caplen, frame)) frame.not_ethernet_form = true;
    return kFrame;
}

// Destination MAC of an IPv4 multicast group (01:00:5e + low 23 bits) as a switch would write
// it; other destinations get zeros. The connector reads no MAC, but a frame should look real.
size_t CaptureReader::PutEthernetHeader(uint16_t etherType, const uint8_t* srcMac, size_t payloadLen) {
    uint8_t* out = buffer_;
    memset(out, 0, 12);
    const uint8_t* ip = out + kEthernetHeader; // payload is already in place behind the header
    if (etherType == kEtherIpv4 && payloadLen >= 20 && (ip[16] & 0xf0) == 0xe0) {
        const uint8_t mac[6] = {0x01, 0x00, 0x5e, static_cast<uint8_t>(ip[17] & 0x7f), ip[18], ip[19]};
        memcpy(out, mac, 6);
    }
    if (srcMac) memcpy(out + 6, srcMac, 6);
    out[12] = static_cast<uint8_t>(etherType >> 8);
    out[13] = static_cast<uint8_t>(etherType);
    return kEthernetHeader + payloadLen;
}

bool CaptureReader::ToEthernet(const uint8_t* data, size_t caplen, CapturedFrame& frame) {
    if (linkType_ == DLT_EN10MB) {
        frame.data = data;
        frame.len = caplen;
        return caplen >= kEthernetHeader;
    }
    size_t header = 0;
    uint16_t etherType = 0;
    const uint8_t* srcMac = nullptr;
    if (linkType_ == DLT_LINUX_SLL) {
        // type(2) arphrd(2) addr_len(2) addr(8) protocol(2)
        if (caplen < kSllHeader) return false;
        header = kSllHeader;
        etherType = Be16(data + 14);
        if (Be16(data + 4) == 6) srcMac = data + 6;
    } else if (linkType_ == kLinkSll2) {
        // protocol(2) reserved(2) ifindex(4) arphrd(2) type(1) addr_len(1) addr(8)
        if (caplen < kSll2Header) return false;
        header = kSll2Header;
        etherType = Be16(data);
        if (data[11] == 6) srcMac = data + 12;
    } else { // raw IP: the version nibble says which
        if (caplen < 1) return false;
        const int version = data[0] >> 4;
        if (version != 4 && version != 6) return false;
        etherType = version == 4 ? kEtherIpv4 : kEtherIpv6;
    }
    const size_t payload = caplen - header;
    if (payload + kEthernetHeader > sizeof buffer_) return false;
    uint8_t mac[6];
    if (srcMac) memcpy(mac, srcMac, 6);
    memcpy(buffer_ + kEthernetHeader, data + header, payload);
    frame.data = buffer_;
    frame.len = PutEthernetHeader(etherType, srcMac ? mac : nullptr, payload);
    return true;
}

} // namespace vorn_tools
