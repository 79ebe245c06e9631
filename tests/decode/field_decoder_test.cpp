// Varints, the nine field descriptors, truncated field data and the run of the day's code
// segment (sample cipher, a self-modifying routine, lengths that cannot be run).
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "decode_fixture.h"
#include "df_udp.h"
#include "feed_encoder.h"
#include "sample_code.h"

namespace {

using Bytes = std::vector<uint8_t>;

int64_t Decode(const Bytes& bytes, size_t& consumed) { return vint_decode(bytes.data(), bytes.size(), consumed); }

TEST(Varint, KnownVectors) {
    const struct {
        Bytes bytes;
        int64_t value;
        size_t consumed;
    } cases[] = {
        {{0x00}, 0, 1},
        {{0x01}, -1, 1},
        {{0x02}, 1, 1},
        {{0x03}, -2, 1},
        {{0x7F}, -64, 1},
        {{0x80, 0x01}, 64, 2},
        {{0xFF, 0x01}, -128, 2},
        {{0xE8, 0x07}, 500, 2},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, INT64_MIN, 10},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}, INT64_MIN, 10},
        {{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, INT64_MAX, 10},
        {{0x80}, 0, 0},
        {{0xE8}, 0, 0},
        {{}, 0, 0},
    };
    for (const auto& c : cases) {
        size_t consumed = 99;
        EXPECT_EQ(c.value, Decode(c.bytes, consumed)) << ::testing::PrintToString(c.bytes);
        EXPECT_EQ(c.consumed, consumed) << ::testing::PrintToString(c.bytes);
    }
    // Every value survives the encoder's round trip, at every length from 1 to 10 bytes.
    for (int64_t value : {int64_t{0}, int64_t{-1}, int64_t{63}, int64_t{-65}, int64_t{1} << 40, -(int64_t{1} << 55),
                          INT64_MAX, INT64_MIN, int64_t{4294967295}}) {
        const Bytes bytes = vorn_sim::EncodeVarint(value);
        size_t consumed = 0;
        EXPECT_EQ(value, Decode(bytes, consumed));
        EXPECT_EQ(bytes.size(), consumed);
        // The limit is respected: one byte short decodes as nothing.
        EXPECT_EQ(0, vint_decode(bytes.data(), bytes.size() - 1, consumed));
        EXPECT_EQ(0u, consumed);
    }
}

struct DescriptorCase {
    const FieldDescribe* desc;
    int members;
    int structSize;
};

std::vector<DescriptorCase> Descriptors() {
    return {{&g_vint_market_data_static_field_desc, 8, 64},       {&g_vint_market_data_last_match_field_desc, 4, 32},
            {&g_vint_market_data_best_field_desc, 4, 32},         {&g_vint_market_data_bid23_field_desc, 4, 32},
            {&g_vint_market_data_ask23_field_desc, 4, 32},        {&g_vint_market_data_bid45_field_desc, 4, 32},
            {&g_vint_market_data_ask45_field_desc, 4, 32},        {&g_vint_market_data_update_time_field_desc, 3, 24},
            {&g_vint_market_data_real_price_banding_field_desc, 2, 16}};
}

TEST(Descriptors, RebuiltTwiceKeepTheirMembers) {
    init_market_data();
    init_market_data();
    for (const DescriptorCase& c : Descriptors()) {
        EXPECT_EQ(c.members, c.desc->total_member_);
        EXPECT_EQ(static_cast<size_t>(c.members), c.desc->members_.size());
        EXPECT_EQ(c.structSize, c.desc->struct_size_);
        for (size_t i = 0; i < c.desc->members_.size(); ++i) EXPECT_EQ(8 * i, c.desc->members_[i].offset_struct);
    }
    const auto& statics = g_vint_market_data_static_field_desc.members_;
    EXPECT_EQ(FT_DOUBLE, statics[6].type);
    EXPECT_EQ(FT_DOUBLE, statics[7].type);
    EXPECT_EQ(FT_DOUBLE, g_vint_market_data_last_match_field_desc.members_[2].type);
    EXPECT_EQ(FT_VZINT, g_vint_market_data_last_match_field_desc.members_[3].type);
}

