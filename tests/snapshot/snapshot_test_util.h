// Helpers shared by the snapshot tests: a private directory, file writing,
// captured standard output and log-line lookup.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
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
        const std::string remove = "rm -rf '" + path_ + "'";
        if (system(remove.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path_.c_str());
    }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes, size_t length) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(length));
}
inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    WriteBytes(path, bytes, bytes.size());
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
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

// The log's level tags as they appear on standard output.
constexpr const char* kErrorTag = "\033[31;1m [E]";
constexpr const char* kInfoTag = "\033[32;1m [I]";

// The message of a log line: the text after the "[file:line] [function]" prefix.
inline std::string Message(const std::string& line, const std::string& function) {
    const std::string marker = "[" + function + "]";
    const size_t at = line.find(marker);
    if (at == std::string::npos) return "";
    std::string message = line.substr(at + marker.size());
    const size_t reset = message.find("\033[0m");
    if (reset != std::string::npos) message.erase(reset);
    return message;
}

// Messages of every log line of `function` in `text`, in order.
inline std::vector<std::string> Messages(const std::string& text, const std::string& function) {
    std::vector<std::string> messages;
    for (const std::string& line : Lines(text))
        if (line.find("[" + function + "]") != std::string::npos) messages.push_back(Message(line, function));
    return messages;
}

// A channel record whose 60 address bytes are exactly `text` (no terminator when 60 long).
inline multi_address_field RawChannel(const std::string& text, uint16_t topic = 1) {
    multi_address_field channel{};
    channel.channel_no = 1;
    memcpy(channel.multi_address, text.data(), text.size() < 60 ? text.size() : 60);
    channel.md_topicid = topic;
    channel.status = 1;
    return channel;
}

} // namespace snapshot_test
