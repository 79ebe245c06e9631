// The INI reader and the configuration keys: the input is the configuration file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "IniReader.h"
#include "fuzz_support.h"

namespace {

const char* const kCodes[] = {"IF2612", "IO2612-C-4000", "T2612", "TF2612", "I", "", "all", "IF"};

void LookUpKeys(const std::string& path) {
    Vorn_R10::CIniReader reader;
    if (!reader.ReadConfig(path)) return;
    const char* const keys[] = {"log_path", "log_level", "cpucore", "exanic_cache_flag",
                                "exanic_cache_size", "device", "insts", "options"};
    for (const char* key : keys) {
        volatile size_t length = reader.ReadString("config", key, "").size();
        volatile int32_t number = reader.ReadInt32("config", key, -7);
        (void)length;
        (void)number;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CVornCffexMdApiImpl* impl = [] {
        vorn_fuzz::QuietProcess();
        return new CVornCffexMdApiImpl();
    }();
    static vorn_fuzz::MemoryFile file;
    if (!file.Write(data, size)) return 0;
    LookUpKeys(file.Path());
    impl->m_configFileName.Assign(file.Path());
    if (impl->_ReadConfig() == 0) {
        for (const char* code : kCodes) {
            volatile uint32_t selected = impl->_GetChannelCfg(code, static_cast<uint32_t>(strlen(code)));
            (void)selected;
        }
    }
    Vorn_R10::CCommonLog::GetInstance().SetLogLevel(static_cast<Vorn_R10::ELOGLEVEL>(0));
    return 0;
}
