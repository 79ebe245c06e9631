// What vorn-stat prints about counters files: text (with per-second rates in the live view),
// JSON and the Prometheus text exposition format.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "counters_reader.h"

namespace vorn_stat {

// One counters file as read, with whether its process still runs.
using Connector = Vorn_R10::SCountersFile;

// "running", "starting", "ended", "start failed", or "stale (process N is gone)" for a file
// whose process died without marking it ended.
std::string StateText(const Connector& c);

// One line per connector: name, device, pid, state, work mode, path.
std::string FormatList(const std::vector<Connector>& connectors);
// The full view. With `before` (the same file `seconds` earlier) a per-second column is added.
std::string FormatText(const Connector& now, const Connector* before, double seconds);
// One JSON object (one line) with every counter, the start-up state, latency and instruments.
std::string FormatJson(const Connector& c);
// The connectors' counters as Prometheus text exposition (version 0.0.4), labelled by
// program (the connector's name) and device; the process id is a label of vorn_r10_info only.
std::string FormatPrometheus(const std::vector<Connector>& connectors);

} // namespace vorn_stat