// One member value and its wire bytes.
struct Member {
    int64_t bits; // the varint value, or the double's bit pattern
    Bytes wire;
};

std::vector<Member> SampleMembers(const FieldDescribe& desc) {
    std::vector<Member> members;
    int n = 0;
    for (const MemberDescribe& m : desc.members_) {
        ++n;
        if (m.type == FT_DOUBLE) {
            const double value = 1234.5 * n;
            Member member{0, {}};
            memcpy(&member.bits, &value, 8);
            vorn_sim::AppendBeDouble(member.wire, value);
            members.push_back(member);
        } else {
            // 1, 2 and 3 byte varints, both signs.
            const int64_t value = n % 3 == 0 ? 3 : (n % 3 == 1 ? -500 : 70000);
            members.push_back(Member{value, vorn_sim::EncodeVarint(value)});
        }
    }
    return members;
}

// A valid encoding cut at every length: members wholly inside the cut decode, every slot is
// written, and nothing past the cut is read (the buffer is exactly the cut long).
TEST(Descriptors, EveryTruncationOfEveryFieldStaysInBounds) {
    init_market_data();
    for (const DescriptorCase& c : Descriptors()) {
        const std::vector<Member> members = SampleMembers(*c.desc);
        Bytes full;
        for (const Member& m : members) full.insert(full.end(), m.wire.begin(), m.wire.end());
        full.push_back(0x55); // bytes after the last member change nothing
        for (size_t cut = 0; cut <= full.size(); ++cut) {
            std::unique_ptr<u_char[]> buf(new u_char[cut == 0 ? 1 : cut]);
            memcpy(buf.get(), full.data(), cut);
            int64_t out[8];
            memset(out, 0xAB, sizeof out);
            c.desc->init_from_stream(cut == 0 ? nullptr : buf.get(), cut, out, true, false, nullptr, 0, nullptr);
            size_t end = 0;
            for (size_t i = 0; i < members.size(); ++i) {
                end += members[i].wire.size();
                if (end <= cut) EXPECT_EQ(members[i].bits, out[i]) << "member " << i << " cut " << cut;
                else EXPECT_NE(static_cast<int64_t>(0xABABABABABABABABull), out[i]) << "member " << i;
            }
            for (size_t i = members.size(); i < 8; ++i) EXPECT_EQ(static_cast<int64_t>(0xABABABABABABABABull), out[i]);
        }
    }
}

TEST(Descriptors, DoublesAreBigEndianOnTheWire) {
    init_market_data();
    u_char data[] = {0x06, 0x04, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0x08};
    vint_market_data_last_match_field f;
    g_vint_market_data_last_match_field_desc.init_from_stream(data, sizeof data, &f, true, false, nullptr, 0, nullptr);
    int64_t last, interest;
    memcpy(&last, &f.last_price, 8);
    memcpy(&interest, &f.open_interest, 8);
    EXPECT_EQ(3, last);
    EXPECT_EQ(2, f.volume);
    EXPECT_EQ(1.0, f.turn_over);
    EXPECT_EQ(4, interest);
}

const encrypt_code_segment_field& Cipher() {
    static const encrypt_code_segment_field segment = vorn_sim::SampleCipherSegment(0x5A);
    return segment;
}

