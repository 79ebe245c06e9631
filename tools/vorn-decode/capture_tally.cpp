#include "capture_tally.h"

#include <algorithm>
#include <cstdio>

namespace vorn_decode {
namespace {

constexpr size_t kPacketHeaderBytes = 20, kSeqnoOffset = 8;

uint32_t Be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

} // namespace

void CaptureTally::Udp(const vorn_tools::UdpView& view) {
    for (const FeedChannel& channel : channels_) {
        if (channel.src_ip != view.src_ip || channel.dst_port != view.dst_port) continue;
        ++feed_frames;
        if (!have_first_seqno && view.payload_len >= kPacketHeaderBytes) {
            have_first_seqno = true;
            first_seqno = Be32(view.payload + kSeqnoOffset);
        }
        return;
    }
    ++other_frames;
    ++others_[static_cast<uint64_t>(view.src_ip) << 16 | view.dst_port];
}

std::vector<std::string> CaptureTally::TopOtherSources(size_t n) const {
    std::vector<std::pair<uint64_t, uint64_t>> sources(others_.begin(), others_.end());
    std::sort(sources.begin(), sources.end(), [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    std::vector<std::string> top;
    for (size_t i = 0; i < sources.size() && i < n; ++i) {
        const uint64_t key = sources[i].first;
        const uint32_t ip = static_cast<uint32_t>(key >> 16);
        char text[64];
        snprintf(text, sizeof text, "%u.%u.%u.%u:%u %llu", ip >> 24, ip >> 16 & 255, ip >> 8 & 255, ip & 255,
                 static_cast<unsigned>(key & 0xffff), static_cast<unsigned long long>(sources[i].second));
        top.push_back(text);
    }
    return top;
}

} // namespace vorn_decode
