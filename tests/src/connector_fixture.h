// An in-memory connector (no card, no snapshot file) with two instruments, and recorders for
// both callbacks, for tests that drive the parser and field application directly.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "VornCffexMdApiImpl.h"
#include "feed_encoder.h"
#include "snapshot_writer.h"
#include "test_files.h"

namespace decode_test {

using namespace vorn_test;

constexpr int32_t kA = 1001, kB = 1002;
constexpr uint32_t kLastSeqNo = 100;

struct Recording {
    std::vector<VornCffexMdType> v2;
    std::vector<MarketDepthUpdate> v1;
};
inline Recording& Recorded() {
    static Recording recording;
    return recording;
}
inline void OnV1(MarketDepthUpdate* record) { Recorded().v1.push_back(*record); }
inline void OnV2(VornCffexMdType* record) { Recorded().v2.push_back(*record); }

class ConnectorFixture : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override {
        set_parse_data(nullptr);
        set_parse_data_version_2(nullptr);
    }
    // A fresh connector and recording; the log is read from here on.
    void Reset() {
        LogToPrivateDir();
        logMark = ProcessLog().size();
        init_market_data();
        Recorded() = Recording{};
        set_parse_data(OnV1);
        set_parse_data_version_2(OnV2);
        api = std::make_unique<CVornCffexMdApiImpl>();
        api->m_r10ConfigInfo.channelInfo[CVornCffexMdApiImpl::MANAGER_CHANNEL].recvall = true;
        api->m_instMap[CVornCffexMdApiImpl::MANAGER_CHANNEL] = {Vorn_R10::CUstCharArray<32>("all")};
        api->SetCurrentInstrument(api->m_last_inst_id);
        AddInstrument(kA, "IF2612", 3000.0);
        AddInstrument(kB, "IH2612", 2700.0);
        api->m_CurUdpNo = kLastSeqNo;
    }
    // As the snapshot loader enters an instrument (tick 0.2): encoding, depth record, trust 31.
    void AddInstrument(int32_t key, const char* code, double base) {
        api->m_ins_price_infos[key] = vorn_sim::MakePriceEncoding(code, key, code, base, 0.2, 300);
        vorn_sim::DepthSpec inputs;
        inputs.instrument_id = code, inputs.inst_id = key;
        api->m_depth_market_data_infos[key] = vorn_sim::MakeDepth(inputs);
        api->m_depth_market_trust_flag[key] = 31;
    }
    // Parses one payload; the output records are clear again afterwards.
    int32_t Chunk(const std::vector<uint8_t>& payload) {
        const int32_t result = api->_processChunk(api->m_RspEncryptCodeSegmentField, payload.data(),
                                                  static_cast<uint32_t>(payload.size()), *api);
        static const VornCffexMdType clearV2{}; // static: every byte zero
        static const MarketDepthUpdate clearV1{};
        EXPECT_EQ(0, memcmp(&clearV2, &api->m_CffexMarketdata, sizeof clearV2));
        EXPECT_EQ(0, memcmp(&clearV1, &api->m_MktDepUpdate, sizeof clearV1));
        return result;
    }
    std::string LogText() const { return ProcessLog(logMark); }
    const depth_market_data_field& Depth(int32_t key) { return api->m_depth_market_data_infos.at(key); }

    std::unique_ptr<CVornCffexMdApiImpl> api;
    size_t logMark = 0;
};

} // namespace decode_test
