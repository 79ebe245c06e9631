// Writes and reads Ethernet captures (.pcap, microsecond timestamps) through libpcap.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn_sim {

struct PcapFrame {
    uint64_t ts_usec = 0; // capture time, microseconds since the epoch
    std::vector<uint8_t> bytes;
};

class PcapWriter {
public:
    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // Creates (truncates) the file; false with Error() set on failure.
    bool Open(const std::string& path);
    bool Write(const std::vector<uint8_t>& frame, uint64_t tsUsec);
    // Flushes and closes; false when the data could not be flushed.
    bool Close();
    const std::string& Error() const { return error_; }

private:
    void* pcap_ = nullptr;   // pcap_t
    void* dumper_ = nullptr; // pcap_dumper_t
    std::string error_;
};

// All frames, stamped startUsec, startUsec + stepUsec, ...
bool WritePcap(const std::string& path, const std::vector<std::vector<uint8_t>>& frames,
               uint64_t startUsec = 1700000000000000ULL, uint64_t stepUsec = 10);
// The link-layer forms a capture tool writes: Ethernet as on the wire, Linux cooked headers
// (tcpdump -i any: SLL, and SLL2 of newer libpcap) or bare IP packets.
enum class CaptureLink { Ethernet, LinuxSll, LinuxSll2, RawIp };

struct CaptureForm {
    CaptureLink link = CaptureLink::Ethernet;
    bool pcapng = false;      // pcapng with nanosecond stamps; else pcap with microsecond stamps
    uint32_t snaplen = 65535; // longer frames are cut to it (the original length is kept)
};

// Writes Ethernet frames (as MakeFrame builds them, no VLAN tag) in the given form: the
// Ethernet header is replaced by the link's own (SLL and SLL2 carry the source MAC and the
// EtherType), stamped startNs, startNs + stepNs, ... False when the file cannot be written.
bool WriteCapture(const std::string& path, const std::vector<std::vector<uint8_t>>& frames, const CaptureForm& form,
                  uint64_t startNs, uint64_t stepNs);

// Every frame of an Ethernet capture; false when the file cannot be read as one.
bool ReadPcap(const std::string& path, std::vector<PcapFrame>& frames, std::string* error = nullptr);

} // namespace vorn_sim
