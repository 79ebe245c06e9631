// A connector built in memory (no card, no snapshot file) with two instruments, for tests
// that drive the parser and field application directly, and recorders for both callbacks.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "VornCffexMdApiImpl.h"
#include "feed_encoder.h"
#include "snapshot_writer.h"

namespace decode_test {

constexpr int32_t kA = 1001, kB = 1002;
constexpr uint32_t kLastSeqNo = 100;

// What the callbacks received, in call order; `zeroAfter` is checked by the fixture.
struct Recording {
    std::vector<int> versions;
    std::vector<VornCffexMdType> v2;
    std::vector<MarketDepthUpdate> v1;
};

inline Recording& Recorded() {
    static Recording recording;
    return recording;
}

inline void OnV1(MarketDepthUpdate* record) {
    Recorded().versions.push_back(1);
    Recorded().v1.push_back(*record);
}

inline void OnV2(VornCffexMdType* record) {
    Recorded().versions.push_back(2);
    Recorded().v2.push_back(*record);
}

inline void RegisterRecorders(bool v1, bool v2) {
    set_parse_data(v1 ? OnV1 : nullptr);
    set_parse_data_version_2(v2 ? OnV2 : nullptr);
}

// The process's log goes to a temporary directory, removed at exit.
inline void UseTemporaryLog() {
    static std::string dir;
    if (!dir.empty()) return;
    char pattern[] = "/tmp/vorn_decode_XXXXXX";
    dir = mkdtemp(pattern);
    Vorn_R10::CCommonLog::GetInstance().SetLogPath(dir);
    atexit([] {
        const std::string remove = "rm -rf '" + dir + "'";
        if (system(remove.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
    });
}

inline std::string WholeLog() {
    std::ifstream in(Vorn_R10::CCommonLog::GetInstance().GetLogFileName());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The log since the current test began (tests share the process when run together).
inline size_t& LogMark() {
    static size_t mark = 0;
    return mark;
}
inline void MarkLog() { LogMark() = WholeLog().size(); }
inline std::string LogText() { return WholeLog().substr(LogMark()); }

inline size_t CountLines(const std::string& text, const std::string& needle) {
    size_t count = 0;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.find(needle) != std::string::npos) ++count;
    return count;
}

template <typename T>
bool AllZero(const T& record) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    for (size_t i = 0; i < sizeof record; ++i)
        if (bytes[i]) return false;
    return true;
}

class ConnectorFixture : public ::testing::Test {
protected:
    void SetUp() override {
        UseTemporaryLog();
        MarkLog();
        init_market_data();
        Recorded() = Recording{};
        RegisterRecorders(true, true);
        api = std::make_unique<CVornCffexMdApiImpl>();
        SelectAll();
        AddInstrument(kA, "IF2612", 3000.0, 0.2);
        AddInstrument(kB, "IH2612", 2700.0, 0.2);
        api->m_CurUdpNo = kLastSeqNo;
    }
    void TearDown() override { RegisterRecorders(false, false); }

    void SelectAll() { Select("all"); }
    void Select(const char* insts) {
        api->m_r10ConfigInfo.channelInfo[CVornCffexMdApiImpl::MANAGER_CHANNEL].recvall = strcmp(insts, "all") == 0;
        api->m_instMap[CVornCffexMdApiImpl::MANAGER_CHANNEL] = {Vorn_R10::CUstCharArray<32>(insts)};
        api->SetCurrentInstrument(api->m_last_inst_id);
    }

    // As the snapshot loader enters an instrument: price encoding, depth record, trust 31.
    void AddInstrument(int32_t key, const char* code, double base, double tick) {
        api->m_ins_price_infos[key] = vorn_sim::MakePriceEncoding(code, key, code, base, tick, 300);
        vorn_sim::DepthSpec spec;
        spec.instrument_id = code;
        spec.inst_id = key;
        api->m_depth_market_data_infos[key] = vorn_sim::MakeDepth(spec);
        api->m_depth_market_trust_flag[key] = 31;
    }

    int32_t Chunk(const std::vector<uint8_t>& payload) {
        const int32_t result = api->_processChunk(api->m_RspEncryptCodeSegmentField, payload.data(),
                                                  static_cast<uint32_t>(payload.size()), *api);
        EXPECT_TRUE(AllZero(api->m_CffexMarketdata));
        EXPECT_TRUE(AllZero(api->m_MktDepUpdate));
        return result;
    }

    const depth_market_data_field& Depth(int32_t key) { return api->m_depth_market_data_infos.at(key); }

    std::unique_ptr<CVornCffexMdApiImpl> api;
};

// A plain packet naming instrument `key` with a best field (ticks from the base price).
inline vorn_sim::PacketBuilder BestPacket(uint32_t seqno, int32_t key, int64_t bidTicks = 100) {
    vorn_sim::PacketBuilder packet(seqno);
    packet.UpdateTime(key, 34200, 500).Best(bidTicks, 5, bidTicks + 1, 7);
    return packet;
}

} // namespace decode_test
