// A connector prepared as start-up leaves it in software mode, without the receive loop: the
// day's snapshot loaded, the descriptors built, every instrument selected, both callbacks set.
#pragma once

#include <string>
#include <vector>

#include "VornCffexMdApiImpl.h"
#include "synthetic_session.h"

namespace vorn_bench {

struct PreparedConnector {
    explicit PreparedConnector(const vorn_sim::SessionConfig& config);
    ~PreparedConnector();

    CVornCffexMdApiImpl api;
    vorn_sim::SyntheticSession session;
    std::string snapshotPath;
};

// A typical packet: update time, best, last match and one more level field.
std::vector<uint8_t> TypicalPacket(const vorn_sim::SyntheticSession& session, uint32_t seqno, bool encrypted);

// Callbacks that only touch their record, so the work measured is the library's.
void SinkV1(MarketDepthUpdate* record);
void SinkV2(VornCffexMdType* record);

// Baseline: copy the payload and fill and clear both output records.
struct Baseline {
    std::vector<uint8_t> scratch = std::vector<uint8_t>(2048);
    VornCffexMdType v2{};
    MarketDepthUpdate v1{};
    VornCffexMdType v2Source{};
    MarketDepthUpdate v1Source{};
    void Run(const uint8_t* payload, size_t size);
};

} // namespace vorn_bench
