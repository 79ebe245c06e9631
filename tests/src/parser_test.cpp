// The payload walk, table driven: packet and field framing, stale packets, gaps, cut payloads
// and the end-of-packet delivery. Every case starts at sequence number 100.
#include <map>

#include "connector_fixture.h"

namespace {

using namespace decode_test;
using namespace Vorn_R10;
using vorn_sim::PacketBuilder;
using Bytes = std::vector<uint8_t>;

Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes Cut(const Bytes& bytes, size_t n) { return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(n)); }
int32_t Size(const Bytes& bytes) { return static_cast<int32_t>(bytes.size()); }

// Update time (A, 10:00:00; 4 + 7 bytes) then best (4 + 6 bytes) tagged by its bid volume.
constexpr size_t kBestAt = 20 + 11;
Bytes Tagged(uint32_t seqno, int32_t tag) {
    return PacketBuilder(seqno).UpdateTime(kA, 36000, 500).Best(100, tag, 101, 7).Bytes();
}

constexpr int32_t kUnchecked = -1, kKept = -2;

struct Case {
    std::string name;
    std::vector<std::pair<Bytes, int32_t>> chunks; // payload, result of _processChunk
    std::vector<int32_t> tags;                     // bid volumes delivered, in order
    uint32_t curUdpNo;
    int32_t bidVolumeOfA = kUnchecked; // or kKept: as the snapshot left it
    std::vector<std::pair<std::string, size_t>> logLines = {};
    bool updateTimeApplied = false;
    std::vector<std::pair<std::string, size_t>> traces = {}; // log lines at level 31, none at 15
};

std::vector<Case> Cases() {
    const Bytes duplicate = Tagged(kLastSeqNo, 77);
    const Bytes longStale = PacketBuilder(99).Best(1, 1, 1, 1).OverrideBodyLen(200).Bytes();
    const Bytes headerLast = PacketBuilder(101).UpdateTime(kA, 34200, 0).Raw(0x4434, {}).Bytes();
    const Bytes unknowns = PacketBuilder(101).UpdateTime(kA, 34200, 0).Raw(0x1234, {}).Best(100, 4, 101, 7)
                               .Raw(0x0001, {9, 9, 9}).Bytes();
    const Bytes longBody = PacketBuilder(101).UpdateTime(kA, 36000, 500).Best(100, 11, 101, 7)
                               .OverrideBodyLen(static_cast<uint16_t>(kBestAt + 10 - 20 + 30)).Bytes();
    Bytes shortBody = Tagged(101, 12);
    shortBody[15] = static_cast<uint8_t>(shortBody[15] - 1); // bodylen one less than the fields
    const Bytes two = Join(Tagged(101, 1), Tagged(102, 2));

    std::vector<Case> cases = {
        {"empty payload", {{{}, 0}}, {}, 100},
        {"duplicate", {{duplicate, Size(duplicate)}}, {}, 100, kKept},
        {"stale, declared length past the end", {{PacketBuilder(50).OverrideBodyLen(500).Bytes(), 520}}, {}, 100},
        {"stale skip passing the end hides the next packet", {{Join(longStale, Tagged(101, 5)), 220}}, {}, 100, kKept},
        {"stale then new", {{Join(duplicate, Tagged(101, 9)), Size(duplicate) + Size(Tagged(101, 9))}}, {9}, 101, 9,
         {{"UdpNo is not seq", 0}}},
        {"gap is logged and taken", {{Tagged(103, 3), Size(Tagged(103, 3))}}, {3}, 103, 3,
         {{"UdpNo is not seq", 1}, {"UdpNo is not seq, m_CurUdpNo is [100], m_UdpHeader seqno is [103]", 1}}},
        {"empty body", {{PacketBuilder(101).Bytes(), 20}}, {}, 101},
        {"empty body, one trailing byte", {{Join(PacketBuilder(101).Bytes(), {0x44}), -1}}, {}, 101},
        {"cut in the best field's header", {{Cut(Tagged(101, 11), kBestAt + 2), -1}}, {}, 101, kKept, {}, true},
        {"cut in the best field's data", {{Cut(Tagged(101, 11), kBestAt + 7), -1}}, {}, 101, kKept, {}, true},
        {"fields end before the declared body", {{longBody, Size(longBody)}}, {}, 101, 11},
        {"field overrunning the body is applied, then fails", {{shortBody, -1}}, {}, 101, 12},
        {"a payload after a failed one starts fresh", {{shortBody, -1}, {Tagged(102, 13), Size(shortBody)}}, {13},
         102, 13},
        {"two packets", {{two, Size(two)}}, {1, 2}, 102, kUnchecked, {}, false, // A's bid: 100 ticks of 0.2 above 3000
         {{"Processed header type, bodylen is [21]", 2}, {"vint_market_data_update_time_field,", 2},
          {"bid1_price is [3020.000000], bid1_volume is [2],", 1}}},
        {"body ends with a field header", {{Join(headerLast, Tagged(102, 3)), Size(headerLast) + Size(Tagged(102, 3))}},
         {3}, 102},
        {"empty and unknown fields", {{unknowns, Size(unknowns)}}, {4}, 101, 4,
         {{"Unknown type: 0x[1234], length is [0]", 1}, {"Unknown type: 0x[1], length is [3]", 1}}},
    };
    for (size_t n = 1; n < 20; ++n)
        cases.push_back({"short payload " + std::to_string(n), {{Cut(Tagged(101, 5), n), -1}}, {}, 100});
    for (uint8_t n = 1; n < 20; ++n)
        cases.push_back({"trailing bytes " + std::to_string(n), {{Join(Tagged(101, n), Bytes(n, 0x01)), -1}}, {n}, 101});
    return cases;
}

