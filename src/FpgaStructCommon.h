// Exchange field identifiers and the packed records the snapshot carries.
// Layouts are exact: they are both the snapshot file format and the in-memory layout.
#pragma once

#include <cstddef>
#include <cstdint>

enum class FIELD_ID : uint16_t {
    depth_market_data = 1,
    multi_address = 2,
    user = 3,
    user_right = 4,
    user_sub_product = 5,
    login_log = 6,
    user_msg = 7,
    ins_price_encode_info = 8,
    multi_channel_status = 9,
    rsp_info = 10,
    req_user_login = 11,
    rsp_user_login = 12,
    req_sub_md = 13,
    rsp_sub_md = 14,
    rsp_encrypt_code_segment = 15,
    req_check_encrypt = 16,
    end_snap_md = 17,
    req_retran_md = 18,
    mchannel_report_config = 19,
    vint_market_data_static = 0x4432,
    vint_market_data_last_match = 0x4433,
    vint_market_data_best = 0x4434,
    vint_market_data_bid23 = 0x4435,
    vint_market_data_ask23 = 0x4436,
    vint_market_data_bid45 = 0x4437,
    vint_market_data_ask45 = 0x4438,
    vint_market_data_update_time = 0x4439,
    vint_market_data_real_price_banding = 0x443A,
};

// The largest finite double marks a missing price.
constexpr double EMPTY_PRICE = 1.7976931348623157e308;

#pragma pack(push, 1)

// Frames one field inside a feed packet (big-endian on the wire, host order once parsed).
struct field_header {
    uint16_t fieldId;
    uint16_t fieldlen;
};

struct multi_address_field {
    int16_t channel_no;
    char multi_address[60]; // scheme://host:port/source
    uint16_t md_topicid;
    int8_t source;
    int8_t status;
};

struct ins_price_encode_info_field {
    char instrument_id[30];
    int32_t ins_int_id;
    char product_id[10];
    double base_price;
    double price_tick;
    int32_t volume_multiple;
};

struct encrypt_code_segment_field {
    char compiled_code[400];
    int32_t code_len;
    int32_t check_code;
    char arg1[100];
    char demo_data[100];
};

struct end_snap_md_field {
    int32_t last_md_seqno;
};

// In-memory order groups levels as the feed's fields do (bid 2-3, ask 2-3, bid 4-5, ask 4-5);
// the snapshot file stores them in plain level order.
struct depth_market_data_field {
    char trading_day[8];
    char settlement_group_id[8];
    int32_t settlement_id;
    double pre_settlement_price;
    double pre_close_price;
    double pre_open_interest;
    double pre_delta;
    double open_price;
    double high_price;
    double low_price;
    double close_price;
    double upper_limit_price;
    double lower_limit_price;
    double settlement_price;
    double curr_delta;
    double last_price;
    int32_t volume;
    double turn_over;
    double open_interest;
    double bid1_price;
    int32_t bid1_volume;
    double ask1_price;
    int32_t ask1_volume;
    double bid2_price;
    int32_t bid2_volume;
    double bid3_price;
    int32_t bid3_volume;
    double ask2_price;
    int32_t ask2_volume;
    double ask3_price;
    int32_t ask3_volume;
    double bid4_price;
    int32_t bid4_volume;
    double bid5_price;
    int32_t bid5_volume;
    double ask4_price;
    int32_t ask4_volume;
    double ask5_price;
    int32_t ask5_volume;
    char update_time[8]; // HH:MM:SS, no terminator
    int32_t update_msec;
    char instrument_id[30];
    int32_t inst_id;
    double banding_upper_price;
    double banding_lower_price;
};

#pragma pack(pop)

static_assert(sizeof(field_header) == 4, "field_header");
static_assert(sizeof(multi_address_field) == 66, "multi_address_field");
static_assert(offsetof(multi_address_field, md_topicid) == 62, "md_topicid");
static_assert(sizeof(ins_price_encode_info_field) == 64, "ins_price_encode_info_field");
static_assert(offsetof(ins_price_encode_info_field, ins_int_id) == 30, "ins_int_id");
static_assert(offsetof(ins_price_encode_info_field, product_id) == 34, "product_id");
static_assert(offsetof(ins_price_encode_info_field, base_price) == 44, "base_price");
static_assert(offsetof(ins_price_encode_info_field, price_tick) == 52, "price_tick");
static_assert(offsetof(ins_price_encode_info_field, volume_multiple) == 60, "volume_multiple");
static_assert(sizeof(encrypt_code_segment_field) == 608, "encrypt_code_segment_field");
static_assert(offsetof(encrypt_code_segment_field, code_len) == 400, "code_len");
static_assert(offsetof(encrypt_code_segment_field, check_code) == 404, "check_code");
static_assert(offsetof(encrypt_code_segment_field, arg1) == 408, "arg1");
static_assert(offsetof(encrypt_code_segment_field, demo_data) == 508, "demo_data");
static_assert(sizeof(end_snap_md_field) == 4, "end_snap_md_field");
static_assert(sizeof(depth_market_data_field) == 326, "depth_market_data_field");
static_assert(offsetof(depth_market_data_field, settlement_id) == 16, "settlement_id");
static_assert(offsetof(depth_market_data_field, pre_settlement_price) == 20, "pre_settlement_price");
static_assert(offsetof(depth_market_data_field, pre_delta) == 44, "pre_delta");
static_assert(offsetof(depth_market_data_field, curr_delta) == 108, "curr_delta");
static_assert(offsetof(depth_market_data_field, last_price) == 116, "last_price");
static_assert(offsetof(depth_market_data_field, volume) == 124, "volume");
static_assert(offsetof(depth_market_data_field, turn_over) == 128, "turn_over");
static_assert(offsetof(depth_market_data_field, bid1_price) == 144, "bid1_price");
static_assert(offsetof(depth_market_data_field, ask1_volume) == 164, "ask1_volume");
static_assert(offsetof(depth_market_data_field, bid2_price) == 168, "bid2_price");
static_assert(offsetof(depth_market_data_field, bid3_price) == 180, "bid3_price");
static_assert(offsetof(depth_market_data_field, ask2_price) == 192, "ask2_price");
static_assert(offsetof(depth_market_data_field, bid4_price) == 216, "bid4_price");
static_assert(offsetof(depth_market_data_field, ask4_price) == 240, "ask4_price");
static_assert(offsetof(depth_market_data_field, ask5_volume) == 260, "ask5_volume");
static_assert(offsetof(depth_market_data_field, update_time) == 264, "update_time");
static_assert(offsetof(depth_market_data_field, update_msec) == 272, "update_msec");
static_assert(offsetof(depth_market_data_field, instrument_id) == 276, "instrument_id");
static_assert(offsetof(depth_market_data_field, inst_id) == 306, "inst_id");
static_assert(offsetof(depth_market_data_field, banding_upper_price) == 310, "banding_upper_price");
static_assert(offsetof(depth_market_data_field, banding_lower_price) == 318, "banding_lower_price");

// Snapshot file layout of the depth record's levels 2 to 5 (plain level order): file offset of
// each level's price; its volume follows 8 bytes later.
namespace snapshot_file {
constexpr size_t kDepthRecordSize = 326;
constexpr size_t kBid2Price = 168, kAsk2Price = 180, kBid3Price = 192, kAsk3Price = 204;
constexpr size_t kBid4Price = 216, kAsk4Price = 228, kBid5Price = 240, kAsk5Price = 252;
} // namespace snapshot_file
