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
// Every frame of an Ethernet capture; false when the file cannot be read as one.
bool ReadPcap(const std::string& path, std::vector<PcapFrame>& frames, std::string* error = nullptr);

} // namespace vorn_sim
