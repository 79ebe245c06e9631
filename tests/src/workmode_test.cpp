// Work-mode selection against the embedded known segments, and the byte dump's layout.
#include <gtest/gtest.h>
#include <memory>

#include "VornCffexMdApiImpl.h"
#include "sample_code.h"
#include "test_files.h"

using namespace vorn_test;

namespace {

// Each known segment that does not match prints the mode line, the code dump, code_len,
// check_code, and the arg1 and demo_data dumps. Hardware mode (2) names the matching
// segment; no match selects software mode (1) with key type 3. All 400 bytes count, whatever
// code_len says.
TEST(WorkMode, SegmentSelectsModeAndKeyType) {
    const encrypt_code_segment_field cipher = vorn_sim::SampleCipherSegment(0x5A);
    struct Case {
        encrypt_code_segment_field code;
        int32_t workMode;
        uint32_t keyType;
        size_t mismatches; // known segments compared before the verdict
    };
    std::vector<Case> cases = {{cipher, 1, 3, 3}};
    for (int k = 0; k < 3; ++k) {
        cases.push_back({vorn_sim::KnownSegmentRecord(k), 2, static_cast<uint32_t>(k), static_cast<size_t>(k)});
        Case lastByte{vorn_sim::KnownSegmentRecord(k), 1, 3, 3};
        lastByte.code.compiled_code[399] ^= 0x01;
        lastByte.code.code_len = 16;
        cases.push_back(lastByte);
    }
    LogToPrivateDir();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keyType * 10 + c.mismatches);
        auto connector = std::make_unique<CVornCffexMdApiImpl>();
        connector->m_RspEncryptCodeSegmentField = c.code;
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, connector->LoadKey());
        const std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.workMode, connector->m_iWorkMode);
        EXPECT_EQ(c.keyType, connector->m_key_type);

        EXPECT_EQ(c.mismatches, LinesWith(output, ",m_key_type is 3, workmode is [1].").size());
        EXPECT_EQ(c.mismatches, LinesWith(output, "Dumping 0x190 bytes from ").size());
        EXPECT_EQ(2 * c.mismatches, LinesWith(output, "Dumping 0x64 bytes from ").size());
        EXPECT_EQ(c.mismatches, LinesWith(output, " code_len is " + std::to_string(c.code.code_len) + ".").size());
        EXPECT_EQ(c.workMode == 2 ? 1u : 0u, LinesWith(output, "workmode is [2]").size());
        if (c.workMode == 2) {
            EXPECT_EQ(",m_key_type is " + std::to_string(c.keyType) + ", workmode is [2].", Messages(output, "LoadKey").back());
        }
    }
}

std::string Dump(const unsigned char* p, size_t size) {
    testing::internal::CaptureStdout();
    CVornCffexMdApiImpl::_hexdump(p, size);
    char header[64];
    snprintf(header, sizeof header, "Dumping 0x%x bytes from %p:\n", static_cast<unsigned>(size), static_cast<const void*>(p));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0u, out.find(header)) << out;
    return out.substr(std::min(out.size(), strlen(header)));
}

TEST(HexDump, RowsPaddingAndPrintableColumn) {
    unsigned char bytes[100];
    for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>('A' + i % 26);
    const unsigned char edges[16] = {0x00, 0x1f, 0x20, 0x7e, 0x7f, 0x80, 0xff, 'a', 'Z', '0', '.', ' ', 0x09, 0x0a, '~', '!'};
    memcpy(bytes, edges, sizeof edges);

    const std::string row0 = "00 1f 20 7e 7f 80 ff 61 5a 30 2e 20 09 0a 7e 21 .. ~...aZ0. ..~!\n";
    EXPECT_EQ(row0, Dump(bytes, 16));
    EXPECT_EQ(row0 + "51 " + std::string(15 * 3, ' ') + "Q" + std::string(15, ' ') + "\n", Dump(bytes, 17));
    EXPECT_EQ("", Dump(bytes, 0));
    const std::vector<std::string> rows = LinesWith(Dump(bytes, 100));
    ASSERT_EQ(7u, rows.size());
    for (size_t row = 0; row < 6; ++row) EXPECT_EQ(16u * 3 + 16, rows[row].size());
    EXPECT_EQ("53 54 55 56 " + std::string(12 * 3, ' ') + "STUV" + std::string(12, ' '), rows[6]);
}

} // namespace
