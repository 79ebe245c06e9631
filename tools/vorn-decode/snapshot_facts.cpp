#include "snapshot_facts.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

namespace vorn_decode {

bool ParseChannelAddress(const std::string& text, FeedChannel& channel) {
    const size_t scheme = text.find("://");
    if (scheme == std::string::npos) return false;
    const size_t slash = text.find('/', scheme + 3);
    const size_t colon = text.find(':', scheme + 3);
    if (slash == std::string::npos || colon == std::string::npos || colon > slash) return false;
    const std::string port = text.substr(colon + 1, slash - colon - 1);
    char* end = nullptr;
    const unsigned long value = strtoul(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || value > 65535) return false;
    in_addr source{};
    if (inet_pton(AF_INET, text.substr(slash + 1).c_str(), &source) != 1) return false;
    channel.src_ip = ntohl(source.s_addr);
    channel.dst_port = static_cast<uint16_t>(value);
    return true;
}

bool ReadSnapshotFacts(const std::string& path, SnapshotFacts& facts, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    uint64_t count = 0;
    if (!in.read(reinterpret_cast<char*>(&count), sizeof count) || count > 1000) {
        error = path + " is no snapshot (channel count unreadable or absurd)";
        return false;
    }
    for (uint64_t i = 0; i < count; ++i) {
        multi_address_field address{};
        if (!in.read(reinterpret_cast<char*>(&address), sizeof address)) break;
        FeedChannel channel;
        const std::string text(address.multi_address, strnlen(address.multi_address, sizeof address.multi_address));
        if (ParseChannelAddress(text, channel)) facts.channels.push_back(channel);
    }
    int32_t numbers[2] = {};
    if (!in.read(reinterpret_cast<char*>(numbers), sizeof numbers)) {
        error = path + " ends before its trade date and last sequence number";
        return false;
    }
    facts.trade_date = numbers[0];
    facts.last_seqno = numbers[1];
    return true;
}

} // namespace vorn_decode
