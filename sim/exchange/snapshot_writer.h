// Writes snapshot files the connector loads at start-up. Layout (little-endian, no header):
//   u64 A; A x multi_address_field (66 B); int32 trade date; int32 last_md_seqno;
//   encrypt_code_segment_field (608 B); u64 P; P x (int32 key, ins_price_encode_info_field);
//   u64 D; D x (int32 key, depth record in file order, 326 B).
// The depth record's file order equals depth_market_data_field except bytes 168..263, which
// hold levels 2 to 5 in plain level order (see snapshot_file:: in FpgaStructCommon.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FpgaStructCommon.h"

namespace vorn_sim {

// Copies `text` into a fixed char field, zero padded; at most N-1 characters (terminated).
template <size_t N>
void CopyText(char (&field)[N], const std::string& text) {
    const size_t len = text.size() < N - 1 ? text.size() : N - 1;
    for (size_t i = 0; i < N; ++i) field[i] = i < len ? text[i] : '\0';
}

// "HH:MM:SS" of a second of the day, as the 8 characters of update_time (no terminator).
void SetUpdateTime(char (&field)[8], int32_t secondsOfDay);

// One price level: absent when price is EMPTY_PRICE.
struct Level {
    double price = EMPTY_PRICE;
    int32_t volume = 0;
};

// The inputs of a realistic depth record; everything not given is empty or zero.
struct DepthSpec {
    std::string instrument_id;
    int32_t inst_id = 0;
    std::string trading_day = "20261216"; // 8 characters
    std::string settlement_group_id = "SG01";
    int32_t settlement_id = 1;
    double pre_settlement_price = 0;
    double pre_close_price = 0;
    double pre_open_interest = 0;
    double pre_delta = 0;
    double upper_limit_price = EMPTY_PRICE;
    double lower_limit_price = EMPTY_PRICE;
    double last_price = EMPTY_PRICE;
    int32_t volume = 0;
    double turn_over = 0;
    double open_interest = 0;
    Level bid[5];
    Level ask[5];
    int32_t update_seconds = 9 * 3600 + 30 * 60; // seconds of the day
    int32_t update_msec = 0;
};

// A depth record: open/high/low/close/settlement/curr_delta and banding empty, the rest from
// `inputs`.
depth_market_data_field MakeDepth(const DepthSpec& inputs);
// Level n (1..5) of a depth record, in place: the bid or ask price and volume members.
void SetLevel(depth_market_data_field& depth, bool bid, int n, const Level& level);
Level GetLevel(const depth_market_data_field& depth, bool bid, int n);

// The 326 bytes of a depth record in snapshot file order, and back.
void DepthToFileOrder(const depth_market_data_field& depth, uint8_t* out326);
depth_market_data_field DepthFromFileOrder(const uint8_t* in326);

// A price encoding record.
ins_price_encode_info_field MakePriceEncoding(const std::string& instrument_id, int32_t ins_int_id,
                                              const std::string& product_id, double base_price, double price_tick,
                                              int32_t volume_multiple);

class SnapshotWriter {
public:
    // address_text like "udp://239.3.42.1:30001/10.0.0.5" (scheme://group:port/source).
    void AddChannel(const std::string& address_text, int16_t channel_no = 1, uint16_t md_topicid = 1, int8_t source = 0,
                    int8_t status = 1);
    void AddChannel(const multi_address_field& channel);
    void SetTradeDate(int32_t yyyymmdd) { trade_date_ = yyyymmdd; }
    void SetLastSeqNo(int32_t seqno) { last_md_seqno_ = seqno; }
    void SetCodeSegment(const encrypt_code_segment_field& segment) { code_segment_ = segment; }
    // Price encoding and depth under the same key.
    void AddInstrument(int32_t key, const ins_price_encode_info_field& price, const depth_market_data_field& depth);
    // One table each, for files with unmatched or duplicate keys.
    void AddPriceEncoding(int32_t key, const ins_price_encode_info_field& price);
    void AddDepth(int32_t key, const depth_market_data_field& depth);

    std::vector<uint8_t> Bytes() const;
    // Writes atomically: a temporary file in the same directory (mode 0644) renamed into place.
    bool WriteFile(const std::string& path) const;
    // "/tmp/.YYYYMMDD_V2.bin" of today's local date: where the connector looks.
    static std::string TodayPath();
    // What test runs, tools and benchmarks lock (flock) while they own the shared day path: the
    // day file's folder itself, so that the lock leaves no file behind.
    static constexpr const char* kSharedPathLock = "/tmp";
    // Takes that lock, waiting for another holder; with `who`, a line on standard error says
    // so first. Returns the descriptor that holds it (closing it releases the lock), -1 when
    // the folder cannot be opened or locked.
    static int LockSharedPath(const char* who = nullptr);

private:
    std::vector<multi_address_field> channels_;
    int32_t trade_date_ = 0;
    int32_t last_md_seqno_ = 0;
    encrypt_code_segment_field code_segment_{};
    std::vector<std::pair<int32_t, ins_price_encode_info_field>> prices_;
    std::vector<std::pair<int32_t, depth_market_data_field>> depths_;
};

} // namespace vorn_sim
