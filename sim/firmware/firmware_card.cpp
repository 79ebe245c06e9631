// The firmware's side of a simulated card: version registers, record and event frames, and
// the instrument table read back from the connector's register writes.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "price_convert.h"
#include "vorn_firmware.h"

namespace vorn_firmware {

namespace {

constexpr uint32_t kTableBase = INST_TABLE_BASE;
constexpr uint32_t kTableLast = INST_TABLE_BASE + INST_TABLE_WORDS - 1;

template <size_t N>
void CopyText(char (&field)[N], const std::string& text, size_t maxChars) {
    memset(field, 0, N);
    memcpy(field, text.data(), std::min({text.size(), maxChars, N}));
}

// HH:MM:SS to seconds of the day.
uint64_t SecondsOfDay(const char* text) {
    const auto digit = [text](int at) { return static_cast<int64_t>(text[at]) - '0'; };
    return static_cast<uint64_t>((10 * digit(0) + digit(1)) * 3600 + (10 * digit(3) + digit(4)) * 60 + 10 * digit(6) +
                                 digit(7));
}

} // namespace

std::vector<uint8_t> RecordFrame(const VornCffexMdType& record, size_t length, uint32_t prefix) {
    std::vector<uint8_t> frame(kRecordFrameSize, 0);
    memcpy(frame.data(), &prefix, sizeof prefix);
    memcpy(frame.data() + kRecordPrefixSize, &record, sizeof record);
    frame.resize(length, 0);
    return frame;
}

std::vector<uint8_t> EventFrame(uint32_t lostSeqNum, uint64_t lostLane, uint16_t msgLen, uint16_t msgType) {
    sAbnormalEvent event{};
    event.msg_type = msgType;
    event.msg_len = msgLen;
    event.lost_msg_seqnum = lostSeqNum;
    event.lost_lane = lostLane;
    std::vector<uint8_t> frame(sizeof event);
    memcpy(frame.data(), &event, sizeof event);
    return frame;
}

VornCffexMdType MakeRecord(int32_t instNo, const std::string& instrumentId, const std::string& tradingDay) {
    VornCffexMdType record;
    memset(&record, 0, sizeof record);
    record.inst_no = instNo;
    CopyText(record.instrument_id, instrumentId, sizeof record.instrument_id - 1);
    CopyText(record.trading_day, tradingDay, sizeof record.trading_day - 1);
    return record;
}

std::vector<std::pair<uint32_t, uint32_t>> RegisterWritesFromLog(const std::string& logText) {
    std::vector<std::pair<uint32_t, uint32_t>> writes;
    std::istringstream in(logText);
    std::string line;
    while (std::getline(in, line)) {
        const size_t at = line.find("set_fpga_reg addr: ");
        unsigned reg = 0, value = 0;
        if (at != std::string::npos && sscanf(line.c_str() + at, "set_fpga_reg addr: %u, val: %u", &reg, &value) == 2)
            writes.emplace_back(reg, value);
    }
    return writes;
}

std::vector<SCffexInstTableType> TableFromWrites(const std::vector<std::pair<uint32_t, uint32_t>>& writes) {
    std::vector<SCffexInstTableType> rows;
    uint32_t words[INST_TABLE_WORDS] = {};
    uint32_t next = kTableBase; // the register the current row's next word goes to
    for (const auto& write : writes) {
        const uint32_t reg = write.first;
        if (reg < kTableBase || reg > kTableLast) continue;
        if (reg == kTableBase) next = kTableBase; // a row starts over
        if (reg != next) {                        // out of sequence: not a whole row
            next = kTableLast + 1;
            continue;
        }
        words[reg - kTableBase] = write.second;
        ++next;
        if (reg == kTableLast) {
            SCffexInstTableType row;
            memcpy(&row, words, sizeof row);
            rows.push_back(row);
            next = kTableLast + 1;
        }
    }
    return rows;
}

std::vector<SCffexInstTableType> TableFromLog(const std::string& logText) {
    return TableFromWrites(RegisterWritesFromLog(logText));
}

SCffexInstTableType MakeTableRow(int32_t key, const ins_price_encode_info_field& encoding,
                                 const depth_market_data_field& depth, uint32_t config) {
    using vorn_price::Count;
    using vorn_price::Thousandths;
    const depth_market_data_field& md = depth;
    SCffexInstTableType row;
    memset(&row, 0, sizeof row);
    row.config = config;
    row.base_price = Thousandths(encoding.base_price);
    row.price_tick = Thousandths(encoding.price_tick);
    row.volume_multiple = encoding.volume_multiple;
    memcpy(row.trading_day, md.trading_day, sizeof row.trading_day);
    memcpy(row.settlement_group_id, md.settlement_group_id, sizeof row.settlement_group_id);
    row.settlement_id = md.settlement_id;
    row.pre_settlement_price = Thousandths(md.pre_settlement_price);
    row.pre_close_price = Thousandths(md.pre_close_price);
    row.pre_open_interest = vorn_price::UnsignedCount(md.pre_open_interest);
    row.pre_delta = Count(md.pre_delta);
    row.inst_id = static_cast<uint32_t>(key);
    row.update_time = SecondsOfDay(md.update_time);
    row.update_msec = static_cast<uint32_t>(md.update_msec);
    row.open_price = Thousandths(md.open_price);
    row.high_price = Thousandths(md.high_price);
    row.low_price = Thousandths(md.low_price);
    row.close_price = Thousandths(md.close_price);
    row.upper_limit_price = Thousandths(md.upper_limit_price);
    row.lower_limit_price = Thousandths(md.lower_limit_price);
    row.settlement_price = Thousandths(md.settlement_price);
    row.curr_delta = Count(md.curr_delta);
    row.last_price = Thousandths(md.last_price);
    row.volume = static_cast<uint32_t>(md.volume);
    row.turn_over = md.turn_over >= EMPTY_PRICE ? 0.0 : md.turn_over;
    row.open_interest = Count(md.open_interest);
    row.bid1_price = Thousandths(md.bid1_price);
    row.bid1_volume = static_cast<uint32_t>(md.bid1_volume);
    row.ask1_price = Thousandths(md.ask1_price);
    row.ask1_volume = static_cast<uint32_t>(md.ask1_volume);
    row.bid2_price = Thousandths(md.bid2_price);
    row.bid2_volume = static_cast<uint32_t>(md.bid2_volume);
    row.bid3_price = Thousandths(md.bid3_price);
    row.bid3_volume = static_cast<uint32_t>(md.bid3_volume);
    row.ask2_price = Thousandths(md.ask2_price);
    row.ask2_volume = static_cast<uint32_t>(md.ask2_volume);
    row.ask3_price = Thousandths(md.ask3_price);
    row.ask3_volume = static_cast<uint32_t>(md.ask3_volume);
    row.bid4_price = Thousandths(md.bid4_price);
    row.bid4_volume = static_cast<uint32_t>(md.bid4_volume);
    row.bid5_price = Thousandths(md.bid5_price);
    row.bid5_volume = static_cast<uint32_t>(md.bid5_volume);
    row.ask4_price = Thousandths(md.ask4_price);
    row.ask4_volume = static_cast<uint32_t>(md.ask4_volume);
    row.ask5_price = Thousandths(md.ask5_price);
    row.ask5_volume = static_cast<uint32_t>(md.ask5_volume);
    if (md.instrument_id[0] != 0) memcpy(row.instrument_id, md.instrument_id, 29);
    row.table_done = 1;
    return row;
}

FirmwareCard::FirmwareCard(const std::string& device) : card_(vorn_sim_open(device.c_str())) {}

FirmwareCard::~FirmwareCard() {
    if (card_) vorn_sim_close(card_);
}

void FirmwareCard::SetVersion(uint32_t firmwareVersion, uint32_t verdict) {
    vorn_sim_write_reg(card_, ver_compile_date, firmwareVersion);
    vorn_sim_write_reg(card_, check_soft_ver, verdict);
}

uint32_t FirmwareCard::FirmwareVersion() const { return vorn_sim_read_reg(card_, ver_compile_date); }
uint32_t FirmwareCard::Verdict() const { return vorn_sim_read_reg(card_, check_soft_ver); }
uint32_t FirmwareCard::Register(uint32_t reg) const { return vorn_sim_read_reg(card_, reg); }

SCffexInstTableType FirmwareCard::TableWindow() const {
    uint32_t words[INST_TABLE_WORDS];
    for (uint32_t w = 0; w < INST_TABLE_WORDS; ++w) words[w] = vorn_sim_read_reg(card_, kTableBase + w);
    SCffexInstTableType row;
    memcpy(&row, words, sizeof row);
    return row;
}

bool FirmwareCard::PutFrame(int port, const std::vector<uint8_t>& frame) {
    return card_ && vorn_sim_put_frame(card_, port, frame.data(), frame.size(), VORN_SIM_WAIT, 0) == 0;
}

bool FirmwareCard::PutRecord(const VornCffexMdType& record, size_t length, uint32_t prefix) {
    return PutFrame(1, RecordFrame(record, length, prefix));
}

bool FirmwareCard::PutEvent(uint32_t lostSeqNum, uint64_t lostLane, uint16_t msgLen, uint16_t msgType) {
    return PutFrame(0, EventFrame(lostSeqNum, lostLane, msgLen, msgType));
}

} // namespace vorn_firmware
