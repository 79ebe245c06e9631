// Helpers shared by the snapshot tests: a private directory, file writing and log-line lookup.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "snapshot_writer.h"

namespace snapshot_test {

// A temporary directory, removed with its content.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/vorn_snapshot_test_XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() {
        if (system(("rm -rf '" + path_ + "'").c_str()) != 0) fprintf(stderr, "could not remove %s\n", path_.c_str());
    }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes, size_t length = SIZE_MAX) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(std::min(length, bytes.size())));
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

inline std::vector<std::string> LinesWith(const std::string& text, const std::string& needle) {
    std::vector<std::string> found;
    for (const std::string& line : Lines(text))
        if (line.find(needle) != std::string::npos) found.push_back(line);
    return found;
}

inline size_t CountOf(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

constexpr const char* kErrorTag = "\033[31;1m [E]";

// Messages (the text after the "[file:line] [function]" prefix) of every log line of
// `function` in `text`, in order.
inline std::vector<std::string> Messages(const std::string& text, const std::string& function) {
    std::vector<std::string> messages;
    const std::string marker = "[" + function + "]";
    for (const std::string& line : LinesWith(text, marker)) {
        const std::string message = line.substr(line.find(marker) + marker.size());
        messages.push_back(message.substr(0, message.find("\033[0m")));
    }
    return messages;
}

} // namespace snapshot_test
