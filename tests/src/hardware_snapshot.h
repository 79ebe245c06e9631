// Snapshots for hardware-mode tests: a code segment that is known segment k selects hardware mode.
#pragma once

#include <gtest/gtest.h>

#include "FpgaStruct.h"
#include "connector_harness.h"
#include "sample_code.h"

namespace hw_test {

constexpr int32_t kTradeDate = 20261216;
constexpr uint8_t kKeyArg0 = 0x5A;

// Two feed channels, so that both A and B registers carry a known address.
inline vorn_sim::SnapshotWriter HardwareSnapshot(int segment, int32_t lastSeqNo) {
    vorn_sim::SnapshotWriter writer;
    writer.AddChannel("udp://239.3.42.1:30001/10.0.0.5", 1);
    writer.AddChannel("udp://239.3.42.2:30002/10.0.0.6", 2);
    writer.SetTradeDate(kTradeDate);
    writer.SetLastSeqNo(lastSeqNo);
    writer.SetCodeSegment(vorn_sim::KnownSegmentRecord(segment, kKeyArg0));
    return writer;
}

// Level n (0..4): bid 4001.2 - 0.2 n for 3 + n, ask 4001.6 + 0.2 n for 13 + n.
inline vorn_sim::DepthSpec Inputs(const std::string& instrumentId, int32_t key) {
    vorn_sim::DepthSpec inputs;
    inputs.instrument_id = instrumentId, inputs.inst_id = key;
    inputs.pre_settlement_price = 4000.2, inputs.last_price = 4001.4, inputs.volume = 12;
    for (int n = 0; n < 5; ++n) {
        inputs.bid[n] = {4001.2 - 0.2 * n, 3 + n};
        inputs.ask[n] = {4001.6 + 0.2 * n, 13 + n};
    }
    return inputs;
}

// Base 4000, tick 0.2, multiple 300.
inline void AddInstrument(vorn_sim::SnapshotWriter& writer, const std::string& instrumentId, int32_t key) {
    writer.AddInstrument(key, vorn_sim::MakePriceEncoding(instrumentId, key, instrumentId.substr(0, 2), 4000.0, 0.2, 300),
                         vorn_sim::MakeDepth(Inputs(instrumentId, key)));
}

// Writes `writer` as today's snapshot and starts `run` on it.
inline void StartOn(const vorn_sim::SnapshotWriter& writer, vorn_test::ConnectorRun& run) {
    ASSERT_TRUE(vorn_test::WriteTodaySnapshot(writer));
    ASSERT_EQ(0, run.Start()) << run.Stdout();
}

} // namespace hw_test
