// A deterministic synthetic trading session: instruments with price encodings, the snapshot
// that starts the day, and a seeded stream of feed packets with the depth each packet should
// leave behind, so tests, the demo and benchmarks can check what the connector delivers.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "FpgaStructCommon.h"
#include "feed_encoder.h"
#include "snapshot_writer.h"

namespace vorn_sim {

struct SimInstrument {
    int32_t key = 0; // snapshot key and ins_int_id on the wire
    std::string instrument_id;
    std::string product_id;
    double base_price = 0;
    double price_tick = 0;
    int32_t volume_multiple = 0;
    double pre_settlement_price = 0;
    bool option = false;
};

// The default instrument set: index futures, bond futures and index options.
std::vector<SimInstrument> DefaultInstruments();
ins_price_encode_info_field PriceEncodingOf(const SimInstrument& instrument);
// An instrument of the given product and prices, the rest as SimInstrument's defaults.
SimInstrument MakeInstrument(const std::string& id, const std::string& product, double base, double tick,
                             int32_t multiple, double preSettlement, bool option);

struct SessionConfig {
    uint64_t seed = 1;
    int32_t trade_date = 20261216;
    uint32_t first_seqno = 1;            // snapshot's last_md_seqno is first_seqno - 1
    std::string source_ip = "10.0.0.5";  // feed sender
    std::string group_ip = "239.3.42.1"; // feed destination
    uint16_t port = 30001;
    uint16_t topicid = 1;
    int code_segment = -1; // -1: sample cipher, 0..2: known segment k
    uint8_t key_arg0 = 0x5A;
    bool encrypted = false;                     // encrypt the encryptable fields
    int32_t start_seconds = 9 * 3600 + 30 * 60; // first update time, seconds of the day
    std::vector<SimInstrument> instruments = DefaultInstruments();
};

class SyntheticSession {
public:
    explicit SyntheticSession(SessionConfig config = {});

    const SessionConfig& Config() const { return config_; }
    const std::vector<SimInstrument>& Instruments() const { return config_.instruments; }
    // "udp://group:port/source" of the feed channel.
    std::string ChannelAddress() const;
    encrypt_code_segment_field CodeSegment() const;

    // The snapshot of the initial state (call before or after packets: it is always the start).
    SnapshotWriter Snapshot() const;

    // The next packet (one instrument: update time, best, often last match, sometimes
    // levels 2-5); advances the expected state.
    std::vector<uint8_t> NextPacket();
    // NextPacket() inside a frame to the channel address.
    std::vector<uint8_t> NextFrame();
    std::vector<uint8_t> Frame(const std::vector<uint8_t>& payload) const;

    uint32_t NextSeqNo() const { return seqno_; }
    int32_t LastKey() const { return lastKey_; } // instrument of the last packet, 0 before any
    // The depth the connector should hold for an instrument after the packets so far.
    const depth_market_data_field& Expected(int32_t key) const { return expected_.at(key); }
    const std::map<int32_t, depth_market_data_field>& ExpectedAll() const { return expected_; }
    const depth_market_data_field& Initial(int32_t key) const { return initial_.at(key); }

private:
    struct Book {
        int64_t mid = 0; // tick count of the mid price
        int64_t volume = 0;
        double turnover = 0;
        int64_t openInterest = 0;
    };
    uint64_t Random();
    uint64_t Below(uint64_t n) { return Random() % n; }
    depth_market_data_field InitialDepth(const SimInstrument& instrument, const Book& book) const;
    void AddLevels(PacketBuilder& packet, const SimInstrument& instrument, const Book& book, int first);
    void ApplyLevel(depth_market_data_field& depth, const ins_price_encode_info_field& encoding, bool bid, int n,
                    int64_t ticks, int64_t volume);
    int64_t LevelTicks(const SimInstrument& instrument, const Book& book, bool bid, int n) const;

    SessionConfig config_;
    uint64_t rng_;
    uint32_t seqno_;
    int32_t lastKey_ = 0;
    int64_t timeMsec_; // session clock, milliseconds of the day
    std::map<int32_t, Book> books_;
    std::map<int32_t, depth_market_data_field> initial_;
    std::map<int32_t, depth_market_data_field> expected_;
};

} // namespace vorn_sim
