#include "feed_encoder.h"

#include <arpa/inet.h>

#include <cmath>
#include <cstring>

#include "sample_code.h"

namespace vorn_sim {

void AppendVarint(std::vector<uint8_t>& out, int64_t value) {
    const uint64_t bits = static_cast<uint64_t>(value);
    uint64_t raw = (bits << 1) ^ (value < 0 ? ~uint64_t{0} : uint64_t{0});
    while (raw >= 0x80) {
        out.push_back(static_cast<uint8_t>(raw | 0x80));
        raw >>= 7;
    }
    out.push_back(static_cast<uint8_t>(raw));
}

std::vector<uint8_t> EncodeVarint(int64_t value) {
    std::vector<uint8_t> out;
    AppendVarint(out, value);
    return out;
}

void AppendBe16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void AppendBe32(std::vector<uint8_t>& out, uint32_t value) {
    AppendBe16(out, static_cast<uint16_t>(value >> 16));
    AppendBe16(out, static_cast<uint16_t>(value));
}

void AppendBeDouble(std::vector<uint8_t>& out, double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    AppendBe32(out, static_cast<uint32_t>(bits >> 32));
    AppendBe32(out, static_cast<uint32_t>(bits));
}

int64_t PriceToTicks(double price, const ins_price_encode_info_field& encoding) {
    if (price == EMPTY_PRICE) return kNoPriceTicks;
    return std::llround((price - encoding.base_price) / encoding.price_tick);
}

double TicksToPrice(int64_t ticks, const ins_price_encode_info_field& encoding) {
    if (ticks == kNoPriceTicks) return EMPTY_PRICE;
    return static_cast<double>(ticks) * encoding.price_tick + encoding.base_price;
}

bool IsEncryptableField(uint16_t fieldId) {
    const auto id = static_cast<FIELD_ID>(fieldId);
    return fieldId >= static_cast<uint16_t>(FIELD_ID::vint_market_data_static) &&
           fieldId <= static_cast<uint16_t>(FIELD_ID::vint_market_data_real_price_banding) &&
           id != FIELD_ID::vint_market_data_static && id != FIELD_ID::vint_market_data_update_time;
}

FieldEncryptor KnownSegmentEncryptor(int k) {
    return [k](uint8_t* data, size_t len, const char* arg1) {
        KnownSegmentEncrypt(k, data, len, static_cast<uint8_t>(arg1[0]));
    };
}

PacketBuilder::PacketBuilder(uint32_t seqno, uint16_t topicid) {
    header_.ver = 1;
    header_.topicid = topicid;
    header_.seqno = seqno;
}

PacketBuilder& PacketBuilder::Version(uint8_t ver) {
    header_.ver = ver;
    return *this;
}

PacketBuilder& PacketBuilder::Type(uint8_t type) {
    header_.type = type;
    return *this;
}

PacketBuilder& PacketBuilder::TopicId(uint16_t topicid) {
    header_.topicid = topicid;
    return *this;
}

PacketBuilder& PacketBuilder::TransId(uint32_t trans_id) {
    header_.trans_id = trans_id;
    return *this;
}

PacketBuilder& PacketBuilder::SeqNo(uint32_t seqno) {
    header_.seqno = seqno;
    return *this;
}

PacketBuilder& PacketBuilder::Encrypted(bool on, const char* arg1, FieldEncryptor encryptor) {
    encrypted_ = on;
    if (arg1) memcpy(arg1_, arg1, sizeof arg1_);
    encryptor_ = encryptor ? std::move(encryptor) : FieldEncryptor(EncryptFieldData);
    return *this;
}

PacketBuilder& PacketBuilder::EncryptWord(uint32_t word) {
    header_.encrypt = word & ~DF_ENCRYPT_FLAG;
    return *this;
}

PacketBuilder& PacketBuilder::OverrideNumFields(uint16_t numFields) {
    numFieldsOverride_ = numFields;
    return *this;
}

PacketBuilder& PacketBuilder::OverrideBodyLen(uint16_t bodylen) {
    bodyLenOverride_ = bodylen;
    return *this;
}

PacketBuilder& PacketBuilder::Varints(FIELD_ID id, std::initializer_list<int64_t> values) {
    std::vector<uint8_t> data;
    for (int64_t v : values) AppendVarint(data, v);
    return Raw(static_cast<uint16_t>(id), data);
}

PacketBuilder& PacketBuilder::Static(int64_t open, int64_t high, int64_t low, int64_t close, int64_t upperLimit,
                                     int64_t lowerLimit, double settlement, double currDelta) {
    std::vector<uint8_t> data;
    for (int64_t v : {open, high, low, close, upperLimit, lowerLimit}) AppendVarint(data, v);
    AppendBeDouble(data, settlement);
    AppendBeDouble(data, currDelta);
    return Raw(static_cast<uint16_t>(FIELD_ID::vint_market_data_static), data);
}

PacketBuilder& PacketBuilder::LastMatch(int64_t lastPrice, int64_t volume, double turnover, int64_t openInterest) {
    std::vector<uint8_t> data;
    AppendVarint(data, lastPrice);
    AppendVarint(data, volume);
    AppendBeDouble(data, turnover);
    AppendVarint(data, openInterest);
    return Raw(static_cast<uint16_t>(FIELD_ID::vint_market_data_last_match), data);
}

PacketBuilder& PacketBuilder::Best(int64_t bid1, int64_t bid1Volume, int64_t ask1, int64_t ask1Volume) {
    return Varints(FIELD_ID::vint_market_data_best, {bid1, bid1Volume, ask1, ask1Volume});
}

PacketBuilder& PacketBuilder::Bid23(int64_t bid2, int64_t bid2Volume, int64_t bid3, int64_t bid3Volume) {
    return Varints(FIELD_ID::vint_market_data_bid23, {bid2, bid2Volume, bid3, bid3Volume});
}

PacketBuilder& PacketBuilder::Ask23(int64_t ask2, int64_t ask2Volume, int64_t ask3, int64_t ask3Volume) {
    return Varints(FIELD_ID::vint_market_data_ask23, {ask2, ask2Volume, ask3, ask3Volume});
}

PacketBuilder& PacketBuilder::Bid45(int64_t bid4, int64_t bid4Volume, int64_t bid5, int64_t bid5Volume) {
    return Varints(FIELD_ID::vint_market_data_bid45, {bid4, bid4Volume, bid5, bid5Volume});
}

PacketBuilder& PacketBuilder::Ask45(int64_t ask4, int64_t ask4Volume, int64_t ask5, int64_t ask5Volume) {
    return Varints(FIELD_ID::vint_market_data_ask45, {ask4, ask4Volume, ask5, ask5Volume});
}

PacketBuilder& PacketBuilder::UpdateTime(int64_t insIntId, int64_t secondsOfDay, int64_t msec) {
    return Varints(FIELD_ID::vint_market_data_update_time, {insIntId, secondsOfDay, msec});
}

PacketBuilder& PacketBuilder::RealPriceBanding(int64_t upper, int64_t lower) {
    return Varints(FIELD_ID::vint_market_data_real_price_banding, {upper, lower});
}

PacketBuilder& PacketBuilder::Raw(uint16_t fieldId, const std::vector<uint8_t>& data, bool encryptable) {
    fields_.push_back(Field{fieldId, data, encryptable});
    return *this;
}

PacketBuilder& PacketBuilder::Raw(uint16_t fieldId, const std::vector<uint8_t>& data) {
    return Raw(fieldId, data, IsEncryptableField(fieldId));
}

std::vector<uint8_t> PacketBuilder::Bytes() const {
    std::vector<uint8_t> body;
    for (const Field& field : fields_) {
        AppendBe16(body, field.id);
        AppendBe16(body, static_cast<uint16_t>(field.data.size()));
        const size_t start = body.size();
        body.insert(body.end(), field.data.begin(), field.data.end());
        if (encrypted_ && field.encryptable && encryptor_) encryptor_(body.data() + start, field.data.size(), arg1_);
    }
    df_udp_header header = header_;
    header.numFields =
        numFieldsOverride_ >= 0 ? static_cast<uint16_t>(numFieldsOverride_) : static_cast<uint16_t>(fields_.size());
    header.bodylen =
        bodyLenOverride_ >= 0 ? static_cast<uint16_t>(bodyLenOverride_) : static_cast<uint16_t>(body.size());
    if (encrypted_) header.encrypt |= DF_ENCRYPT_FLAG;
    std::vector<uint8_t> out;
    out.reserve(sizeof header + body.size());
    AppendPacketHeader(out, header);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

void AppendPacketHeader(std::vector<uint8_t>& out, const df_udp_header& header) {
    out.push_back(header.ver);
    out.push_back(header.type);
    AppendBe16(out, header.topicid);
    AppendBe32(out, header.trans_id);
    AppendBe32(out, header.seqno);
    AppendBe16(out, header.numFields);
    AppendBe16(out, header.bodylen);
    AppendBe32(out, header.encrypt);
}

std::vector<uint8_t> JoinPackets(const std::vector<std::vector<uint8_t>>& packets) {
    std::vector<uint8_t> out;
    for (const auto& packet : packets) out.insert(out.end(), packet.begin(), packet.end());
    return out;
}

uint32_t ParseIpv4(const std::string& text) {
    in_addr addr{};
    if (inet_pton(AF_INET, text.c_str(), &addr) != 1) return 0;
    return ntohl(addr.s_addr);
}

uint16_t InternetChecksum(const uint8_t* data, size_t len) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < len; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
    if (len & 1) sum += static_cast<uint32_t>(data[len - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

namespace {

bool IsMulticast(uint32_t ip) { return (ip >> 28) == 0xE; }

void AppendEthernetHeader(std::vector<uint8_t>& out, uint32_t dstIp, const FrameOptions& options) {
    if (options.multicast_dst_mac && IsMulticast(dstIp)) {
        const uint8_t mac[6] = {0x01,
                                0x00,
                                0x5e,
                                static_cast<uint8_t>((dstIp >> 16) & 0x7F),
                                static_cast<uint8_t>(dstIp >> 8),
                                static_cast<uint8_t>(dstIp)};
        out.insert(out.end(), mac, mac + 6);
    } else {
        out.insert(out.end(), options.dst_mac, options.dst_mac + 6);
    }
    out.insert(out.end(), options.src_mac, options.src_mac + 6);
    AppendBe16(out, 0x0800);
}

void AppendIpv4Header(std::vector<uint8_t>& out, uint32_t srcIp, uint32_t dstIp, size_t udpLength,
                      const FrameOptions& options) {
    const size_t start = out.size();
    out.push_back(0x45); // version 4, 5 words
    out.push_back(0);    // DSCP/ECN
    AppendBe16(out, static_cast<uint16_t>(kIpv4HeaderSize + udpLength));
    AppendBe16(out, options.ip_id);
    AppendBe16(out, 0x4000); // don't fragment
    out.push_back(options.ttl);
    out.push_back(17);  // UDP
    AppendBe16(out, 0); // checksum, filled below
    AppendBe32(out, srcIp);
    AppendBe32(out, dstIp);
    const uint16_t checksum = InternetChecksum(out.data() + start, kIpv4HeaderSize);
    out[start + 10] = static_cast<uint8_t>(checksum >> 8);
    out[start + 11] = static_cast<uint8_t>(checksum);
}

} // namespace

std::vector<uint8_t> MakeFrame(uint32_t srcIp, uint32_t dstIp, uint16_t dstPort, const std::vector<uint8_t>& payload,
                               const FrameOptions& options) {
    const size_t udpLength = kUdpHeaderSize + payload.size();
    std::vector<uint8_t> frame;
    frame.reserve(kFrameHeadersSize + payload.size());
    AppendEthernetHeader(frame, dstIp, options);
    AppendIpv4Header(frame, srcIp, dstIp, udpLength, options);
    AppendBe16(frame, options.src_port);
    AppendBe16(frame, dstPort);
    AppendBe16(frame, static_cast<uint16_t>(udpLength));
    AppendBe16(frame, 0); // no UDP checksum
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

std::vector<uint8_t> MakeFrame(const std::string& srcIp, const std::string& dstIp, uint16_t dstPort,
                               const std::vector<uint8_t>& payload, const FrameOptions& options) {
    return MakeFrame(ParseIpv4(srcIp), ParseIpv4(dstIp), dstPort, payload, options);
}

} // namespace vorn_sim
