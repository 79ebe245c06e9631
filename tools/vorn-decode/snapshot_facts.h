// What vorn-decode needs to know of a snapshot before the connector loads it: the feed's
// channels (source address and destination port), the trade date and the last sequence
// number it covers. Read from the file's leading sections only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FpgaStructCommon.h"

namespace vorn_decode {

struct FeedChannel {
    uint32_t src_ip = 0; // host order
    uint16_t dst_port = 0;
};

struct SnapshotFacts {
    std::vector<FeedChannel> channels; // those whose address reads as udp://group:port/a.b.c.d
    int32_t trade_date = 0;            // YYYYMMDD
    int32_t last_seqno = 0;
};

// False with `error` set when the file cannot be read or ends inside those sections.
bool ReadSnapshotFacts(const std::string& path, SnapshotFacts& facts, std::string& error);
// The channel's source address and port of a "scheme://group:port/source" text; false when it
// names no IPv4 source and port.
bool ParseChannelAddress(const std::string& text, FeedChannel& channel);

} // namespace vorn_decode
