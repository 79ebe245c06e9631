// The INI reader, the configuration keys and the instrument selection: the input is the
// configuration file. A trailing "log_level = 0" keeps the log silent whatever the input says
// (a repeated key's last value wins), so an input costs no log line.
#include "fuzz_support.h"

namespace {
const char* const kCodes[] = {"IF2612", "IO2612-C-4000", "T2612", "TF2612", "I", "", "all", "IF"};
const char kQuietLog[] = "\n[config]\nlog_level = 0\n";
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CVornCffexMdApiImpl* impl = (vorn_fuzz::QuietProcess(), new CVornCffexMdApiImpl());
    static vorn_fuzz::MemoryFile file;
    static std::vector<uint8_t> text;
    text.assign(data, data + size);
    text.insert(text.end(), kQuietLog, kQuietLog + sizeof kQuietLog - 1);
    if (!file.Write(text.data(), text.size())) return 0;
    impl->m_configFileName.Assign(file.Path());
    if (impl->_ReadConfig() != 0) return 0;
    for (const char* code : kCodes)
        [[maybe_unused]] volatile uint32_t selected = impl->_GetChannelCfg(code, static_cast<uint32_t>(strlen(code)));
    return 0;
}