class Parser : public ConnectorFixture {};

// Each case runs twice: with traces on (level bit 16), every packet takes the steps one by one
// and names each header and field; off, a packet whose fields tile its body goes whole. Both
// give the same results and leave the same state.
TEST_F(Parser, EdgeCases) {
    std::map<int32_t, std::vector<std::vector<int64_t>>> states;
    for (const int32_t level : {15, 31}) {
        for (const Case& c : Cases()) {
            SCOPED_TRACE(c.name + ", log level " + std::to_string(level));
            Reset();
            CCommonLog::GetInstance().SetLogLevel(static_cast<ELOGLEVEL>(level));
            const int32_t initialBidVolume = Depth(kA).bid1_volume;
            for (const auto& chunk : c.chunks) EXPECT_EQ(chunk.second, Chunk(chunk.first));
            std::vector<int32_t> tags;
            for (const VornCffexMdType& r : Recorded().v2) tags.push_back(r.bid1_volume);
            EXPECT_EQ(c.tags, tags);
            EXPECT_EQ(c.tags.size(), Recorded().v1.size());
            EXPECT_EQ(c.curUdpNo, api->m_CurUdpNo);
            if (c.bidVolumeOfA != kUnchecked) { EXPECT_EQ(c.bidVolumeOfA == kKept ? initialBidVolume : c.bidVolumeOfA, +Depth(kA).bid1_volume); }
            if (c.updateTimeApplied) { EXPECT_EQ(0, memcmp(Depth(kA).update_time, "10:00:00", 8)); }
            const std::string log = LogText();
            for (const auto& line : c.logLines) EXPECT_EQ(line.second, LinesWith(log, line.first).size()) << line.first;
            for (const auto& line : c.traces) EXPECT_EQ(level == 31 ? line.second : 0, LinesWith(log, line.first).size()) << line.first;
            const int64_t state[] = {api->m_state, api->m_CurUdpPktLen, api->m_FieldHeader.fieldId, api->m_FieldHeader.fieldlen, api->m_UdpHeader.seqno};
            states[level].emplace_back(std::begin(state), std::end(state));
        }
        CCommonLog::GetInstance().SetLogLevel(static_cast<ELOGLEVEL>(15));
    }
    EXPECT_EQ(states[15], states[31]);
}

} // namespace
