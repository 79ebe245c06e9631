// Reads a pcap or pcapng capture frame by frame and hands every frame over in the Ethernet form
// the card delivers, whatever the capture's link type: Ethernet as it is; Linux cooked (SLL,
// SLL2) and raw IP behind a synthesised Ethernet header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vorn_tools {

// One frame; `data` stays valid until the next call of Next().
struct CapturedFrame {
    const uint8_t* data = nullptr; // Ethernet frame (only when !truncated)
    size_t len = 0;
    uint64_t ts_ns = 0;             // capture time, nanoseconds since the epoch
    bool truncated = false;         // cut by the capture's snapshot length: not handed over
    bool not_ethernet_form = false; // a link header that names no Ethernet payload (e.g. SLL of ARPHRD other)
};

// Not thread-safe: one thread at a time uses a reader.
class CaptureReader {
public:
    CaptureReader() = default;
    ~CaptureReader();
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    // Opens the file (nanosecond stamps whatever the file holds). False with Error() set when
    // it is no capture or its link type is none of Ethernet, SLL, SLL2 and raw IP; the error
    // names the link type.
    bool Open(const std::string& path);
    enum Result { kFrame, kEnd, kError };
    // The next frame; kError with Error() set when the file is damaged.
    Result Next(CapturedFrame& frame);

    const std::string& Error() const { return error_; }
    const char* LinkTypeName() const { return linkName_; }
    uint64_t FileBytes() const { return fileBytes_; }
    // Bytes of the file consumed so far (for a progress figure).
    uint64_t Position() const;

private:
    bool ToEthernet(const uint8_t* data, size_t caplen, CapturedFrame& frame);
    size_t PutEthernetHeader(uint16_t etherType, const uint8_t* srcMac, size_t payloadLen);

    void* pcap_ = nullptr; // pcap_t
    int linkType_ = -1;
    const char* linkName_ = "";
    uint64_t fileBytes_ = 0;
    std::string error_;
    static constexpr size_t kFileBufferBytes = 1 << 20;
    // The file stream's buffer.
    std::unique_ptr<char[]> fileBuffer_{new char[kFileBufferBytes]};
    uint8_t buffer_[65536 + 64]; // a converted frame: synthesised header + payload
};

} // namespace vorn_tools
