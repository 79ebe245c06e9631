// Work-mode selection against the embedded known segments, and the byte dump's layout.
#include <memory>

#include "VornCffexMdApiImpl.h"
#include "sample_code.h"
#include "private_log.h"

using namespace snapshot_test;

namespace {

struct Selection {
    int32_t workMode;
    uint32_t keyType;
    std::string output;
};

Selection Select(const encrypt_code_segment_field& code) {
    LogToPrivateDir();
    auto connector = std::make_unique<CVornCffexMdApiImpl>();
    connector->m_RspEncryptCodeSegmentField = code;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, connector->LoadKey());
    return {connector->m_iWorkMode, connector->m_key_type, testing::internal::GetCapturedStdout()};
}

// One mismatch leaves: the selection line, the code dump, code_len, check_code, arg1, demo_data.
void ExpectMismatchOutput(const std::string& output, size_t times, const encrypt_code_segment_field& code) {
    EXPECT_EQ(times, CountOf(output, "Dumping 0x190 bytes from "));
    EXPECT_EQ(2 * times, CountOf(output, "Dumping 0x64 bytes from "));
    EXPECT_EQ(times, LinesWith(output, ",m_key_type is 3, workmode is [1].").size());
    EXPECT_EQ(times, LinesWith(output, " code_len is " + std::to_string(code.code_len) + ".").size());
    EXPECT_EQ(times, LinesWith(output, " check_code is " + std::to_string(code.check_code) + ".").size());
}

TEST(WorkMode, KnownSegmentsSelectHardwareMode) {
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const encrypt_code_segment_field code = vorn_sim::KnownSegmentRecord(k);
        const Selection s = Select(code);
        EXPECT_EQ(2, s.workMode);
        EXPECT_EQ(static_cast<uint32_t>(k), s.keyType);
        ExpectMismatchOutput(s.output, k, code);
        const std::vector<std::string> last = Messages(s.output, "LoadKey");
        ASSERT_FALSE(last.empty());
        EXPECT_EQ(",m_key_type is " + std::to_string(k) + ", workmode is [2].", last.back());
        EXPECT_EQ(1u, LinesWith(s.output, "workmode is [2]").size());
    }
}

TEST(WorkMode, UnknownSegmentSelectsSoftwareMode) {
    const encrypt_code_segment_field code = vorn_sim::SampleCipherSegment(0x5A);
    const Selection s = Select(code);
    EXPECT_EQ(1, s.workMode);
    EXPECT_EQ(3u, s.keyType);
    ExpectMismatchOutput(s.output, 3, code);

    // Each mismatch prints its parts in order.
    const std::vector<std::string> lines = Lines(s.output);
    std::vector<std::string> order;
    for (const std::string& line : lines) {
        if (line.find("workmode is [1]") != std::string::npos) order.push_back("mode");
        else if (line.find("Dumping 0x190") == 0) order.push_back("code");
        else if (line.find(" code_len is ") != std::string::npos) order.push_back("len");
        else if (line.find(" check_code is ") != std::string::npos) order.push_back("check");
        else if (line.find("Dumping 0x64") == 0) order.push_back("100");
    }
    const std::vector<std::string> once = {"mode", "code", "len", "check", "100", "100"};
    std::vector<std::string> expected;
    for (int i = 0; i < 3; ++i) expected.insert(expected.end(), once.begin(), once.end());
    EXPECT_EQ(expected, order);
}

// All 400 bytes count, whatever code_len says.
TEST(WorkMode, LastByteMattersWhateverCodeLen) {
    for (int k = 0; k < 3; ++k) {
        encrypt_code_segment_field code = vorn_sim::KnownSegmentRecord(k);
        code.compiled_code[399] ^= 0x01;
        code.code_len = 16;
        const Selection s = Select(code);
        EXPECT_EQ(1, s.workMode) << k;
        EXPECT_EQ(3u, s.keyType) << k;
    }
}

std::string Row(const std::string& hex, const std::string& text) { return hex + text + "\n"; }

std::string Header(const unsigned char* p, size_t size) {
    char header[64];
    snprintf(header, sizeof header, "Dumping 0x%x bytes from %p:\n", static_cast<unsigned>(size),
             static_cast<const void*>(p));
    return header;
}

std::string Dump(const unsigned char* p, size_t size) {
    testing::internal::CaptureStdout();
    CVornCffexMdApiImpl::_hexdump(p, size);
    return testing::internal::GetCapturedStdout();
}

TEST(HexDump, RowsPaddingAndPrintableColumn) {
    unsigned char bytes[100];
    for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>('A' + i % 26);
    const unsigned char edges[16] = {0x00, 0x1f, 0x20, 0x7e, 0x7f, 0x80, 0xff, 'a', 'Z', '0', '.', ' ', 0x09, 0x0a, '~', '!'};
    memcpy(bytes, edges, sizeof edges);

    const std::string row0 = Row("00 1f 20 7e 7f 80 ff 61 5a 30 2e 20 09 0a 7e 21 ", ".. ~...aZ0. ..~!");
    EXPECT_EQ(Header(bytes, 16) + row0, Dump(bytes, 16));
    EXPECT_EQ(Header(bytes, 17) + row0 + Row("51 " + std::string(15 * 3, ' '), "Q" + std::string(15, ' ')),
              Dump(bytes, 17));
    EXPECT_EQ(Header(bytes, 0), Dump(bytes, 0));

    const std::vector<std::string> lines = Lines(Dump(bytes, 100));
    ASSERT_EQ(8u, lines.size());
    EXPECT_EQ(Header(bytes, 100), lines[0] + "\n");
    EXPECT_EQ("53 54 55 56 " + std::string(12 * 3, ' ') + "STUV" + std::string(12, ' '), lines[7]);
    for (size_t row = 1; row < 7; ++row) EXPECT_EQ(16u * 3 + 16, lines[row].size());
}

} // namespace
