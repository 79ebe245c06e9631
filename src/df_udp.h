// The exchange's feed framing (packet header) and the table-driven decoder of the nine
// varint market-data fields, with the runner of the day's decryption code segment.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#pragma pack(push, 1)
// Packet header: big-endian on the wire, host order once taken over by the parser.
struct df_udp_header {
    uint8_t ver;
    uint8_t type;
    uint16_t topicid;
    uint32_t trans_id;
    uint32_t seqno;
    uint16_t numFields;
    uint16_t bodylen;
    uint32_t encrypt; // bit 16 (bit 0 of wire byte 17): encryptable fields are encrypted
};
#pragma pack(pop)
static_assert(sizeof(df_udp_header) == 20, "df_udp_header is 20 bytes");

constexpr uint32_t DF_ENCRYPT_FLAG = 1u << 16;

enum MemberType : int32_t {
    FT_CHAR = 0,
    FT_INT8 = 1,
    FT_INT16 = 2,
    FT_UINT16 = 3,
    FT_INT32 = 4,
    FT_UINT32 = 5,
    FT_INT64 = 6,
    FT_UINT64 = 7,
    FT_DOUBLE = 8,
    FT_STRING = 9,
    FT_CFFEX_PTRADE_STRING = 10,
    FT_VZINT = 11,
    FT_VSTRING = 12,
    FT_UINT64_PH = 13,
};

struct MemberDescribe {
    std::string name;
    uint32_t offset_struct;
    uint32_t size;
    MemberType type;
};

// The form in which the delivered code segment is called: transforms `len` bytes in place.
using CodeFunc = void (*)(uint8_t* data, int32_t len, char* arg);

struct FieldDescribe {
    int32_t struct_size_ = 0;
    int32_t total_member_ = 0;
    std::vector<MemberDescribe> members_;

    void init(int32_t struct_size, const char* name);
    void add_member(const std::string& name, MemberType type, uint32_t offset_struct, uint32_t size);
    // Zeroes `out`, decrypts `buf` in place when asked, then decodes the members in order;
    // `out` stays zero when the field cannot be decrypted.
    void init_from_stream(u_char* buf, size_t buf_len, void* out, bool convert_endian, bool needs_decryption,
                          const char* compiled_code, int32_t code_len, char* arg1) const;
    // Runs the code segment over `buf`, as on a fresh mapping of exactly `compiled_code`.
    // False (bytes untouched) when the segment cannot be run: `code_len` outside 1..400, or the
    // process has no executable page (prepare_code_page failed, or was never called and the
    // one attempt made here failed: later calls do not ask again).
    static bool decrypt_data(u_char* buf, size_t buf_len, const char* compiled_code, int32_t code_len, char* arg1);
    // Maps the process's executable page for the code segment, once (later calls return 0 at
    // no cost). 0, or the errno of the refused mapping (a write-xor-execute policy gives EACCES
    // or EPERM), after the line "mmap failed" on standard output.
    static int prepare_code_page();
    // True for a `code_len` the runner can run: 1 to 400, the capacity of `compiled_code`.
    static bool code_len_runnable(int32_t code_len);
};

// One ZigZag base-128 varint of at most 10 bytes; 0 and bytes_consumed 0 when cut short.
int64_t vint_decode(const uint8_t* buf, size_t buf_len, size_t& bytes_consumed);

// Group records the nine fields decode into: one 8-byte slot per member.
struct vint_market_data_static_field {
    double open_price, high_price, low_price, close_price;
    double upper_limit_price, lower_limit_price, settlement_price, curr_delta;
};
struct vint_market_data_last_match_field {
    double last_price;
    int64_t volume;
    double turn_over;
    double open_interest;
};
struct vint_market_data_best_field {
    double bid1_price;
    int64_t bid1_volume;
    double ask1_price;
    int64_t ask1_volume;
};
struct vint_market_data_bid23_field {
    double bid2_price;
    int64_t bid2_volume;
    double bid3_price;
    int64_t bid3_volume;
};
struct vint_market_data_ask23_field {
    double ask2_price;
    int64_t ask2_volume;
    double ask3_price;
    int64_t ask3_volume;
};
struct vint_market_data_bid45_field {
    double bid4_price;
    int64_t bid4_volume;
    double bid5_price;
    int64_t bid5_volume;
};
struct vint_market_data_ask45_field {
    double ask4_price;
    int64_t ask4_volume;
    double ask5_price;
    int64_t ask5_volume;
};
struct vint_market_data_update_time_field {
    int64_t ins_int_id;
    int64_t update_time;
    int64_t update_msec;
};
struct vint_market_data_real_price_banding_field {
    double banding_upper_price;
    double banding_lower_price;
};
static_assert(sizeof(vint_market_data_static_field) == 64, "static field");
static_assert(sizeof(vint_market_data_last_match_field) == 32, "last match field");
static_assert(sizeof(vint_market_data_update_time_field) == 24, "update time field");
static_assert(sizeof(vint_market_data_real_price_banding_field) == 16, "banding field");

extern FieldDescribe g_vint_market_data_static_field_desc;
extern FieldDescribe g_vint_market_data_last_match_field_desc;
extern FieldDescribe g_vint_market_data_best_field_desc;
extern FieldDescribe g_vint_market_data_bid23_field_desc;
extern FieldDescribe g_vint_market_data_ask23_field_desc;
extern FieldDescribe g_vint_market_data_bid45_field_desc;
extern FieldDescribe g_vint_market_data_ask45_field_desc;
extern FieldDescribe g_vint_market_data_update_time_field_desc;
extern FieldDescribe g_vint_market_data_real_price_banding_field_desc;

// Builds the nine descriptors; calling it again rebuilds the same descriptors.
void init_market_data();
