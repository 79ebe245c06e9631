// The feed parser: the input is one UDP payload handed to _processChunk of a connector that
// holds the fuzz session's snapshot (sample cipher segment, so encrypted packets run it).
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static vorn_fuzz::LoadedConnector* connector = new vorn_fuzz::LoadedConnector();
    connector->Reset();
    CVornCffexMdApiImpl& impl = connector->Impl();
    impl._processChunk(impl.m_RspEncryptCodeSegmentField, data, static_cast<uint32_t>(size), impl);
    return 0;
}
