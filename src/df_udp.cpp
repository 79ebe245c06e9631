// Table-driven decoding of the nine varint market-data fields, and the runner of the day's
// decryption code segment.
#include "df_udp.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "CommonLog.h"
#include "varint.h"

using namespace Vorn_R10;

FieldDescribe g_vint_market_data_static_field_desc;
FieldDescribe g_vint_market_data_last_match_field_desc;
FieldDescribe g_vint_market_data_best_field_desc;
FieldDescribe g_vint_market_data_bid23_field_desc;
FieldDescribe g_vint_market_data_ask23_field_desc;
FieldDescribe g_vint_market_data_bid45_field_desc;
FieldDescribe g_vint_market_data_ask45_field_desc;
FieldDescribe g_vint_market_data_update_time_field_desc;
FieldDescribe g_vint_market_data_real_price_banding_field_desc;

namespace {

constexpr int32_t kMaxCodeLen = 400;
constexpr size_t kArgumentBlockBytes = 100; // arg1 of the code segment record

// Runs the code segment from one executable page prepared once. The runner is process-wide
// (one page for every connector in the process) and used from one thread at a time. Every run
// starts from the bytes a fresh mapping would hold (the segment, zeros after it) and from the
// day's argument block; each is restored only when it changed.
class CodeSegmentRunner {
public:
    ~CodeSegmentRunner() {
        if (m_exec) munmap(m_exec, m_pageBytes);
    }

    bool Run(u_char* buf, size_t buf_len, const char* code, int32_t code_len, char* arg1) {
        if (!FieldDescribe::code_len_runnable(code_len)) return false;
        // A refused page is asked for again only by Prepare: no system call per field.
        if (!m_exec && (m_mapError != 0 || Prepare() != 0)) return false;
        if (!HoldsFresh(code, static_cast<size_t>(code_len))) Restore(code, static_cast<size_t>(code_len));
        reinterpret_cast<CodeFunc>(m_exec)(buf, static_cast<int32_t>(buf_len), arg1 ? ArgumentBlock(arg1) : nullptr);
        return true;
    }

    int Prepare() {
        if (m_exec) return 0;
        m_pageBytes = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* page = mmap(nullptr, m_pageBytes, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED) {
            m_mapError = errno;
            puts("mmap failed");
            fflush(stdout);
            return m_mapError;
        }
        m_mapError = 0;
        m_exec = static_cast<uint8_t*>(page);
        return 0;
    }

private:
    // The block the code runs with: a copy of the day's block, which is never written. The
    // copy is refreshed only when it differs (the day's block changed or a run wrote into it).
    char* ArgumentBlock(const char* day) {
        if (memcmp(m_args, day, sizeof m_args) != 0) memcpy(m_args, day, sizeof m_args);
        return m_args;
    }

    // One read-only pass over the segment area (400 bytes): this segment, then zeros. Changes
    // are looked for in that area only: a segment that writes beyond it would cost a page
    // compare per run.
    bool HoldsFresh(const char* code, size_t code_len) const {
        static const uint8_t kZeros[kMaxCodeLen] = {};
        return memcmp(m_exec, code, code_len) == 0 && memcmp(m_exec + code_len, kZeros, kMaxCodeLen - code_len) == 0;
    }

    void Restore(const char* code, size_t code_len) {
        memcpy(m_exec, code, code_len);
        memset(m_exec + code_len, 0, m_pageBytes - code_len);
    }

    uint8_t* m_exec = nullptr;
    size_t m_pageBytes = 0;
    int m_mapError = 0; // errno of the last refused mapping, 0 when none was refused
    char m_args[kArgumentBlockBytes] = {};
};

CodeSegmentRunner g_codeRunner;

template <typename T>
void define_field(FieldDescribe& desc, const char* name,
                  std::initializer_list<std::pair<const char*, MemberType>> members) {
    desc.init(static_cast<int32_t>(sizeof(T)), name);
    uint32_t offset = 0;
    for (const auto& member : members) {
        desc.add_member(member.first, member.second, offset, 8);
        offset += 8;
    }
}

} // namespace

void FieldDescribe::init(int32_t struct_size, const char* /*name*/) {
    struct_size_ = struct_size;
    total_member_ = 0;
    members_.clear();
    members_.reserve(16);
}

void FieldDescribe::add_member(const std::string& name, MemberType type, uint32_t offset_struct, uint32_t size) {
    members_.push_back(MemberDescribe{name, offset_struct, size, type});
    ++total_member_;
}

int64_t vint_decode(const uint8_t* buf, size_t buf_len, size_t& bytes_consumed) {
    return vorn_wire::DecodeVarint(buf, buf_len, bytes_consumed);
}

int FieldDescribe::prepare_code_page() { return g_codeRunner.Prepare(); }

bool FieldDescribe::code_len_runnable(int32_t code_len) { return code_len >= 1 && code_len <= kMaxCodeLen; }

