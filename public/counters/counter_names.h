// The counters of SCounterValues that readers show, by name, with their meaning: one table for
// vorn-stat's formats and the Python module.
#pragma once

#include "counters_layout.h"

namespace Vorn_R10 {

struct SCounterInfo {
    const char* name; // also the metric's name stem
    const char* help;
    uint64_t SCounterValues::*member;
    bool gauge;
};

inline constexpr SCounterInfo kCounterInfos[] = {
    {"frames_received", "Frames (or receive errors) returned by the feed's receive channel",
     &SCounterValues::frames_received, false},
    {"frames_feed", "Frames from one of the feed's channels", &SCounterValues::frames_feed, false},
    {"dropped_foreign", "Frames dropped: IPv4/UDP from another source or port", &SCounterValues::dropped_foreign,
     false},
    {"dropped_not_udp", "Frames dropped: not IPv4, not UDP, or a fragment", &SCounterValues::dropped_not_udp, false},
    {"dropped_too_short", "Frames dropped: shorter than their headers claim", &SCounterValues::dropped_too_short,
     false},
    {"rx_overrun", "Receive errors: the reader was lapped by the card", &SCounterValues::rx_overrun, false},
    {"rx_truncated", "Receive errors: frame larger than the receive buffer", &SCounterValues::rx_truncated, false},
    {"rx_faulty", "Receive errors: frame failed its check", &SCounterValues::rx_faulty, false},
    {"packets_parsed", "Feed packets parsed", &SCounterValues::packets_parsed, false},
    {"packets_stale", "Feed packets at or below the last sequence number", &SCounterValues::packets_stale, false},
    {"gaps_detected", "Waits for missing packets begun", &SCounterValues::gaps_detected, false},
    {"gaps_filled", "Gaps closed by the late packets", &SCounterValues::gaps_filled, false},
    {"gaps_given_up", "Gaps given up", &SCounterValues::gaps_given_up, false},
    {"reorder_depth", "Packets waiting in the reorder list", &SCounterValues::reorder_depth, true},
    {"reorder_high_water", "Most packets ever waiting in the reorder list", &SCounterValues::reorder_high_water, true},
    {"updates", "Updates handed to the application", &SCounterValues::updates, false},
    {"updates_v1", "Version-1 callback calls", &SCounterValues::updates_v1, false},
    {"updates_v2", "Version-2 callback calls", &SCounterValues::updates_v2, false},
    {"updates_untrusted", "Updates delivered with trust flag 0", &SCounterValues::updates_untrusted, false},
    {"unknown_fields", "Fields of an unknown id", &SCounterValues::unknown_fields, false},
    {"fields_undecryptable", "Encrypted fields not applied: the code segment could not run",
     &SCounterValues::fields_undecryptable, false},
    {"parse_errors", "Payloads cut short or inconsistent", &SCounterValues::parse_errors, false},
    {"hw_records", "Hardware mode: decoded records received", &SCounterValues::hw_records, false},
    {"hw_loss_events", "Hardware mode: lost-message events received", &SCounterValues::hw_loss_events, false},
    {"wire_clock_unsynced", "Sampled frames whose wire time was not a plausible host time",
     &SCounterValues::wire_clock_unsynced, false},
    {"kernel_drops", "Socket transport: datagrams the kernel dropped", &SCounterValues::kernel_drops, false},
};

} // namespace Vorn_R10
