// What vorn-decode counts on its side of the card while it feeds a capture: frames read and
// skipped (and why), frames by source, the first feed packet's sequence number and the
// capture's first and last time.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "snapshot_facts.h"
#include "udp_view.h"

namespace vorn_decode {

class CaptureTally {
public:
    explicit CaptureTally(std::vector<FeedChannel> channels) : channels_(std::move(channels)) {}

    void Read(uint64_t tsNs) {
        if (!frames_read++) first_ns = tsNs;
        last_ns = tsNs;
    }
    // A UDP frame handed to the card: counted as the feed's or as another source's.
    void Udp(const vorn_tools::UdpView& view);

    // The `n` most frequent other sources as "a.b.c.d:port N", most frequent first.
    std::vector<std::string> TopOtherSources(size_t n) const;

    uint64_t frames_read = 0;
    uint64_t truncated = 0;   // cut by the capture's snapshot length
    uint64_t not_udp = 0;     // no Ethernet/IPv4/UDP frame
    uint64_t too_long = 0;    // longer than the card takes
    uint64_t feed_frames = 0; // of a channel of the snapshot
    uint64_t other_frames = 0;
    bool have_first_seqno = false;
    uint32_t first_seqno = 0; // of the first feed packet
    uint64_t first_ns = 0, last_ns = 0;

private:
    std::vector<FeedChannel> channels_;
    std::unordered_map<uint64_t, uint64_t> others_; // (address << 16 | port) -> frames
};

} // namespace vorn_decode
