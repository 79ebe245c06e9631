#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "sample_code.h"
#include "wire_reader.h"

using namespace vorn_sim;

namespace {

std::vector<uint8_t> Pattern(size_t len, uint8_t seed) {
    std::vector<uint8_t> data(len);
    for (size_t i = 0; i < len; ++i) data[i] = static_cast<uint8_t>(seed + i * 37 + (i >> 3));
    return data;
}

const size_t kLengths[] = {0, 1, 2, 15, 16, 17, 64, 100, 333};

} // namespace

// The sample cipher's routine, run as machine code, inverts EncryptFieldData (and matches its
// model) at every length; the record is consistent and its demo_data decrypts to the demo text.
TEST(SampleCipher, RoutineDecryptsWhatEncryptFieldDataEncrypts) {
    const encrypt_code_segment_field seg = SampleCipherSegment(0x5A);
    ASSERT_EQ(static_cast<size_t>(seg.code_len), SampleCipherCodeLength());
    ASSERT_LT(SampleCipherCodeLength(), 400u);
    EXPECT_EQ(0, memcmp(seg.compiled_code, SampleCipherCode(), SampleCipherCodeLength()));
    EXPECT_EQ(std::string(400 - SampleCipherCodeLength(), '\0'),
              std::string(seg.compiled_code + SampleCipherCodeLength(), seg.compiled_code + 400));
    EXPECT_EQ(int32_t(seg.check_code), CodeChecksum(reinterpret_cast<const uint8_t*>(seg.compiled_code),
                                                    SampleCipherCodeLength()));
    EXPECT_EQ(0x5A, static_cast<uint8_t>(seg.arg1[0]));
    for (int k = 0; k < kKnownSegmentCount; ++k)
        EXPECT_NE(0, memcmp(seg.compiled_code, SampleKnownSegment(k), sizeof seg.compiled_code)) << k;

    vorn_test::ExecutableCode code(reinterpret_cast<const uint8_t*>(seg.compiled_code), SampleCipherCodeLength());
    ASSERT_TRUE(code.ok());
    char arg1[100];
    memcpy(arg1, seg.arg1, sizeof arg1);
    for (size_t len : kLengths) {
        const std::vector<uint8_t> plain = Pattern(len, static_cast<uint8_t>(len));
        std::vector<uint8_t> data = plain;
        EncryptFieldData(data.data(), data.size(), arg1);
        EXPECT_TRUE(len < 2 || data != plain) << len;
        std::vector<uint8_t> modelled = data;
        DecryptFieldData(modelled.data(), modelled.size(), arg1);
        code.Run(data.data(), static_cast<int32_t>(data.size()), arg1);
        EXPECT_EQ(plain, data) << "length " << len;
        EXPECT_EQ(plain, modelled) << "length " << len;
    }
    EXPECT_EQ(0, memcmp(arg1, seg.arg1, sizeof arg1)) << "the key block is read only";
    std::vector<uint8_t> once = Pattern(48, 3), other = once; // keyed
    EncryptFieldData(once.data(), once.size(), arg1);
    EncryptFieldData(other.data(), other.size(), SampleCipherSegment(0x11).arg1);
    EXPECT_NE(once, other);
    encrypt_code_segment_field demo = seg;
    code.Run(reinterpret_cast<uint8_t*>(demo.demo_data), sizeof demo.demo_data, demo.arg1);
    EXPECT_EQ(0, memcmp(demo.demo_data, DemoPlainText(), sizeof demo.demo_data));
}

// Three different segments, as in the segments file; each routine inverts its encryptor and
// model, reads only arg1[0], leaves data alone for a negative length, decrypts its demo_data.
TEST(KnownSegments, MatchTheFileAndTheirModelsAndInverses) {
    std::ifstream in(VORN_SAMPLE_SEGMENTS_FILE, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(1200u, file.size()) << VORN_SAMPLE_SEGMENTS_FILE;
    EXPECT_EQ(0, memcmp(file.data(), SampleKnownSegments(), 1200));
    EXPECT_EQ(nullptr, SampleKnownSegment(-1));
    EXPECT_EQ(nullptr, SampleKnownSegment(3));
    for (int k = 0; k < kKnownSegmentCount; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(SampleKnownSegments() + 400 * k, SampleKnownSegment(k));
        for (int j = 0; j < k; ++j) EXPECT_NE(0, memcmp(SampleKnownSegment(j), SampleKnownSegment(k), 400));
        const encrypt_code_segment_field rec = KnownSegmentRecord(k, 0xC7);
        ASSERT_GT(int32_t(rec.code_len), 0);
        EXPECT_EQ(0, memcmp(rec.compiled_code, SampleKnownSegment(k), 400)) << "the record holds the image";
        vorn_test::ExecutableCode code(SampleKnownSegment(k), static_cast<size_t>(rec.code_len));
        ASSERT_TRUE(code.ok());
        char arg1[100];
        memcpy(arg1, rec.arg1, sizeof arg1);
        for (size_t len : kLengths) {
            const std::vector<uint8_t> plain = Pattern(len, static_cast<uint8_t>(k + len));
            std::vector<uint8_t> data = plain;
            KnownSegmentEncrypt(k, data.data(), data.size(), 0xC7);
            std::vector<uint8_t> modelled = data;
            KnownSegmentDecrypt(k, modelled.data(), modelled.size(), 0xC7);
            code.Run(data.data(), static_cast<int32_t>(data.size()), arg1);
            EXPECT_EQ(plain, data) << "length " << len;
            EXPECT_EQ(plain, modelled) << "length " << len;
        }
        std::vector<uint8_t> a = Pattern(40, 9), b = a;
        code.Run(a.data(), 40, arg1);
        memset(arg1 + 1, 0xEE, sizeof arg1 - 1);
        code.Run(b.data(), 40, arg1);
        EXPECT_EQ(a, b);
        code.Run(b.data(), -1, arg1);
        EXPECT_EQ(a, b);
        encrypt_code_segment_field demo = rec;
        code.Run(reinterpret_cast<uint8_t*>(demo.demo_data), sizeof demo.demo_data, demo.arg1);
        EXPECT_EQ(0, memcmp(demo.demo_data, DemoPlainText(), sizeof demo.demo_data));
    }
}
