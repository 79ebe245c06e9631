// Small INI reader: sections, keys and values as text, typed lookups by section and key.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace Vorn_R10 {

class CIniReader {
public:
    // Clears the map and reads `filename`; false (map empty) when it cannot be opened.
    bool ReadConfig(const std::string& filename);
    std::string ReadString(const char* section, const char* item, const char* default_value) const;
    int32_t ReadInt32(const char* section, const char* item, int32_t default_value) const;

private:
    const std::string* Find(const char* section, const char* item) const;

    std::map<std::string, std::map<std::string, std::string>> m_configMap;
};

} // namespace Vorn_R10
