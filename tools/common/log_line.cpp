#include "log_line.h"

namespace vorn_tools {

std::string LogLineMessage(std::string line) {
    const size_t reset = line.rfind("\033[0m");
    if (reset != std::string::npos) line.erase(reset);
    size_t at = 0;
    for (int bracket = 0; bracket < 6 && at != std::string::npos; ++bracket) {
        at = line.find(']', at);
        if (at != std::string::npos) ++at;
    }
    if (at == std::string::npos) return line;
    while (at < line.size() && (line[at] == ',' || line[at] == ' ')) ++at;
    return line.substr(at);
}

} // namespace vorn_tools
