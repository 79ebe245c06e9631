// Configuration records and the FPGA's own layouts: register numbers, the instrument-table
// row and the channel-0 event message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ust_string_base.h"

namespace Vorn_R10 {

struct R10ChannelInfo {
    CInstrumentListType insts;
    bool options = false; // "recv": also option instruments for product/prefix selectors and "all"
    bool recvall = false; // insts is exactly "all"
};

struct R10CffexConfigInfo {
    static constexpr int CHANNEL_SIZE = 1;
    std::string device;
    std::string snapshot; // snapshot file to load; empty: the day's file (SnapshotFileName)
    int32_t exanic_cache_flag;
    int32_t exanic_cache_size;
    std::string log_path;
    int32_t log_level;
    int32_t cpucore = 1;
    R10ChannelInfo channelInfo[CHANNEL_SIZE];
    std::string counters_path;    // folder of the live counters file
    std::string counters_name;    // name in the counters file's name; empty: the program's
    uint64_t latency_sample = 64; // one frame in this many is timed; 0: none

    // work_mode = software: the code segment does not choose hardware mode.
    bool software_decoding = false;
    // transport = socket: kernel UDP sockets instead of the card.
    bool socket_transport = false;
    // interface: as written (empty: any), as an IPv4 address in host order (0: any), and
    // whether it is one.
    std::string interface_name;
    uint32_t interface_addr = 0;
    bool interface_valid = true;
    // socket_rcvbuf: the receive buffer asked for each socket, bytes.
    int32_t socket_rcvbuf = 8 << 20;
};

} // namespace Vorn_R10

// FPGA register numbers (word index into the devkit register window).
enum EFpgaReg : uint32_t {
    TRADE_TIME_FLAG = 12,
    TABLE_END_FLAG = 13,
    UDP_SRC_IP_A = 14,
    UDP_SRC_IP_B = 15,
    UDP_DST_PORT_A = 16,
    UDP_DST_PORT_B = 17,
    KEY_TYPE = 18,
    ARG = 19,
    SOFT_HW_SW = 20,
    RESET = 21,
    INVALID_VALUE_SW = 22,
    SOFT_VERSION = 23,
    UDP_SEQNUM = 24,
    check_soft_ver = 64,
    ver_compile_date = 65,
    INST_TABLE_BASE = 320,
};
constexpr uint32_t INST_TABLE_WORDS = 85;

#pragma pack(push, 1)

// One instrument-table row, written word by word to registers 320..404.
struct SCffexInstTableType {
    uint32_t config;
    int64_t base_price;
    int64_t price_tick;
    int32_t volume_multiple;
    char trading_day[8];
    char settlement_group_id[8];
    int32_t settlement_id;
    int64_t pre_settlement_price;
    int64_t pre_close_price;
    uint64_t pre_open_interest;
    int64_t pre_delta;
    uint32_t inst_id;
    uint64_t update_time;
    uint32_t update_msec;
    int64_t open_price;
    int64_t high_price;
    int64_t low_price;
    int64_t close_price;
    int64_t upper_limit_price;
    int64_t lower_limit_price;
    int64_t settlement_price;
    int64_t curr_delta;
    int64_t last_price;
    uint32_t volume;
    double turn_over;
    int64_t open_interest;
    int64_t bid1_price;
    uint32_t bid1_volume;
    int64_t ask1_price;
    uint32_t ask1_volume;
    int64_t bid2_price;
    uint32_t bid2_volume;
    int64_t bid3_price;
    uint32_t bid3_volume;
    int64_t ask2_price;
    uint32_t ask2_volume;
    int64_t ask3_price;
    uint32_t ask3_volume;
    int64_t bid4_price;
    uint32_t bid4_volume;
    int64_t bid5_price;
    uint32_t bid5_volume;
    int64_t ask4_price;
    uint32_t ask4_volume;
    int64_t ask5_price;
    uint32_t ask5_volume;
    char instrument_id[32];
    uint32_t table_done;
};

enum EDmaMsgType : uint32_t { DMA_EVENT = 0, DMA_UDP = 1, DMA_TCP = 2 };

// Lost-message event of channel 0 in hardware mode.
struct sAbnormalEvent {
    uint16_t msg_type;
    uint16_t msg_len;
    uint32_t lost_msg_seqnum;
    uint64_t lost_lane;
};

#pragma pack(pop)

static_assert(sizeof(SCffexInstTableType) == 340, "SCffexInstTableType is 340 bytes");
static_assert(sizeof(SCffexInstTableType) == INST_TABLE_WORDS * 4, "85 words per row");
static_assert(offsetof(SCffexInstTableType, base_price) == 4, "base_price");
static_assert(offsetof(SCffexInstTableType, volume_multiple) == 20, "volume_multiple");
static_assert(offsetof(SCffexInstTableType, trading_day) == 24, "trading_day");
static_assert(offsetof(SCffexInstTableType, settlement_id) == 40, "settlement_id");
static_assert(offsetof(SCffexInstTableType, pre_open_interest) == 60, "pre_open_interest");
static_assert(offsetof(SCffexInstTableType, inst_id) == 76, "inst_id");
static_assert(offsetof(SCffexInstTableType, update_time) == 80, "update_time");
static_assert(offsetof(SCffexInstTableType, update_msec) == 88, "update_msec");
static_assert(offsetof(SCffexInstTableType, open_price) == 92, "open_price");
static_assert(offsetof(SCffexInstTableType, curr_delta) == 148, "curr_delta");
static_assert(offsetof(SCffexInstTableType, last_price) == 156, "last_price");
static_assert(offsetof(SCffexInstTableType, volume) == 164, "volume");
static_assert(offsetof(SCffexInstTableType, turn_over) == 168, "turn_over");
static_assert(offsetof(SCffexInstTableType, open_interest) == 176, "open_interest");
static_assert(offsetof(SCffexInstTableType, bid1_price) == 184, "bid1_price");
static_assert(offsetof(SCffexInstTableType, bid2_price) == 208, "bid2_price");
static_assert(offsetof(SCffexInstTableType, ask2_price) == 232, "ask2_price");
static_assert(offsetof(SCffexInstTableType, ask5_volume) == 300, "ask5_volume");
static_assert(offsetof(SCffexInstTableType, instrument_id) == 304, "instrument_id");
static_assert(offsetof(SCffexInstTableType, table_done) == 336, "table_done");
static_assert(sizeof(sAbnormalEvent) == 16, "sAbnormalEvent is 16 bytes");
static_assert(offsetof(sAbnormalEvent, lost_msg_seqnum) == 4, "lost_msg_seqnum");
static_assert(offsetof(sAbnormalEvent, lost_lane) == 8, "lost_lane");
