// Test-side readers of what the simulated exchange writes: varints, big-endian numbers,
// packets, and code segments run as real functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorn_test {

// Decodes a ZigZag varint at `pos`, advancing it; false when cut short or longer than 10 bytes.
bool ReadVarint(const std::vector<uint8_t>& buf, size_t& pos, int64_t& value);
uint16_t ReadBe16(const uint8_t* p);
uint32_t ReadBe32(const uint8_t* p);
double ReadBeDouble(const uint8_t* p);

struct WireField {
    uint16_t id;
    std::vector<uint8_t> data;
};
struct WirePacket {
    uint8_t ver, type;
    uint16_t topicid;
    uint32_t trans_id, seqno;
    uint16_t numFields, bodylen;
    uint32_t encrypt;
    std::vector<WireField> fields;
};
// Splits one packet at `pos` (advancing it); false when malformed.
bool ReadPacket(const std::vector<uint8_t>& buf, size_t& pos, WirePacket& packet);

// Machine code copied into its own executable mapping, callable as a code segment.
class ExecutableCode {
public:
    ExecutableCode(const uint8_t* code, size_t len);
    ~ExecutableCode();
    ExecutableCode(const ExecutableCode&) = delete;
    ExecutableCode& operator=(const ExecutableCode&) = delete;
    bool ok() const { return fn_ != nullptr; }
    void Run(uint8_t* data, int32_t len, char* arg) const { fn_(data, len, arg); }

private:
    void* map_ = nullptr;
    size_t size_ = 0;
    void (*fn_)(uint8_t*, int32_t, char*) = nullptr;
};

} // namespace vorn_test
