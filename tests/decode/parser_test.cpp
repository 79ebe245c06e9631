// The payload walk: packet and field framing, stale packets, gaps, cut payloads and the
// end-of-packet delivery.
#include "decode_fixture.h"

namespace {

using namespace decode_test;
using vorn_sim::PacketBuilder;
using Bytes = std::vector<uint8_t>;

Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes Cut(const Bytes& bytes, size_t n) { return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(n)); }

// Update time (A, 10:00:00) then best: varints of 2, 3, 2 bytes, then 2, 1, 2, 1 bytes.
constexpr size_t kUpdateTimeField = 4 + 7;
constexpr size_t kBestField = 4 + 6;
Bytes TwoFieldPacket(uint32_t seqno, int32_t bidVolume = 5) {
    return PacketBuilder(seqno).UpdateTime(kA, 36000, 500).Best(100, bidVolume, 101, 7).Bytes();
}

class Parser : public ConnectorFixture {};

TEST_F(Parser, EmptyAndShortPayloads) {
    EXPECT_EQ(0, Chunk({}));
    const Bytes packet = TwoFieldPacket(101);
    for (size_t n = 1; n < 20; ++n) EXPECT_EQ(-1, Chunk(Cut(packet, n))) << n;
    EXPECT_EQ(kLastSeqNo, api->m_CurUdpNo);
    EXPECT_TRUE(Recorded().versions.empty());
}

TEST_F(Parser, StaleAndDuplicatePacketsAreSkippedWhole) {
    const Bytes duplicate = TwoFieldPacket(kLastSeqNo, 77);
    EXPECT_EQ(static_cast<int32_t>(duplicate.size()), Chunk(duplicate));
    // The declared length counts, even past the end of the payload.
    EXPECT_EQ(520, Chunk(PacketBuilder(50).OverrideBodyLen(500).Bytes()));
    // A skip that passes the end: the packet behind it is not looked at.
    const Bytes longStale = PacketBuilder(99).Best(1, 1, 1, 1).OverrideBodyLen(200).Bytes();
    EXPECT_EQ(220, Chunk(Join(longStale, TwoFieldPacket(101))));
    EXPECT_TRUE(Recorded().versions.empty());
    EXPECT_EQ(kLastSeqNo, api->m_CurUdpNo);
    EXPECT_NE(77, +Depth(kA).bid1_volume);

    // A stale packet followed by a new one in the same payload: only the new one is taken.
    const Bytes both = Join(duplicate, TwoFieldPacket(101, 9));
    EXPECT_EQ(static_cast<int32_t>(both.size()), Chunk(both));
    ASSERT_EQ(1u, Recorded().v2.size());
    EXPECT_EQ(9, +Recorded().v2[0].bid1_volume);
    EXPECT_EQ(0u, CountLines(LogText(), "UdpNo is not seq"));
}

TEST_F(Parser, GapIsLoggedAndThePacketTaken) {
    EXPECT_GT(Chunk(TwoFieldPacket(103)), 0);
    EXPECT_EQ(103u, api->m_CurUdpNo);
    EXPECT_GT(Chunk(TwoFieldPacket(104)), 0);
    EXPECT_EQ(2u, Recorded().v2.size());
    const std::string log = LogText();
    EXPECT_EQ(1u, CountLines(log, "UdpNo is not seq")) << log;
    EXPECT_EQ(1u, CountLines(log, "UdpNo is not seq, m_CurUdpNo is [100], m_UdpHeader seqno is [103]")) << log;
}

TEST_F(Parser, EmptyBodies) {
    EXPECT_EQ(20, Chunk(PacketBuilder(101).Bytes()));
    EXPECT_EQ(101u, api->m_CurUdpNo);
    EXPECT_EQ(-1, Chunk(Join(PacketBuilder(102).Bytes(), {0x44})));
    EXPECT_EQ(102u, api->m_CurUdpNo);
    EXPECT_TRUE(Recorded().versions.empty());
}

