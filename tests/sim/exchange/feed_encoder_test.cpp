#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <limits>

#include "feed_encoder.h"
#include "pcap_writer.h"
#include "sample_code.h"
#include "wire_reader.h"

using namespace vorn_sim;
using Bytes = std::vector<uint8_t>;

TEST(Encoding, VarintsAndBigEndianNumbers) {
    const std::pair<int64_t, Bytes> vectors[] = {
        {0, {0x00}},
        {-1, {0x01}},
        {1, {0x02}},
        {-2, {0x03}},
        {-64, {0x7F}},
        {64, {0x80, 0x01}},
        {-128, {0xFF, 0x01}},
        {500, {0xE8, 0x07}},
        {std::numeric_limits<int64_t>::min(), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
        {std::numeric_limits<int64_t>::max(), {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
    };
    for (const auto& [value, bytes] : vectors) EXPECT_EQ(bytes, EncodeVarint(value)) << value;

    Bytes stream;
    std::vector<int64_t> values = {kNoPriceTicks, -kNoPriceTicks, 63, -65, 8191, 8192, 1LL << 35};
    for (int64_t v : values) AppendVarint(stream, v);
    size_t pos = 0;
    for (int64_t v : values) {
        int64_t decoded = 0;
        ASSERT_TRUE(vorn_test::ReadVarint(stream, pos, decoded));
        EXPECT_EQ(v, decoded);
    }
    EXPECT_EQ(stream.size(), pos);

    Bytes out;
    AppendBeDouble(out, 1.0);
    AppendBe16(out, 0x4432);
    AppendBe32(out, 0x01020304);
    EXPECT_EQ((Bytes{0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0x44, 0x32, 1, 2, 3, 4}), out);
}

// Header bytes, bodylen over field headers and data, and each field's members in order.
TEST(PacketBuilder, HeaderAndFieldLayout) {
    PacketBuilder p(0x01020304, 0x0506);
    p.Version(2).Type(3).TransId(0x0A0B0C0D);
    p.UpdateTime(1001, 34200, 500).Best(-1, 5, kNoPriceTicks, 0).Static(1, 2, 3, 4, 5, 6, 1.0, 2.0);
    p.LastMatch(-3, 7, 1.0, 9).Raw(0x7777, {0xAA, 0xBB});
    const Bytes b = p.Bytes();
    ASSERT_GE(b.size(), 20u);
    EXPECT_EQ((Bytes{2, 3, 0x05, 0x06, 0x0A, 0x0B, 0x0C, 0x0D, 1, 2, 3, 4, 0, 5}), Bytes(b.begin(), b.begin() + 14));
    EXPECT_EQ(b.size() - 20, vorn_test::ReadBe16(&b[14]));
    EXPECT_EQ(0u, vorn_test::ReadBe32(&b[16]));
    size_t pos = 0;
    vorn_test::WirePacket packet;
    ASSERT_TRUE(vorn_test::ReadPacket(b, pos, packet));
    ASSERT_EQ(5u, packet.fields.size());
    Bytes time, best;
    for (int64_t v : {1001, 34200, 500}) AppendVarint(time, v);
    for (int64_t v : {int64_t{-1}, int64_t{5}, kNoPriceTicks, int64_t{0}}) AppendVarint(best, v);
    const std::pair<uint16_t, Bytes> expected[] = {
        {0x4439, time}, {0x4434, best},
        {0x4432, {2, 4, 6, 8, 10, 12, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0}},
        {0x4433, {5, 14, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 18}}, {0x7777, {0xAA, 0xBB}}};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(expected[i].first, packet.fields[i].id) << i;
        EXPECT_EQ(expected[i].second, packet.fields[i].data) << i;
    }
}

TEST(PacketBuilder, EncryptsAllButStaticAndUpdateTime) {
    const encrypt_code_segment_field seg = SampleCipherSegment(0x21);
    PacketBuilder plain(7), encrypted(7);
    for (PacketBuilder* p : {&plain, &encrypted}) {
        p->Static(1, 2, 3, 4, 5, 6, 7.5, 0.25).UpdateTime(1001, 34200, 1).Best(10, 1, 12, 2);
        p->LastMatch(11, 3, 99.5, 4).Bid23(9, 1, 8, 1).Ask23(13, 1, 14, 1).Bid45(7, 1, 6, 1);
        p->Ask45(15, 1, 16, 1).RealPriceBanding(100, -100);
    }
    encrypted.Encrypted(true, seg.arg1);
    const Bytes pb = plain.Bytes(), eb = encrypted.Bytes();
    ASSERT_EQ(pb.size(), eb.size());
    EXPECT_EQ(1, eb[17] & 1) << "encrypt flag is bit 0 of byte 17";
    EXPECT_EQ(0, pb[17] & 1);
    EXPECT_EQ(DF_ENCRYPT_FLAG, vorn_test::ReadBe32(&eb[16]));

    size_t p1 = 0, p2 = 0;
    vorn_test::WirePacket pp, ep;
    ASSERT_TRUE(vorn_test::ReadPacket(pb, p1, pp));
    ASSERT_TRUE(vorn_test::ReadPacket(eb, p2, ep));
    ASSERT_EQ(9u, ep.fields.size());
    for (size_t i = 0; i < ep.fields.size(); ++i) {
        const uint16_t id = ep.fields[i].id;
        if (id == 0x4432 || id == 0x4439) {
            EXPECT_EQ(pp.fields[i].data, ep.fields[i].data) << std::hex << id;
            continue;
        }
        EXPECT_NE(pp.fields[i].data, ep.fields[i].data) << std::hex << id;
        Bytes data = ep.fields[i].data;
        DecryptFieldData(data.data(), data.size(), seg.arg1);
        EXPECT_EQ(pp.fields[i].data, data) << std::hex << id;
    }
}

TEST(PacketBuilder, KnownSegmentEncryptionAndOverrides) {
    const encrypt_code_segment_field seg = KnownSegmentRecord(1, 0x44);
    const Bytes eb = PacketBuilder(3).Best(1, 2, 3, 4).Encrypted(true, seg.arg1, KnownSegmentEncryptor(1)).Bytes();
    size_t pos = 0;
    vorn_test::WirePacket packet;
    ASSERT_TRUE(vorn_test::ReadPacket(eb, pos, packet));
    Bytes data = packet.fields[0].data;
    KnownSegmentDecrypt(1, data.data(), data.size(), 0x44);
    EXPECT_EQ((Bytes{2, 4, 6, 8}), data);

    const Bytes bad = PacketBuilder(3).Best(1, 2, 3, 4).OverrideNumFields(5).OverrideBodyLen(1).Bytes();
    EXPECT_EQ(5, vorn_test::ReadBe16(&bad[12]));
    EXPECT_EQ(1, vorn_test::ReadBe16(&bad[14]));
    EXPECT_EQ(28u, bad.size()) << "the fields are still all there";

    const Bytes joined = JoinPackets({PacketBuilder(1).Best(1, 1, 2, 1).Bytes(), PacketBuilder(2).Bytes()});
    pos = 0;
    ASSERT_TRUE(vorn_test::ReadPacket(joined, pos, packet));
    EXPECT_EQ(1u, packet.seqno);
    ASSERT_TRUE(vorn_test::ReadPacket(joined, pos, packet));
    EXPECT_EQ(2u, packet.seqno);
    EXPECT_EQ(joined.size(), pos);
}

namespace {

bool HeaderChecksumValid(const uint8_t* ip) {
    uint32_t sum = 0;
    for (int i = 0; i < 20; i += 2) sum += vorn_test::ReadBe16(ip + i);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return sum == 0xFFFF;
}

} // namespace

TEST(Frame, EthernetIpv4UdpHeaders) {
    for (size_t payloadSize : {0, 1, 33, 1400}) {
        Bytes payload(payloadSize);
        for (size_t i = 0; i < payloadSize; ++i) payload[i] = static_cast<uint8_t>(i);
        FrameOptions options;
        options.ip_id = static_cast<uint16_t>(payloadSize * 7 + 1);
        const Bytes f = MakeFrame("10.0.0.5", "239.3.42.1", 30001, payload, options);
        ASSERT_EQ(42 + payloadSize, f.size());
        EXPECT_EQ((Bytes{0x01, 0x00, 0x5e, 0x03, 0x2a, 0x01}), Bytes(f.begin(), f.begin() + 6));
        EXPECT_EQ(0x0800, vorn_test::ReadBe16(&f[12]));
        const uint8_t* ip = &f[14];
        EXPECT_EQ(0x45, ip[0]);
        EXPECT_EQ(20 + 8 + payloadSize, vorn_test::ReadBe16(ip + 2));
        EXPECT_EQ(17, ip[9]);
        EXPECT_TRUE(HeaderChecksumValid(ip)) << payloadSize;
        EXPECT_EQ(0x0A000005u, vorn_test::ReadBe32(ip + 12));
        EXPECT_EQ(0xEF032A01u, vorn_test::ReadBe32(ip + 16));
        const uint8_t* udp = &f[34];
        EXPECT_EQ(40001, vorn_test::ReadBe16(udp));
        EXPECT_EQ(30001, vorn_test::ReadBe16(udp + 2));
        EXPECT_EQ(8 + payloadSize, vorn_test::ReadBe16(udp + 4));
        EXPECT_EQ(payload, Bytes(f.begin() + 42, f.end()));
    }
    const Bytes unicast = MakeFrame(ParseIpv4("10.0.0.5"), ParseIpv4("10.0.0.9"), 1, {});
    EXPECT_EQ(0x02, unicast[0]) << "unicast destinations use the configured MAC";
    EXPECT_EQ(0u, ParseIpv4("not an address"));
}

TEST(Pcap, RoundTripThroughLibpcap) {
    char path[] = "/tmp/vorn_sim_pcap_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::vector<Bytes> frames;
    for (uint32_t i = 0; i < 5; ++i)
        frames.push_back(MakeFrame("10.0.0.5", "239.3.42.1", 30001, PacketBuilder(i).Best(i, 1, i + 1, 1).Bytes()));
    frames.push_back(Bytes(60, 0xAB));
    ASSERT_TRUE(WritePcap(path, frames, 1700000000123456ULL, 250));

    std::vector<PcapFrame> read;
    std::string error;
    ASSERT_TRUE(ReadPcap(path, read, &error)) << error;
    ASSERT_EQ(frames.size(), read.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i], read[i].bytes) << i;
        EXPECT_EQ(1700000000123456ULL + 250 * i, read[i].ts_usec) << i;
    }
    unlink(path);

    PcapWriter writer;
    EXPECT_FALSE(writer.Open("/nonexistent-dir/x.pcap"));
    EXPECT_FALSE(writer.Error().empty());
    EXPECT_FALSE(ReadPcap("/nonexistent-dir/x.pcap", read, &error));
}
