#include "library_output.h"

#include <fstream>

namespace vorn_decode {

std::vector<std::string> LibraryErrorLines(const std::string& path) {
    std::vector<std::string> errors;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.find(" [E] ") == std::string::npos) continue;
        std::string plain;
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] != '\033') {
                plain += line[i];
                continue;
            }
            while (i < line.size() && line[i] != 'm') ++i;
        }
        errors.push_back(plain);
    }
    return errors;
}

} // namespace vorn_decode
