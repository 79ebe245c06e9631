// Work-mode selection: hardware mode when the day's code segment is one the firmware knows.
#include <cstdio>
#include <cstring>

#include "VornCffexMdApiImpl.h"

using namespace Vorn_R10;

// The three known code segments, 400 bytes each, embedded at build time.
extern "C" const unsigned char cSecretKey[1200];

namespace {
constexpr size_t kSegmentBytes = 400;
constexpr uint32_t kNoKnownSegment = 3;
} // namespace

int32_t CVornCffexMdApiImpl::LoadKey() {
    const encrypt_code_segment_field& code = m_RspEncryptCodeSegmentField;
    for (uint32_t k = 0; k < 3; ++k) {
        if (memcmp(code.compiled_code, cSecretKey + k * kSegmentBytes, kSegmentBytes) == 0) {
            m_key_type = k;
            m_iWorkMode = 2;
            VORN_LOG(LOG_INFO, "[%s:%d] [%s],m_key_type is %d, workmode is [%d].", k, 2);
            return 0;
        }
        m_key_type = kNoKnownSegment;
        m_iWorkMode = 1;
        VORN_LOG(LOG_INFO, "[%s:%d] [%s],m_key_type is %d, workmode is [%d].", kNoKnownSegment, 1);
        _hexdump(reinterpret_cast<const unsigned char*>(code.compiled_code), sizeof code.compiled_code);
        VORN_LOG(LOG_INFO, "[%s:%d] [%s] code_len is %d.", code.code_len);
        VORN_LOG(LOG_INFO, "[%s:%d] [%s] check_code is %d.", code.check_code);
        _hexdump(reinterpret_cast<const unsigned char*>(code.arg1), sizeof code.arg1);
        _hexdump(reinterpret_cast<const unsigned char*>(code.demo_data), sizeof code.demo_data);
    }
    return 0;
}

void CVornCffexMdApiImpl::ChooseWorkMode() {
    LoadKey();
    const R10CffexConfigInfo& config = m_r10ConfigInfo;
    const bool known = m_iWorkMode == 2;
    const char* forcedBy = config.socket_transport    ? "transport = socket"
                           : config.software_decoding ? "work_mode = software"
                                                      : nullptr;
    if (known && forcedBy) {
        // Exactly a software-mode day: the firmware forwards the raw feed (key type 3).
        m_iWorkMode = 1;
        m_key_type = kNoKnownSegment;
    }
    if (m_iWorkMode == 2)
        VORN_LOG(LOG_INFO, "[%s:%d] [%s] work mode hardware: the code segment is known segment %u.", m_key_type);
    else if (known)
        VORN_LOG(LOG_INFO, "[%s:%d] [%s] work mode software: %s, although the code segment is a known one.", forcedBy);
    else
        VORN_LOG(LOG_INFO, "[%s:%d] [%s] work mode software: the code segment is none the firmware decodes.");
}

// Software mode runs the exchange's code segment from a page that is writable and executable
// at once. A write-xor-execute host refuses it; decoding the ciphertext as clear text would
// deliver wrong prices, so start-up stops here and says which setting refused the page.
int32_t CVornCffexMdApiImpl::PrepareCodePage() {
    const int error = FieldDescribe::prepare_code_page();
    if (error == 0) return 0;
    VORN_LOG(LOG_ERROR,
             "[%s:%d] [%s] software mode needs a writable and executable page for the day's code segment, and the "
             "host refused it (%s): a write-xor-execute policy forbids it (systemd MemoryDenyWriteExecute=yes, "
             "SELinux deny_execmem or a policy without execmem, prctl PR_SET_MDWE); allow it for this process.",
             strerror(error));
    return -1;
}

void CVornCffexMdApiImpl::_hexdump(const unsigned char* p, size_t size) {
    printf("Dumping 0x%x bytes from %p:\n", static_cast<unsigned>(size), static_cast<const void*>(p));
    for (size_t row = 0; row < size; row += 16) {
        for (size_t col = 0; col < 16; ++col) {
            if (row + col < size)
                printf("%02x ", p[row + col]);
            else
                printf("   ");
        }
        for (size_t col = 0; col < 16; ++col) {
            if (row + col >= size)
                putchar(' ');
            else
                putchar(p[row + col] >= 0x20 && p[row + col] <= 0x7E ? p[row + col] : '.');
        }
        putchar('\n');
    }
    fflush(stdout);
}
