// Varints, every field kind cut at every length, and runs of the day's code segment.

#include <climits>

#include "connector_fixture.h"
#include "df_udp.h"
#include "field_wire.h"
#include "sample_code.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Varint, KnownVectorsAndRoundTrips) {
    const struct {
        Bytes bytes;
        int64_t value;
        size_t consumed;
    } cases[] = {
        {{0x00}, 0, 1}, {{0x01}, -1, 1}, {{0x02}, 1, 1}, {{0x7F}, -64, 1}, {{0x80, 0x01}, 64, 2},
        {{0xFF, 0x01}, -128, 2}, {{0xE8, 0x07}, 500, 2},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, INT64_MIN, 10},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}, INT64_MIN, 10},
        {{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, INT64_MAX, 10},
        {{0x80}, 0, 0}, {{0xE8}, 0, 0}, {{}, 0, 0},
    };
    for (const auto& c : cases) {
        size_t consumed = 99;
        EXPECT_EQ(c.value, vint_decode(c.bytes.data(), c.bytes.size(), consumed)) << testing::PrintToString(c.bytes);
        EXPECT_EQ(c.consumed, consumed) << testing::PrintToString(c.bytes);
    }
    // Lengths 1 to 10 round trip; one byte short decodes as nothing.
    for (int64_t value : {int64_t{-65}, int64_t{1} << 40, -(int64_t{1} << 55), INT64_MAX, int64_t{4294967295}}) {
        const Bytes bytes = vorn_sim::EncodeVarint(value);
        size_t consumed = 0;
        EXPECT_EQ(value, vint_decode(bytes.data(), bytes.size(), consumed));
        EXPECT_EQ(bytes.size(), consumed);
        EXPECT_EQ(0, vint_decode(bytes.data(), bytes.size() - 1, consumed));
        EXPECT_EQ(0u, consumed);
    }
}

struct Member {
    int64_t bits; // the varint value, or the double's bit pattern
    Bytes wire;
};

// Doubles (big-endian) and 1-, 2-, 3- and 10-byte varints of both signs.
std::vector<Member> SampleMembers(const FieldDescribe& desc) {
    std::vector<Member> members;
    int n = 0;
    for (const MemberDescribe& m : desc.members_) {
        ++n;
        Member member{0, {}};
        if (m.type == FT_DOUBLE) {
            const double value = 1234.5 * n;
            memcpy(&member.bits, &value, 8);
            vorn_sim::AppendBeDouble(member.wire, value);
        } else {
            const int64_t values[4] = {3, -500, 70000, INT64_MIN};
            member.bits = values[n % 4];
            member.wire = vorn_sim::EncodeVarint(member.bits);
        }
        members.push_back(member);
    }
    return members;
}

// Each field kind cut at every length, in a buffer exactly the cut long: members wholly
// inside the cut decode, every slot of the structure is written and no slot beyond it, and
// the data path's compile-time decoder gives the same bytes.
TEST(Descriptors, EveryTruncationOfEveryFieldStaysInBounds) {
    init_market_data();
    init_market_data(); // rebuilding keeps one set of members
    const FieldDescribe* kinds[] = {&g_vint_market_data_static_field_desc,     &g_vint_market_data_last_match_field_desc,
                                    &g_vint_market_data_best_field_desc,       &g_vint_market_data_bid23_field_desc,
                                    &g_vint_market_data_ask23_field_desc,      &g_vint_market_data_bid45_field_desc,
                                    &g_vint_market_data_ask45_field_desc,      &g_vint_market_data_update_time_field_desc,
                                    &g_vint_market_data_real_price_banding_field_desc};
    const size_t memberCounts[] = {8, 4, 4, 4, 4, 4, 4, 3, 2};
    const int64_t untouched = static_cast<int64_t>(0xABABABABABABABABull);
    for (size_t k = 0; k < 9; ++k) {
        const FieldDescribe& desc = *kinds[k];
        ASSERT_EQ(memberCounts[k], desc.members_.size()) << k;
        const std::vector<Member> members = SampleMembers(desc);
        Bytes full;
        for (const Member& m : members) full.insert(full.end(), m.wire.begin(), m.wire.end());
        full.push_back(0x55); // bytes after the last member change nothing
        for (size_t cut = 0; cut <= full.size(); ++cut) {
            std::unique_ptr<u_char[]> buf(new u_char[cut == 0 ? 1 : cut]);
            memcpy(buf.get(), full.data(), cut);
            int64_t out[8];
            memset(out, 0xAB, sizeof out);
            desc.init_from_stream(cut == 0 ? nullptr : buf.get(), cut, out, true, false, nullptr, 0, nullptr);
            uint8_t fast[64];
            ASSERT_TRUE(vorn_wire::DecodeWireByIndex(static_cast<uint16_t>(k), buf.get(), cut, fast));
            EXPECT_EQ(0, memcmp(out, fast, static_cast<size_t>(desc.struct_size_))) << k << " cut " << cut;
            size_t end = 0;
            for (size_t i = 0; i < 8; ++i) {
                end += i < members.size() ? members[i].wire.size() : 0;
                if (i >= members.size()) EXPECT_EQ(untouched, out[i]) << k;
                else if (end <= cut) EXPECT_EQ(members[i].bits, out[i]) << k << " member " << i << " cut " << cut;
                else EXPECT_NE(untouched, out[i]) << k << " member " << i;
            }
        }
    }
}

