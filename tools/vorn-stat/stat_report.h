// What vorn-stat prints about counters files: text (with per-second rates in the live view),
// JSON and the Prometheus text exposition format.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "counters_reader.h"

namespace vorn_stat {

// One counters file as read, with whether its process still runs.
struct Connector {
    std::string path;
    Vorn_R10::SCountersSnapshot snapshot;
    bool alive = false;
};

// "running", "starting", "ended", "start failed", or "stale (process N is gone)" for a file
// whose process died without marking it ended.
std::string StateText(const Connector& c);

// One line per connector: pid, device, state, work mode, path.
std::string FormatList(const std::vector<Connector>& connectors);
// The full view. With `before` (the same file `seconds` earlier) a per-second column is added.
std::string FormatText(const Connector& now, const Connector* before, double seconds);
// One JSON object (one line) with every counter, the start-up state, latency and instruments.
std::string FormatJson(const Connector& c);
// Every connector's counters as Prometheus text exposition (version 0.0.4).
std::string FormatPrometheus(const std::vector<Connector>& connectors);

} // namespace vorn_stat
