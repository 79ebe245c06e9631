// The snapshot loader: the input is the snapshot file (in memory, mode 0600, owned by this process).
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One connector for every input: the loader starts from init_snaphot_params as start-up does.
    static CVornCffexMdApiImpl* impl = (vorn_fuzz::QuietProcess(), new CVornCffexMdApiImpl());
    static vorn_fuzz::MemoryFile file;
    if (!file.Write(data, size)) return 0;
    impl->init_snaphot_params();
    if (impl->LoadFromFile(file.Path()) != 0) return 0;
    // What start-up derives from a loaded snapshot's variable part (the work-mode choice reads a
    // fixed-size segment and prints byte dumps: it is left to the unit tests).
    for (const multi_address_field& channel : impl->m_MultiAddressField) {
        std::string port, source;
        CVornCffexMdApiImpl::_parseURL(
            std::string(channel.multi_address, strnlen(channel.multi_address, sizeof channel.multi_address)), port,
            source);
    }
    impl->ParseFeedChannels();
    return 0;
}