const encrypt_code_segment_field& Cipher() {
    static const encrypt_code_segment_field segment = vorn_sim::SampleCipherSegment(0x5A);
    return segment;
}

// Runs `routine` (with `seed` as its last byte when given) on 2 data bytes; arg1[0] is `day`.
Bytes RunSegment(const std::vector<uint8_t>& routine, int32_t code_len, int seed = -1, char day = 0) {
    encrypt_code_segment_field segment{};
    memcpy(segment.compiled_code, routine.data(), routine.size());
    if (seed >= 0) segment.compiled_code[routine.size() - 1] = static_cast<char>(seed);
    segment.code_len = code_len;
    segment.arg1[0] = day;
    Bytes data = {0x30, 0x0F};
    EXPECT_TRUE(FieldDescribe::decrypt_data(data.data(), 2, segment.compiled_code, segment.code_len, segment.arg1));
    EXPECT_EQ(day, segment.arg1[0]); // the day's argument block is never changed by a run
    return data;
}

// lea rax,[rip+7]; inc byte [rax]; mov cl,[rax]; mov [rdi],cl; ret; counter byte.
const std::vector<uint8_t> kCounting = {0x48, 0x8D, 0x05, 0x07, 0x00, 0x00, 0x00, 0xFE, 0x00, 0x8A, 0x08, 0x88, 0x0F, 0xC3, 0x00};
// mov al,[rdx]; test esi,esi; jle end; loop: xor [rdi],al; inc rdi; dec esi; jnz loop;
// end: inc byte [rdx]; ret. XORs the data with arg1[0], then increments arg1[0].
const std::vector<uint8_t> kArgumentWriting = {0x8A, 0x02, 0x85, 0xF6, 0x7E, 0x09, 0x30, 0x07, 0x48,
                                               0xFF, 0xC7, 0xFF, 0xCE, 0x75, 0xF7, 0xFE, 0x02, 0xC3};

// Every run starts from the segment and argument block as delivered, with zeros after the
// segment, however the previous run changed its own code area or arguments; switching
// segments takes effect at once.
TEST(Decryption, SelfModifyingSegmentsSeeTheDaysBytesOnEveryRun) {
    vorn_test::LogToPrivateDir();
    const int32_t full = static_cast<int32_t>(kCounting.size());
    for (int run = 0; run < 3; ++run) {
        EXPECT_EQ(1, RunSegment(kCounting, full)[0]);
        EXPECT_EQ(1, RunSegment(kCounting, full - 1)[0]); // the counter byte is then the zero after it
        EXPECT_EQ(42, RunSegment(kCounting, full, 41)[0]);
        for (char day : {5, 9}) EXPECT_EQ((Bytes{uint8_t(0x30 ^ day), uint8_t(0x0F ^ day)}), RunSegment(kArgumentWriting, 18, -1, day));
    }
    Bytes data = {0x02, 0x04}, encrypted = data;
    vorn_sim::EncryptFieldData(encrypted.data(), encrypted.size(), Cipher().arg1);
    ASSERT_NE(data, encrypted);
    EXPECT_TRUE(FieldDescribe::decrypt_data(encrypted.data(), encrypted.size(), Cipher().compiled_code,
                                            Cipher().code_len, const_cast<char*>(Cipher().arg1)));
    EXPECT_EQ(data, encrypted);
    EXPECT_EQ(1, RunSegment(kCounting, full)[0]);
}

// A segment that cannot run leaves the bytes untouched, and the field decodes to zeros rather
// than from ciphertext.
TEST(Decryption, UnrunnableLengthsRunNothingAndDecodeNothing) {
    init_market_data();
    for (int32_t code_len : {0, -1, 401, INT32_MIN}) {
        encrypt_code_segment_field segment = Cipher();
        u_char data[] = {0x02, 0x04, 0x06, 0x08};
        EXPECT_FALSE(FieldDescribe::decrypt_data(data, sizeof data, segment.compiled_code, code_len, segment.arg1));
        EXPECT_EQ(0x02, data[0]);
        vint_market_data_best_field f;
        g_vint_market_data_best_field_desc.init_from_stream(data, sizeof data, &f, true, true, segment.compiled_code,
                                                            code_len, segment.arg1);
        EXPECT_EQ("0 0", std::to_string(f.bid1_volume) + " " + std::to_string(f.ask1_volume)) << code_len;
    }
}

} // namespace
