#include "pcap_writer.h"

#include <pcap/pcap.h>

#include <cstring>
#include <fstream>

namespace vorn_sim {
namespace {

constexpr int kSnapLength = 65535;

pcap_t* AsPcap(void* p) { return static_cast<pcap_t*>(p); }
pcap_dumper_t* AsDumper(void* p) { return static_cast<pcap_dumper_t*>(p); }

} // namespace

PcapWriter::~PcapWriter() { Close(); }

bool PcapWriter::Open(const std::string& path) {
    Close();
    pcap_t* pcap = pcap_open_dead(DLT_EN10MB, kSnapLength);
    if (!pcap) {
        error_ = "pcap_open_dead failed";
        return false;
    }
    pcap_dumper_t* dumper = pcap_dump_open(pcap, path.c_str());
    if (!dumper) {
        error_ = pcap_geterr(pcap);
        pcap_close(pcap);
        return false;
    }
    pcap_ = pcap;
    dumper_ = dumper;
    return true;
}

bool PcapWriter::Write(const std::vector<uint8_t>& frame, uint64_t tsUsec) {
    if (!dumper_) {
        error_ = "not open";
        return false;
    }
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(tsUsec / 1000000);
    header.ts.tv_usec = static_cast<suseconds_t>(tsUsec % 1000000);
    header.caplen = static_cast<bpf_u_int32>(frame.size());
    header.len = static_cast<bpf_u_int32>(frame.size());
    pcap_dump(static_cast<u_char*>(dumper_), &header, frame.data());
    return true;
}

bool PcapWriter::Close() {
    bool ok = true;
    if (dumper_) {
        ok = pcap_dump_flush(AsDumper(dumper_)) == 0;
        pcap_dump_close(AsDumper(dumper_));
        dumper_ = nullptr;
    }
    if (pcap_) {
        pcap_close(AsPcap(pcap_));
        pcap_ = nullptr;
    }
    return ok;
}

bool WritePcap(const std::string& path, const std::vector<std::vector<uint8_t>>& frames, uint64_t startUsec,
               uint64_t stepUsec) {
    PcapWriter writer;
    if (!writer.Open(path)) return false;
    uint64_t ts = startUsec;
    for (const auto& frame : frames) {
        writer.Write(frame, ts);
        ts += stepUsec;
    }
    return writer.Close();
}

namespace {

constexpr size_t kEthernetHeader = 14;

void Put16(std::string& out, uint16_t v) { out.append(reinterpret_cast<const char*>(&v), 2); }
void Put32(std::string& out, uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }
void PutBe16(std::string& out, uint16_t v) {
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
}
void Pad4(std::string& out) { out.append((4 - out.size() % 4) % 4, '\0'); }

uint32_t LinkTypeOf(CaptureLink link) {
    switch (link) {
    case CaptureLink::LinuxSll: return 113;
    case CaptureLink::LinuxSll2: return 276;
    case CaptureLink::RawIp: return 101;
    case CaptureLink::Ethernet: break;
    }
    return 1;
}

// The frame with its Ethernet header replaced by the link's header (big-endian fields).
std::string Relinked(const std::vector<uint8_t>& frame, CaptureLink link) {
    if (link == CaptureLink::Ethernet || frame.size() < kEthernetHeader) return std::string(frame.begin(), frame.end());
    const uint16_t etherType = static_cast<uint16_t>(frame[12] << 8 | frame[13]);
    const char* srcMac = reinterpret_cast<const char*>(frame.data() + 6);
    std::string out;
    if (link == CaptureLink::LinuxSll) {
        PutBe16(out, 0); // packet type: to us
        PutBe16(out, 1); // ARPHRD_ETHER
        PutBe16(out, 6); // address length
        out.append(srcMac, 6);
        out.append(2, '\0');
        PutBe16(out, etherType);
    } else if (link == CaptureLink::LinuxSll2) {
        PutBe16(out, etherType);
        PutBe16(out, 0);           // reserved
        out.append("\0\0\0\2", 4); // interface index
        PutBe16(out, 1);           // ARPHRD_ETHER
        out += '\0';               // packet type
        out += '\6';               // address length
        out.append(srcMac, 6);
        out.append(2, '\0');
    }
    out.append(reinterpret_cast<const char*>(frame.data() + kEthernetHeader), frame.size() - kEthernetHeader);
    return out;
}

void PcapRecord(std::string& out, const std::string& data, uint32_t snaplen, uint64_t ns) {
    const uint32_t caplen = data.size() < snaplen ? static_cast<uint32_t>(data.size()) : snaplen;
    Put32(out, static_cast<uint32_t>(ns / 1000000000ULL));
    Put32(out, static_cast<uint32_t>(ns % 1000000000ULL / 1000));
    Put32(out, caplen);
    Put32(out, static_cast<uint32_t>(data.size()));
    out.append(data, 0, caplen);
}

void PcapngBlock(std::string& out, uint32_t type, const std::string& body) {
    std::string padded = body;
    Pad4(padded);
    const uint32_t length = static_cast<uint32_t>(padded.size() + 12);
    Put32(out, type);
    Put32(out, length);
    out += padded;
    Put32(out, length);
}

void PcapngHeader(std::string& out, uint32_t linkType, uint32_t snaplen) {
    std::string section;
    Put32(section, 0x1A2B3C4D);
    Put16(section, 1);
    Put16(section, 0);
    section.append(8, '\xff'); // section length unknown
    PcapngBlock(out, 0x0A0D0D0A, section);
    std::string interface;
    Put16(interface, static_cast<uint16_t>(linkType));
    Put16(interface, 0);
    Put32(interface, snaplen);
    Put16(interface, 9); // if_tsresol: 10^-9 s
    Put16(interface, 1);
    interface += '\x09';
    Pad4(interface);
    Put32(interface, 0); // end of options
    PcapngBlock(out, 1, interface);
}

void PcapngRecord(std::string& out, const std::string& data, uint32_t snaplen, uint64_t ns) {
    const uint32_t caplen = data.size() < snaplen ? static_cast<uint32_t>(data.size()) : snaplen;
    std::string body;
    Put32(body, 0); // interface
    Put32(body, static_cast<uint32_t>(ns >> 32));
    Put32(body, static_cast<uint32_t>(ns));
    Put32(body, caplen);
    Put32(body, static_cast<uint32_t>(data.size()));
    body.append(data, 0, caplen);
    PcapngBlock(out, 6, body);
}

} // namespace

bool WriteCapture(const std::string& path, const std::vector<std::vector<uint8_t>>& frames, const CaptureForm& form,
                  uint64_t startNs, uint64_t stepNs) {
    std::string out;
    const uint32_t linkType = LinkTypeOf(form.link);
    if (form.pcapng) {
        PcapngHeader(out, linkType, form.snaplen);
    } else {
        Put32(out, 0xa1b2c3d4);
        Put16(out, 2);
        Put16(out, 4);
        Put32(out, 0);
        Put32(out, 0);
        Put32(out, form.snaplen);
        Put32(out, linkType);
    }
    uint64_t ns = startNs;
    for (const auto& frame : frames) {
        const std::string data = Relinked(frame, form.link);
        if (form.pcapng)
            PcapngRecord(out, data, form.snaplen, ns);
        else
            PcapRecord(out, data, form.snaplen, ns);
        ns += stepNs;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(out.data(), static_cast<std::streamsize>(out.size()));
    return static_cast<bool>(file.flush());
}

bool ReadPcap(const std::string& path, std::vector<PcapFrame>& frames, std::string* error) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pcap = pcap_open_offline(path.c_str(), errbuf);
    if (!pcap) {
        if (error) *error = errbuf;
        return false;
    }
    if (pcap_datalink(pcap) != DLT_EN10MB) {
        if (error) *error = "not an Ethernet capture";
        pcap_close(pcap);
        return false;
    }
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int rc;
    while ((rc = pcap_next_ex(pcap, &header, &data)) == 1) {
        PcapFrame frame;
        frame.ts_usec = static_cast<uint64_t>(header->ts.tv_sec) * 1000000 + static_cast<uint64_t>(header->ts.tv_usec);
        frame.bytes.assign(data, data + header->caplen);
        frames.push_back(std::move(frame));
    }
    if (rc == -1 && error) *error = pcap_geterr(pcap);
    pcap_close(pcap);
    return rc == PCAP_ERROR_BREAK;
}

} // namespace vorn_sim
