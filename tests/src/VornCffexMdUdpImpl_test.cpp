// Frames of every kind a real port or capture delivers, through init_connector: only IPv4/UDP
// datagrams are parsed, only up to their UDP length, and nothing after an odd frame is lost.
#include <gtest/gtest.h>

#include <functional>

#include "connector_harness.h"
#include "feed_encoder.h"
#include "synthetic_session.h"

namespace {

using namespace vorn_test;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kAhead = 1000; // a packet this far ahead would make every later one stale
constexpr int32_t kWrongTag = 9999;

// Offsets in an untagged Ethernet/IPv4 (20-byte header)/UDP frame.
constexpr size_t kEtherType = 12, kIp = 14, kIpFlags = 20, kIpProtocol = 23, kUdpLength = 38;

Bytes Appended(Bytes frame, const Bytes& tail) {
    frame.insert(frame.end(), tail.begin(), tail.end());
    return frame;
}

using Framer = std::function<Bytes(const Bytes& payload)>; // the feed channel's plain frame
// A frame kind that is parsed, built from the packet it delivers (`next`) and a packet whose
// delivery would be wrong (seqno far ahead, tag kWrongTag).
struct FrameKind {
    const char* name;
    Bytes (*build)(const Framer& frameOf, const Bytes& next, const Bytes& ahead);
};

Bytes WithUdpLength(Bytes frame, size_t length) {
    frame.at(kUdpLength) = static_cast<uint8_t>(length >> 8);
    frame.at(kUdpLength + 1) = static_cast<uint8_t>(length);
    return frame;
}

const FrameKind kParsed[] = {
    {"FCS", [](const Framer& f, const Bytes& n, const Bytes&) { return Appended(f(n), {0xde, 0xad, 0xbe, 0xef}); }},
    {"20-byte trailer", [](const Framer& f, const Bytes& n, const Bytes& a) { return Appended(f(n), Bytes(a.begin(), a.begin() + 20)); }},
    {"VLAN tag", [](const Framer& f, const Bytes& n, const Bytes&) {
         Bytes frame = f(n);
         frame.insert(frame.begin() + kEtherType, {0x81, 0x00, 0x00, 0x64});
         return frame;
     }},
    {"UDP length shorter than the frame",
     [](const Framer& f, const Bytes& n, const Bytes& a) { return WithUdpLength(f(vorn_sim::JoinPackets({n, a})), 8 + n.size()); }},
    {"UDP length longer than the frame",
     [](const Framer& f, const Bytes& n, const Bytes&) { return WithUdpLength(f(n), 8 + n.size() + 100); }},
};

// Frames that are not parsed: the plain frame of the far packet with one byte, or a big-endian
// 16-bit word, changed.
const struct {
    const char* name;
    size_t at;
    size_t width;
    uint16_t value;
} kUnparsed[] = {{"TCP lookalike", kIpProtocol, 1, 6},   {"IPv6", kEtherType, 2, 0x86DD},
                 {"ARP", kEtherType, 2, 0x0806},          {"IP version 6", kIp, 1, 0x65},
                 {"IP header of 4 words", kIp, 1, 0x44},  {"first fragment", kIpFlags, 2, 0x2000},
                 {"later fragment", kIpFlags, 2, 0x0001}, {"UDP length below 8", kUdpLength, 2, 7},
                 {"empty datagram", kUdpLength, 2, 8}};

class FrameAcceptance : public ::testing::TestWithParam<const char*> {};

// Each kind's frame is followed by a plain frame with the next seqno: a frame parsed wrongly
// delivers kWrongTag, or its far seqno makes later packets stale, or its extra bytes log an error.
TEST_P(FrameAcceptance, OnlyTheDatagramOfAFeedFrameIsParsed) {
    vorn_sim::SyntheticSession session(SessionAfter100());
    ASSERT_TRUE(WriteTodaySnapshot(session.Snapshot()));
    ConnectorRun run({{"insts", "all"}, {"exanic_cache_flag", GetParam()}, {"exanic_cache_size", "3"}});
    ASSERT_EQ(0, run.Start());
    uint32_t n = 101;
    std::vector<int32_t> expected;
    const Framer frameOf = [&session](const Bytes& payload) { return session.Frame(payload); };
    const auto putThenNext = [&](const Bytes& odd, bool parsed) {
        run.Put(0, odd);
        if (parsed) expected.push_back(static_cast<int32_t>(n++));
        run.Put(0, session.Frame(Tagged(n, kIF, n)));
        expected.push_back(static_cast<int32_t>(n++));
    };
    for (const FrameKind& kind : kParsed)
        putThenNext(kind.build(frameOf, Tagged(n, kIF, n), Tagged(n + kAhead, kIF, kWrongTag)), true);
    for (const auto& kind : kUnparsed) {
        Bytes odd = frameOf(Tagged(n + kAhead, kIF, kWrongTag));
        if (kind.width == 2) odd.at(kind.at) = static_cast<uint8_t>(kind.value >> 8);
        odd.at(kind.at + kind.width - 1) = static_cast<uint8_t>(kind.value);
        putThenNext(odd, false);
    }
    // Out of order: the buffered path keeps the bounded payload in its list, the direct path
    // delivers it at once and drops the late one.
    run.Put(0, kParsed[0].build(frameOf, Tagged(n + 1, kIF, n + 1), {}));
    run.Put(0, session.Frame(Tagged(n, kIF, n)));
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
