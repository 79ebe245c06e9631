#include "wire_reader.h"

#include <sys/mman.h>

#include <cstring>

namespace vorn_test {

bool ReadVarint(const std::vector<uint8_t>& buf, size_t& pos, int64_t& value) {
    uint64_t raw = 0;
    for (int i = 0; i < 10; ++i) {
        if (pos >= buf.size()) return false;
        const uint8_t byte = buf[pos++];
        raw |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
        if (!(byte & 0x80)) {
            value = static_cast<int64_t>((raw >> 1) ^ (~(raw & 1) + 1));
            return true;
        }
    }
    return false;
}

uint16_t ReadBe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

uint32_t ReadBe32(const uint8_t* p) { return static_cast<uint32_t>(ReadBe16(p)) << 16 | ReadBe16(p + 2); }

double ReadBeDouble(const uint8_t* p) {
    const uint64_t bits = static_cast<uint64_t>(ReadBe32(p)) << 32 | ReadBe32(p + 4);
    double value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

bool ReadPacket(const std::vector<uint8_t>& buf, size_t& pos, WirePacket& packet) {
    if (buf.size() - pos < 20) return false;
    const uint8_t* h = buf.data() + pos;
    packet.ver = h[0];
    packet.type = h[1];
    packet.topicid = ReadBe16(h + 2);
    packet.trans_id = ReadBe32(h + 4);
    packet.seqno = ReadBe32(h + 8);
    packet.numFields = ReadBe16(h + 12);
    packet.bodylen = ReadBe16(h + 14);
    packet.encrypt = ReadBe32(h + 16);
    pos += 20;
    if (buf.size() - pos < packet.bodylen) return false;
    const size_t end = pos + packet.bodylen;
    packet.fields.clear();
    while (pos < end) {
        if (end - pos < 4) return false;
        WireField field;
        field.id = ReadBe16(buf.data() + pos);
        const uint16_t len = ReadBe16(buf.data() + pos + 2);
        pos += 4;
        if (end - pos < len) return false;
        field.data.assign(buf.begin() + static_cast<std::ptrdiff_t>(pos),
                          buf.begin() + static_cast<std::ptrdiff_t>(pos + len));
        pos += len;
        packet.fields.push_back(std::move(field));
    }
    return packet.fields.size() == packet.numFields;
}

ExecutableCode::ExecutableCode(const uint8_t* code, size_t len) : size_(len ? len : 1) {
    void* map = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return;
    memcpy(map, code, len);
    if (mprotect(map, size_, PROT_READ | PROT_EXEC) != 0) {
        munmap(map, size_);
        return;
    }
    map_ = map;
    fn_ = reinterpret_cast<void (*)(uint8_t*, int32_t, char*)>(map);
}

ExecutableCode::~ExecutableCode() {
    if (map_) munmap(map_, size_);
}

} // namespace vorn_test
