// Frames of every kind a real port or capture delivers, through init_connector: only IPv4/UDP
// datagrams are parsed, only up to their UDP length, and nothing after an odd frame is lost.
#include <gtest/gtest.h>

#include <functional>

#include "connector_harness.h"
#include "feed_encoder.h"
#include "synthetic_session.h"

namespace {

using namespace vorn_test;
using vorn_sim::PacketBuilder;
using Bytes = std::vector<uint8_t>;

constexpr int32_t kIF = 1001;
constexpr uint32_t kAhead = 1000; // a packet this far ahead would make every later one stale
constexpr int32_t kWrongTag = 9999;

Bytes Tagged(uint32_t seqno, int32_t tag) {
    return PacketBuilder(seqno).UpdateTime(kIF, 34200, 0).Best(3, tag, 4, 1).Bytes();
}

// Offsets in an untagged Ethernet/IPv4 (20-byte header)/UDP frame.
constexpr size_t kEtherType = 12, kIp = 14, kIpFlags = 20, kIpProtocol = 23, kUdpLength = 38;

Bytes WithByte(Bytes frame, size_t at, uint8_t value) {
    frame.at(at) = value;
    return frame;
}
Bytes WithBe16(Bytes frame, size_t at, uint16_t value) {
    frame.at(at) = static_cast<uint8_t>(value >> 8);
    frame.at(at + 1) = static_cast<uint8_t>(value);
    return frame;
}
Bytes Appended(Bytes frame, const Bytes& tail) {
    frame.insert(frame.end(), tail.begin(), tail.end());
    return frame;
}

using Framer = std::function<Bytes(const Bytes& payload)>; // the feed channel's plain frame
// A frame kind, built from the packet a parsed frame delivers (`next`) or the packet whose
// delivery would be wrong (seqno far ahead, tag kWrongTag).
struct FrameKind {
    const char* name;
    bool parsed;
    Bytes (*build)(const Framer& frameOf, const Bytes& next, const Bytes& ahead);
};

const FrameKind kKinds[] = {
    {"FCS", true,
     [](const Framer& f, const Bytes& n, const Bytes&) {
         return Appended(f(n), {0xde, 0xad, 0xbe, 0xef});
     }},
    {"20-byte trailer", true,
     [](const Framer& f, const Bytes& n, const Bytes& a) { return Appended(f(n), Bytes(a.begin(), a.begin() + 20)); }},
    {"VLAN tag", true,
     [](const Framer& f, const Bytes& n, const Bytes&) {
         Bytes frame = f(n);
         frame.insert(frame.begin() + kEtherType, {0x81, 0x00, 0x00, 0x64});
         return frame;
     }},
    {"UDP length shorter than the frame", true,
     [](const Framer& f, const Bytes& n, const Bytes& a) {
         return WithBe16(f(vorn_sim::JoinPackets({n, a})), kUdpLength, static_cast<uint16_t>(8 + n.size()));
     }},
    {"UDP length longer than the frame", true,
     [](const Framer& f, const Bytes& n, const Bytes&) {
         return WithBe16(f(n), kUdpLength, static_cast<uint16_t>(8 + n.size() + 100));
     }},
    {"TCP lookalike", false,
     [](const Framer& f, const Bytes&, const Bytes& a) { return WithByte(f(a), kIpProtocol, 6); }},
    {"IPv6", false, [](const Framer& f, const Bytes&, const Bytes& a) { return WithBe16(f(a), kEtherType, 0x86DD); }},
    {"ARP", false, [](const Framer& f, const Bytes&, const Bytes& a) { return WithBe16(f(a), kEtherType, 0x0806); }},
    {"IP version 6", false, [](const Framer& f, const Bytes&, const Bytes& a) { return WithByte(f(a), kIp, 0x65); }},
    {"IP header of 4 words", false,
     [](const Framer& f, const Bytes&, const Bytes& a) { return WithByte(f(a), kIp, 0x44); }},
    {"first fragment", false,
     [](const Framer& f, const Bytes&, const Bytes& a) { return WithBe16(f(a), kIpFlags, 0x2000); }},
    {"later fragment", false,
     [](const Framer& f, const Bytes&, const Bytes& a) { return WithBe16(f(a), kIpFlags, 0x0001); }},
    {"UDP length below 8", false,
     [](const Framer& f, const Bytes&, const Bytes& a) { return WithBe16(f(a), kUdpLength, 7); }},
    {"empty datagram", false,
     [](const Framer& f, const Bytes&, const Bytes& a) { return WithBe16(f(a), kUdpLength, 8); }},
};

class FrameAcceptance : public ::testing::TestWithParam<const char*> {};

// Each kind's frame is followed by a plain frame with the next seqno: a frame parsed wrongly
// delivers kWrongTag, or its far seqno makes later packets stale, or its extra bytes log an error.
TEST_P(FrameAcceptance, OnlyTheDatagramOfAFeedFrameIsParsed) {
    vorn_sim::SessionConfig config;
    config.first_seqno = 101;
    vorn_sim::SyntheticSession session(config);
    ASSERT_TRUE(WriteTodaySnapshot(session.Snapshot()));
    ConnectorRun run({{"insts", "all"}, {"exanic_cache_flag", GetParam()}, {"exanic_cache_size", "3"}});
    ASSERT_EQ(0, run.Start());
    uint32_t n = 101;
    std::vector<int32_t> expected;
    const Framer frameOf = [&session](const Bytes& payload) { return session.Frame(payload); };
    for (const FrameKind& kind : kKinds) {
        const Bytes odd = kind.build(frameOf, Tagged(n, static_cast<int32_t>(n)), Tagged(n + kAhead, kWrongTag));
        run.Put(0, odd);
        if (kind.parsed) expected.push_back(static_cast<int32_t>(n++));
        run.Put(0, session.Frame(Tagged(n, static_cast<int32_t>(n))));
        expected.push_back(static_cast<int32_t>(n++));
    }
    // Out of order: the buffered path keeps the bounded payload in its list, the direct path
    // delivers it at once and drops the late one.
    run.Put(0, kKinds[0].build(frameOf, Tagged(n + 1, static_cast<int32_t>(n + 1)), {}));
    run.Put(0, session.Frame(Tagged(n, static_cast<int32_t>(n))));
    const bool buffered = std::string(GetParam()) == "1";
    if (buffered) expected.push_back(static_cast<int32_t>(n));
    expected.push_back(static_cast<int32_t>(n + 1));
    ASSERT_TRUE(run.Drain());
    run.Stop(); // failure messages are printed after the capture of standard output
    std::vector<int32_t> tags;
    for (const VornCffexMdType& r : V2Records()) tags.push_back(+r.bid1_volume);
    EXPECT_EQ(expected, tags);
    const std::string log = run.LogText();
    EXPECT_EQ(0u, LinesWith(log, "is error").size()) << log;
    EXPECT_EQ(buffered ? 0u : 1u, LinesWith(log, "UdpNo is not seq").size()) << log; // the one real gap
}

INSTANTIATE_TEST_SUITE_P(DirectAndBuffered, FrameAcceptance, ::testing::Values("0", "1"));

} // namespace
