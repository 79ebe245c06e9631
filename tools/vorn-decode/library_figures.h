// What the library itself saw of a decode run, read from the connector's counters after it
// stopped: the frames of the feed's channels and of other sources, stale packets, gaps and the
// updates it delivered.
#pragma once

#include <cstdint>
#include <string>

namespace vorn_decode {

struct LibraryFigures {
    bool available = false; // false: the counters could not be read (the fields are zero)
    uint64_t feed_frames = 0;
    uint64_t other_frames = 0;
    uint64_t packets_stale = 0;
    uint64_t gaps_detected = 0;
    uint64_t gaps_filled = 0;
    uint64_t gaps_given_up = 0;
    uint64_t updates_v1 = 0;
    uint64_t updates_v2 = 0;
};

// The figures of the one connector whose counters file lies in `countersDir`, after it was
// given `framesPut` frames; `available` false (with `error` set) when there is no such file,
// it cannot be read, or its counters stayed at zero.
LibraryFigures ReadLibraryFigures(const std::string& countersDir, uint64_t framesPut, std::string& error);

} // namespace vorn_decode