TEST_F(Parser, PayloadsCutShort) {
    const Bytes full = TwoFieldPacket(101, 11);
    const size_t bestAt = 20 + kUpdateTimeField; // best field header
    ASSERT_EQ(bestAt + kBestField, full.size());
    // Inside the best field's header, then inside its data: -1, the best field not applied.
    for (size_t cut : {bestAt + 2, bestAt + 4 + 3}) {
        Bytes packet = TwoFieldPacket(api->m_CurUdpNo + 1, 11);
        EXPECT_EQ(-1, Chunk(Cut(packet, cut))) << cut;
        EXPECT_NE(11, +Depth(kA).bid1_volume);
        EXPECT_EQ(0, memcmp(Depth(kA).update_time, "10:00:00", 8)); // the update time was
    }
    EXPECT_EQ(102u, api->m_CurUdpNo);
    // Ending on a field boundary before the declared body is used up: parsed, not delivered.
    const Bytes longer = PacketBuilder(103).UpdateTime(kA, 36000, 500).Best(100, 11, 101, 7)
                             .OverrideBodyLen(static_cast<uint16_t>(full.size() - 20 + 30)).Bytes();
    EXPECT_EQ(static_cast<int32_t>(longer.size()), Chunk(longer));
    EXPECT_EQ(11, +Depth(kA).bid1_volume);
    EXPECT_TRUE(Recorded().versions.empty());
}

TEST_F(Parser, SeveralPacketsPerPayloadAndTrailingBytes) {
    const Bytes two = Join(TwoFieldPacket(101, 1), TwoFieldPacket(102, 2));
    EXPECT_EQ(static_cast<int32_t>(two.size()), Chunk(two));
    ASSERT_EQ(2u, Recorded().v2.size());
    EXPECT_EQ(1, +Recorded().v2[0].bid1_volume);
    EXPECT_EQ(2, +Recorded().v2[1].bid1_volume);
    for (uint8_t trailing = 1; trailing < 20; ++trailing) {
        EXPECT_EQ(-1, Chunk(Join(TwoFieldPacket(102 + trailing, trailing), Bytes(trailing, 0x01))));
        EXPECT_EQ(trailing, +Recorded().v2.back().bid1_volume);
    }
    EXPECT_EQ(21u, Recorded().v2.size());
}

TEST_F(Parser, FieldHeadersWithoutData) {
    // The body ends with a field header: nothing applied or delivered, the walk goes on.
    const Bytes headerLast = PacketBuilder(101).UpdateTime(kA, 34200, 0).Raw(0x4434, {}).Bytes();
    const Bytes next = TwoFieldPacket(102, 3);
    EXPECT_EQ(static_cast<int32_t>(headerLast.size() + next.size()), Chunk(Join(headerLast, next)));
    ASSERT_EQ(1u, Recorded().v2.size());
    EXPECT_EQ(3, +Recorded().v2[0].bid1_volume);

    // An empty field in the middle is applied as empty, and the walk goes on; an unknown
    // field last still ends the packet with a delivery.
    EXPECT_GT(Chunk(PacketBuilder(103).UpdateTime(kA, 34200, 0).Raw(0x1234, {}).Best(100, 4, 101, 7)
                        .Raw(0x0001, {9, 9, 9}).Bytes()),
              0);
    ASSERT_EQ(2u, Recorded().v2.size());
    EXPECT_EQ(4, +Recorded().v2[1].bid1_volume);
    const std::string log = LogText();
    EXPECT_EQ(1u, CountLines(log, "Unknown type: 0x[1234], length is [0]")) << log;
    EXPECT_EQ(1u, CountLines(log, "Unknown type: 0x[1], length is [3]")) << log;
}

TEST_F(Parser, FieldOverrunningTheBodyIsAppliedThenFails) {
    const Bytes packet = TwoFieldPacket(101, 12);
    Bytes shortBody = packet;
    shortBody[15] = static_cast<uint8_t>(shortBody[15] - 1); // bodylen one less than the fields
    EXPECT_EQ(-1, Chunk(shortBody));
    EXPECT_EQ(12, +Depth(kA).bid1_volume);
    EXPECT_EQ(101u, api->m_CurUdpNo);
    EXPECT_TRUE(Recorded().versions.empty());
    // The next payload starts from a fresh state.
    EXPECT_EQ(static_cast<int32_t>(packet.size()), Chunk(TwoFieldPacket(102, 13)));
    ASSERT_EQ(1u, Recorded().v2.size());
    EXPECT_EQ(13, +Recorded().v2[0].bid1_volume);
}

} // namespace
