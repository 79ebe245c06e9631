// The snapshot loader: the input is the snapshot file (mode 0600, owned by this process).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (vorn_fuzz::QuietProcess(), true);
    (void)quiet;
    static const std::string path = vorn_fuzz::PrivateDir() + "/snapshot.bin";
    if (!vorn_fuzz::WritePrivateFile(path, data, size)) return 0;

    auto impl = std::make_unique<CVornCffexMdApiImpl>();
    impl->init_snaphot_params();
    if (impl->LoadFromFile(path) != 0) return 0;
    // What start-up derives from a loaded snapshot.
    for (const multi_address_field& channel : impl->m_MultiAddressField) {
        std::string port, source;
        CVornCffexMdApiImpl::_parseURL(std::string(channel.multi_address, strnlen(channel.multi_address, sizeof channel.multi_address)),
                                       port, source);
    }
    impl->ParseFeedChannels();
    impl->LoadKey();
    return 0;
}
