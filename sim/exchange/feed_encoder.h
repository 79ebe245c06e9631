// Encodes the exchange's market-data feed: ZigZag varints, big-endian doubles, field headers,
// packets (df_udp_header + fields, optionally encrypted) and complete Ethernet/IPv4/UDP frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "FpgaStructCommon.h"
#include "df_udp.h"

namespace vorn_sim {

// Tick count that stands for "no price".
constexpr int64_t kNoPriceTicks = 4294967295LL;

// ZigZag base-128 little-endian varint (1..10 bytes).
void AppendVarint(std::vector<uint8_t>& out, int64_t value);
std::vector<uint8_t> EncodeVarint(int64_t value);
void AppendBe16(std::vector<uint8_t>& out, uint16_t value);
void AppendBe32(std::vector<uint8_t>& out, uint32_t value);
void AppendBeDouble(std::vector<uint8_t>& out, double value);

// Price <-> tick count under a price encoding: price = ticks * price_tick + base_price.
// EMPTY_PRICE maps to kNoPriceTicks and back.
int64_t PriceToTicks(double price, const ins_price_encode_info_field& encoding);
double TicksToPrice(int64_t ticks, const ins_price_encode_info_field& encoding);

// Whether the data of a field of this id is encrypted in an encrypted packet (all the
// market-data fields but static and update time).
bool IsEncryptableField(uint16_t fieldId);

// Encrypts one field's data in place with the code segment's argument block.
using FieldEncryptor = std::function<void(uint8_t* data, size_t len, const char* arg1)>;
// The inverse of known segment k, keyed by arg1[0].
FieldEncryptor KnownSegmentEncryptor(int k);

// One feed packet. Field methods append in call order; Bytes() fills numFields and bodylen
// (unless overridden) and encrypts the encryptable fields when the packet is encrypted.
class PacketBuilder {
public:
    explicit PacketBuilder(uint32_t seqno = 0, uint16_t topicid = 1);

    PacketBuilder& Version(uint8_t ver);
    PacketBuilder& Type(uint8_t type);
    PacketBuilder& TopicId(uint16_t topicid);
    PacketBuilder& TransId(uint32_t trans_id);
    PacketBuilder& SeqNo(uint32_t seqno);
    // Encrypted packets set DF_ENCRYPT_FLAG; arg1 is the code segment's 100-byte block.
    PacketBuilder& Encrypted(bool on, const char* arg1 = nullptr, FieldEncryptor encryptor = nullptr);
    // Raw encrypt word (other bits than DF_ENCRYPT_FLAG); the flag still follows Encrypted().
    PacketBuilder& EncryptWord(uint32_t word);
    PacketBuilder& OverrideNumFields(uint16_t numFields);
    PacketBuilder& OverrideBodyLen(uint16_t bodylen);

    // Prices in tick counts (kNoPriceTicks = no price).
    PacketBuilder& Static(int64_t open, int64_t high, int64_t low, int64_t close, int64_t upperLimit,
                          int64_t lowerLimit, double settlement, double currDelta);
    PacketBuilder& LastMatch(int64_t lastPrice, int64_t volume, double turnover, int64_t openInterest);
    PacketBuilder& Best(int64_t bid1, int64_t bid1Volume, int64_t ask1, int64_t ask1Volume);
    PacketBuilder& Bid23(int64_t bid2, int64_t bid2Volume, int64_t bid3, int64_t bid3Volume);
    PacketBuilder& Ask23(int64_t ask2, int64_t ask2Volume, int64_t ask3, int64_t ask3Volume);
    PacketBuilder& Bid45(int64_t bid4, int64_t bid4Volume, int64_t bid5, int64_t bid5Volume);
    PacketBuilder& Ask45(int64_t ask4, int64_t ask4Volume, int64_t ask5, int64_t ask5Volume);
    PacketBuilder& UpdateTime(int64_t insIntId, int64_t secondsOfDay, int64_t msec);
    PacketBuilder& RealPriceBanding(int64_t upper, int64_t lower);
    // Any field; its data is encrypted in an encrypted packet when `encryptable`.
    PacketBuilder& Raw(uint16_t fieldId, const std::vector<uint8_t>& data, bool encryptable);
    PacketBuilder& Raw(uint16_t fieldId, const std::vector<uint8_t>& data);

    size_t FieldCount() const { return fields_.size(); }
    std::vector<uint8_t> Bytes() const;

private:
    struct Field {
        uint16_t id;
        std::vector<uint8_t> data;
        bool encryptable;
    };
    PacketBuilder& Varints(FIELD_ID id, std::initializer_list<int64_t> values);

    df_udp_header header_{};
    bool encrypted_ = false;
    char arg1_[100] = {};
    FieldEncryptor encryptor_;
    int32_t numFieldsOverride_ = -1;
    int32_t bodyLenOverride_ = -1;
    std::vector<Field> fields_;
};

// The 20 header bytes as on the wire (big-endian).
void AppendPacketHeader(std::vector<uint8_t>& out, const df_udp_header& header);

// Several packets back to back: one UDP payload.
std::vector<uint8_t> JoinPackets(const std::vector<std::vector<uint8_t>>& packets);

// Dotted quad to a host-order address; 0 when not an address.
uint32_t ParseIpv4(const std::string& text);

struct FrameOptions {
    uint16_t src_port = 40001;
    uint8_t ttl = 16;
    uint16_t ip_id = 0;
    uint8_t src_mac[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};
    bool multicast_dst_mac = true; // 01:00:5e + low 23 bits of a multicast destination
    uint8_t dst_mac[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x02};
};

// A complete Ethernet/IPv4/UDP frame (UDP checksum 0); addresses in host order.
std::vector<uint8_t> MakeFrame(uint32_t srcIp, uint32_t dstIp, uint16_t dstPort, const std::vector<uint8_t>& payload,
                               const FrameOptions& options = {});
std::vector<uint8_t> MakeFrame(const std::string& srcIp, const std::string& dstIp, uint16_t dstPort,
                               const std::vector<uint8_t>& payload, const FrameOptions& options = {});

constexpr size_t kEthernetHeaderSize = 14, kIpv4HeaderSize = 20, kUdpHeaderSize = 8;
constexpr size_t kFrameHeadersSize = kEthernetHeaderSize + kIpv4HeaderSize + kUdpHeaderSize;

// Internet checksum (ones' complement of the ones' complement sum of 16-bit words).
uint16_t InternetChecksum(const uint8_t* data, size_t len);

} // namespace vorn_sim
