#include "IniReader.h"

#include <cstdlib>
#include <fstream>

namespace Vorn_R10 {

namespace {

const char* const kBlanks = " \t\r\n";

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

// "[name]" anywhere on the line, comment included; a ']' before the '[' yields the empty name.
bool ParseSection(const std::string& line, std::string& name) {
    const size_t open = line.find('[');
    const size_t close = line.find(']');
    if (open == std::string::npos || close == std::string::npos) return false;
    name = close > open ? line.substr(open + 1, close - open - 1) : std::string();
    return true;
}

} // namespace

bool CIniReader::ReadConfig(const std::string& filename) {
    m_configMap.clear();
    std::ifstream input(filename);
    if (!input.good()) return false;

    std::string section;
    std::string line;
    while (std::getline(input, line)) {
        if (line.empty()) continue;
        const size_t comment = line.find('#');
        if (comment == 0) continue;
        std::string name;
        if (ParseSection(line, name)) {
            section = name;
            m_configMap[section];
            continue;
        }
        const std::string usable = line.substr(0, comment);
        const size_t equals = usable.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = Trim(usable.substr(0, equals));
        if (key.empty()) continue;
        m_configMap[section][key] = Trim(usable.substr(equals + 1));
    }
    return true;
}

const std::string* CIniReader::Find(const char* section, const char* item) const {
    if (!section || !item) return nullptr;
    const auto sectionIt = m_configMap.find(section);
    if (sectionIt == m_configMap.end()) return nullptr;
    const auto itemIt = sectionIt->second.find(item);
    if (itemIt == sectionIt->second.end()) return nullptr;
    return &itemIt->second;
}

std::string CIniReader::ReadString(const char* section, const char* item, const char* default_value) const {
    const std::string* value = Find(section, item);
    if (value) return *value;
    return default_value ? std::string(default_value) : std::string();
}

int32_t CIniReader::ReadInt32(const char* section, const char* item, int32_t default_value) const {
    const std::string* value = Find(section, item);
    if (!value) return default_value;
    return static_cast<int32_t>(strtol(value->c_str(), nullptr, 10));
}

} // namespace Vorn_R10
