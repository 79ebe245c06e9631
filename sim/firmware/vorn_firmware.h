// A stand-in for the feed-handling firmware on a simulated ExaNIC in hardware mode: it answers
// the version registers, delivers decoded records on channel 1 (a 4-byte prefix and a
// VornCffexMdType record) and abnormal events on channel 0 (sAbnormalEvent), reads back the
// instrument table the connector uploaded, and can decode the simulated exchange's packets
// into the records the firmware would deliver.
//
// Reading the table back: every row goes through the same 85 registers (320..404), so the
// register window only ever holds the last row. A stand-in polling the window from another
// thread or process cannot see each row reliably; the complete table is rebuilt from the
// connector's log instead, from its LOG_DEBUG lines "set_fpga_reg addr: %u, val: %u" (the
// log level must include LOG_DEBUG, bit 8; the default level 15 does).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "FpgaStruct.h"
#include "FpgaStructCommon.h"
#include "VornCffexMd_interface.h"
#include "vorn_sim_card.h"

namespace vorn_sim {
class SyntheticSession;
}

namespace vorn_firmware {

constexpr size_t kRecordPrefixSize = 4;
constexpr size_t kRecordFrameSize = kRecordPrefixSize + sizeof(VornCffexMdType); // 280
constexpr uint32_t kSelected = 2; // row config of an instrument the configuration selects

// A channel-1 frame: the prefix, then the record; `length` cuts or zero-pads the frame.
std::vector<uint8_t> RecordFrame(const VornCffexMdType& record, size_t length = kRecordFrameSize, uint32_t prefix = 0);
// A channel-0 abnormal event (msg_type 0 = DMA_EVENT), 16 bytes.
std::vector<uint8_t> EventFrame(uint32_t lostSeqNum, uint64_t lostLane, uint16_t msgLen = 16,
                                uint16_t msgType = DMA_EVENT);
// A zeroed record with the texts filled in (instrument_id cut to 30, trading_day to 8 chars).
VornCffexMdType MakeRecord(int32_t instNo, const std::string& instrumentId, const std::string& tradingDay = "");

// Register writes as the connector logged them, in order: (register, value).
std::vector<std::pair<uint32_t, uint32_t>> RegisterWritesFromLog(const std::string& logText);
// The instrument table rebuilt from register writes: one row per run of writes to
// 320..404 that ends with register 404; incomplete runs are dropped.
std::vector<SCffexInstTableType> TableFromWrites(const std::vector<std::pair<uint32_t, uint32_t>>& writes);
std::vector<SCffexInstTableType> TableFromLog(const std::string& logText);

// The row the connector builds for an instrument (prices in thousandths), for comparisons.
SCffexInstTableType MakeTableRow(int32_t key, const ins_price_encode_info_field& encoding,
                                 const depth_market_data_field& depth, uint32_t config);

// The firmware's side of one simulated card, opened by device name.
class FirmwareCard {
public:
    explicit FirmwareCard(const std::string& device);
    ~FirmwareCard();
    FirmwareCard(const FirmwareCard&) = delete;
    FirmwareCard& operator=(const FirmwareCard&) = delete;

    bool IsOpen() const { return card_ != nullptr; }
    vorn_sim_card_t* Card() const { return card_; }

    // Register 65 (firmware version) and 64 (verdict on the library's version).
    void SetVersion(uint32_t firmwareVersion, uint32_t verdict);
    uint32_t FirmwareVersion() const;
    uint32_t Verdict() const;
    uint32_t Register(uint32_t reg) const;
    // The row now in the table window: the last row uploaded (see the note above).
    SCffexInstTableType TableWindow() const;

    // Frames are put waiting for room (lossless); false when the card refuses one.
    bool PutRecord(const VornCffexMdType& record, size_t length = kRecordFrameSize, uint32_t prefix = 0);
    bool PutEvent(uint32_t lostSeqNum, uint64_t lostLane, uint16_t msgLen = 16, uint16_t msgType = DMA_EVENT);
    bool PutFrame(int port, const std::vector<uint8_t>& frame);

private:
    vorn_sim_card_t* card_ = nullptr;
};

// Decodes the simulated exchange's feed packets as the firmware does: drops packets at or
// below the last sequence number, decrypts encrypted fields under known segment k, keeps a
// record per instrument that starts from its table row, and yields one record per packet of
// a selected instrument (prices in thousandths from the row's price encoding, trust flag 1).
class FeedDecoder {
public:
    // Instruments (all selected), key and last sequence number of a session's snapshot.
    void SetInstruments(const vorn_sim::SyntheticSession& session);
    // Instruments from an uploaded table; rows whose config is not 2 are decoded but not
    // delivered.
    void SetTable(const std::vector<SCffexInstTableType>& rows);
    void SetKey(int keyType, uint8_t keyArg0);
    void SetLastSeqNo(uint32_t seqno) { lastSeqNo_ = seqno; }
    uint32_t LastSeqNo() const { return lastSeqNo_; }

    // One UDP payload (one or more packets back to back).
    std::vector<VornCffexMdType> Decode(const uint8_t* payload, size_t len);
    std::vector<VornCffexMdType> Decode(const std::vector<uint8_t>& payload) {
        return Decode(payload.data(), payload.size());
    }

private:
    struct Instrument {
        int64_t basePrice = 0; // thousandths
        int64_t priceTick = 0; // thousandths
        bool selected = false;
        VornCffexMdType record{};
    };
    bool DecodePacket(const uint8_t* packet, size_t len, size_t& used, std::vector<VornCffexMdType>& out);
    void ApplyField(uint16_t fieldId, std::vector<uint8_t>& data, bool encrypted);
    int64_t Price(int64_t ticks) const;

    std::map<int32_t, Instrument> instruments_;
    Instrument* current_ = nullptr;
    int keyType_ = 3;
    uint8_t keyArg0_ = 0;
    uint32_t lastSeqNo_ = 0;
};

// The decoder in front of a card: what the demo uses for its hardware-mode run.
//   HardwareFeed feed(device); feed.SetInstruments(session); feed.Deliver(session.NextPacket());
class HardwareFeed : public FeedDecoder {
public:
    explicit HardwareFeed(const std::string& device) : card_(device) {}
    FirmwareCard& Card() { return card_; }
    // Decodes a UDP payload and puts its records on channel 1; the number of records put,
    // or -1 when the card refused a frame.
    int Deliver(const std::vector<uint8_t>& payload);
    // The same for a complete Ethernet/IPv4/UDP frame (the payload after the 42 header bytes).
    int DeliverFrame(const std::vector<uint8_t>& frame);

private:
    FirmwareCard card_;
};

} // namespace vorn_firmware