bool FieldDescribe::decrypt_data(u_char* buf, size_t buf_len, const char* compiled_code, int32_t code_len, char* arg1) {
    return g_codeRunner.Run(buf, buf_len, compiled_code, code_len, arg1);
}

void FieldDescribe::init_from_stream(u_char* buf, size_t buf_len, void* out, bool convert_endian, bool needs_decryption,
                                     const char* compiled_code, int32_t code_len, char* arg1) const {
    uint8_t* target = static_cast<uint8_t*>(out);
    // Structures are whole 8-byte slots: cleared slot by slot, without a call to memset.
    const uint64_t zero = 0;
    for (int32_t at = 0; at + 8 <= struct_size_; at += 8) memcpy(target + at, &zero, 8);
    if (struct_size_ % 8) memset(target + struct_size_ / 8 * 8, 0, static_cast<size_t>(struct_size_ % 8));
    // Ciphertext is never decoded as if it were clear: a field that cannot be decrypted stays zero.
    if (needs_decryption && !decrypt_data(buf, buf_len, compiled_code, code_len, arg1)) return;

    size_t cursor = 0;
    for (const MemberDescribe& member : members_) {
        switch (member.type) {
        case FT_DOUBLE: {
            if (buf_len - cursor < 8) break;
            uint8_t bytes[8];
            memcpy(bytes, buf + cursor, 8);
            if (convert_endian)
                for (int i = 0; i < 4; ++i) std::swap(bytes[i], bytes[7 - i]);
            memcpy(target + member.offset_struct, bytes, 8);
            cursor += 8;
            break;
        }
        case FT_VZINT: {
            size_t consumed = 0;
            const int64_t value = vorn_wire::DecodeVarint(buf + cursor, buf_len - cursor, consumed);
            memcpy(target + member.offset_struct, &value, 8);
            cursor += consumed;
            break;
        }
        default: break;
        }
    }
}

void init_market_data() {
    define_field<vint_market_data_static_field>(g_vint_market_data_static_field_desc, "vint_market_data_static_field",
                                                {{"open_price", FT_VZINT},
                                                 {"high_price", FT_VZINT},
                                                 {"low_price", FT_VZINT},
                                                 {"close_price", FT_VZINT},
                                                 {"upper_limit_price", FT_VZINT},
                                                 {"lower_limit_price", FT_VZINT},
                                                 {"settlement_price", FT_DOUBLE},
                                                 {"curr_delta", FT_DOUBLE}});
    define_field<vint_market_data_last_match_field>(
        g_vint_market_data_last_match_field_desc, "vint_market_data_last_match_field",
        {{"last_price", FT_VZINT}, {"volume", FT_VZINT}, {"turn_over", FT_DOUBLE}, {"open_interest", FT_VZINT}});
    define_field<vint_market_data_best_field>(
        g_vint_market_data_best_field_desc, "vint_market_data_best_field",
        {{"bid1_price", FT_VZINT}, {"bid1_volume", FT_VZINT}, {"ask1_price", FT_VZINT}, {"ask1_volume", FT_VZINT}});
    define_field<vint_market_data_bid23_field>(
        g_vint_market_data_bid23_field_desc, "vint_market_data_bid23_field",
        {{"bid2_price", FT_VZINT}, {"bid2_volume", FT_VZINT}, {"bid3_price", FT_VZINT}, {"bid3_volume", FT_VZINT}});
    define_field<vint_market_data_ask23_field>(
        g_vint_market_data_ask23_field_desc, "vint_market_data_ask23_field",
        {{"ask2_price", FT_VZINT}, {"ask2_volume", FT_VZINT}, {"ask3_price", FT_VZINT}, {"ask3_volume", FT_VZINT}});
    define_field<vint_market_data_bid45_field>(
        g_vint_market_data_bid45_field_desc, "vint_market_data_bid45_field",
        {{"bid4_price", FT_VZINT}, {"bid4_volume", FT_VZINT}, {"bid5_price", FT_VZINT}, {"bid5_volume", FT_VZINT}});
    define_field<vint_market_data_ask45_field>(
        g_vint_market_data_ask45_field_desc, "vint_market_data_ask45_field",
        {{"ask4_price", FT_VZINT}, {"ask4_volume", FT_VZINT}, {"ask5_price", FT_VZINT}, {"ask5_volume", FT_VZINT}});
    define_field<vint_market_data_update_time_field>(
        g_vint_market_data_update_time_field_desc, "vint_market_data_update_time_field",
        {{"ins_int_id", FT_VZINT}, {"update_time", FT_VZINT}, {"update_msec", FT_VZINT}});
    define_field<vint_market_data_real_price_banding_field>(
        g_vint_market_data_real_price_banding_field_desc, "vint_market_data_real_price_banding_field",
        {{"banding_upper_price", FT_VZINT}, {"banding_lower_price", FT_VZINT}});
}