TEST(Decryption, SampleCipherRecoversTheFields) {
    decode_test::UseTemporaryLog();
    init_market_data();
    const encrypt_code_segment_field& segment = Cipher();
    Bytes plain;
    for (int64_t v : {int64_t{120}, int64_t{15}, int64_t{121}, int64_t{-8}}) vorn_sim::AppendVarint(plain, v);
    for (int run = 0; run < 3; ++run) { // the prepared page serves every run
        Bytes data = plain;
        vorn_sim::EncryptFieldData(data.data(), data.size(), segment.arg1);
        ASSERT_NE(plain, data);
        vint_market_data_best_field f;
        g_vint_market_data_best_field_desc.init_from_stream(data.data(), data.size(), &f, true, true,
                                                            segment.compiled_code, segment.code_len,
                                                            const_cast<char*>(segment.arg1));
        EXPECT_EQ(plain, data);
        EXPECT_EQ(15, f.bid1_volume);
        EXPECT_EQ(-8, f.ask1_volume);
    }
}

// lea rax,[rip+7]; inc byte [rax]; mov cl,[rax]; mov [rdi],cl; ret; counter byte.
const uint8_t kCountingRoutine[] = {0x48, 0x8D, 0x05, 0x07, 0x00, 0x00, 0x00, 0xFE, 0x00,
                                    0x8A, 0x08, 0x88, 0x0F, 0xC3, 0x00};

encrypt_code_segment_field CountingSegment(int32_t code_len) {
    encrypt_code_segment_field segment{};
    memcpy(segment.compiled_code, kCountingRoutine, sizeof kCountingRoutine);
    segment.code_len = code_len;
    return segment;
}

uint8_t RunOnce(const encrypt_code_segment_field& segment) {
    u_char data[4] = {};
    EXPECT_TRUE(FieldDescribe::decrypt_data(data, sizeof data, segment.compiled_code, segment.code_len,
                                            const_cast<char*>(segment.arg1)));
    return data[0];
}

// Every run starts from the segment as delivered, with zeros after it, however the previous
// run changed its own code area; switching segments takes effect at once.
TEST(Decryption, SelfModifyingSegmentSeesFreshBytesOnEveryRun) {
    decode_test::UseTemporaryLog();
    const encrypt_code_segment_field whole = CountingSegment(sizeof kCountingRoutine);
    const encrypt_code_segment_field withoutCounter = CountingSegment(sizeof kCountingRoutine - 1);
    for (int run = 0; run < 3; ++run) EXPECT_EQ(1, RunOnce(whole));
    for (int run = 0; run < 3; ++run) EXPECT_EQ(1, RunOnce(withoutCounter));
    encrypt_code_segment_field seeded = whole;
    seeded.compiled_code[sizeof kCountingRoutine - 1] = 41;
    EXPECT_EQ(42, RunOnce(seeded));
    EXPECT_EQ(42, RunOnce(seeded));

    Bytes data = {0x02, 0x04};
    Bytes encrypted = data;
    vorn_sim::EncryptFieldData(encrypted.data(), encrypted.size(), Cipher().arg1);
    EXPECT_TRUE(FieldDescribe::decrypt_data(encrypted.data(), encrypted.size(), Cipher().compiled_code,
                                            Cipher().code_len, const_cast<char*>(Cipher().arg1)));
    EXPECT_EQ(data, encrypted);
    EXPECT_EQ(1, RunOnce(whole));
}

TEST(Decryption, UnrunnableLengthsDecodeTheBytesAsTheyArrivedWithOneErrorLine) {
    decode_test::UseTemporaryLog();
    init_market_data();
    for (int32_t code_len : {0, -1, 401, INT32_MIN}) {
        encrypt_code_segment_field segment = Cipher();
        segment.code_len = code_len;
        u_char data[] = {0x02, 0x04, 0x06, 0x08};
        vint_market_data_best_field f;
        g_vint_market_data_best_field_desc.init_from_stream(data, sizeof data, &f, true, true, segment.compiled_code,
                                                            segment.code_len, segment.arg1);
        EXPECT_EQ(2, f.bid1_volume);
        EXPECT_EQ(4, f.ask1_volume);
    }
    const std::string log = decode_test::LogText();
    EXPECT_EQ(1u, decode_test::CountLines(log, "code_len is")) << log;
    EXPECT_EQ(1u, decode_test::CountLines(log, "[E]")) << log;
}

} // namespace
