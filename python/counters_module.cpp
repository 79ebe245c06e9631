#include "counters_module.h"

#include "counter_names.h"
#include "counters_reader.h"

namespace py = pybind11;
using namespace Vorn_R10;

namespace vorn_python {
namespace {

std::string Text(const char* chars, size_t capacity) {
    size_t n = 0;
    while (n < capacity && chars[n]) ++n;
    return std::string(chars, n);
}

const char* RunStateText(uint64_t state) {
    switch (state) {
    case COUNTERS_STARTING: return "starting";
    case COUNTERS_RUNNING: return "running";
    case COUNTERS_ENDED: return "ended";
    case COUNTERS_START_FAILED: return "start failed";
    }
    return "unknown";
}

py::dict Startup(const SStartupState& s) {
    py::dict d;
    d["run_state"] = RunStateText(s.run_state);
    d["steps"] = s.steps;
    d["work_mode"] = s.work_mode;
    d["trade_date"] = s.trade_date;
    d["firmware_version"] = s.firmware_version;
    d["version_check"] = s.version_check;
    d["ended_realtime_ns"] = s.ended_realtime_ns;
    d["transport"] = s.transport == TRANSPORT_SOCKET ? "socket" : "card";
    d["snapshot_file"] = Text(s.snapshot_file, sizeof s.snapshot_file);
    d["software_version"] = Text(s.software_version, sizeof s.software_version);
    return d;
}

py::list Latency(const SCountersHeader& header) {
    py::list slots;
    for (const SLatencyHistogram& h : header.histograms) {
        const std::string name = Text(h.name, sizeof h.name);
        if (name.empty()) continue;
        py::dict d;
        d["name"] = name;
        d["sample_every"] = h.sample_every;
        d["count"] = h.count;
        d["mean_ns"] = h.count ? TicksToNs(header, h.sum_ticks) / static_cast<double>(h.count) : 0.0;
        d["max_ns"] = TicksToNs(header, h.max_ticks);
        d["p50_ns"] = TicksToNs(header, HistogramPercentile(h, 0.5));
        d["p99_ns"] = TicksToNs(header, HistogramPercentile(h, 0.99));
        d["p999_ns"] = TicksToNs(header, HistogramPercentile(h, 0.999));
        slots.append(d);
    }
    return slots;
}

py::dict OneConnector(const std::string& path) {
    py::dict d;
    d["path"] = path;
    CCountersReader reader;
    SCountersSnapshot snapshot;
    std::string error;
    if (!reader.Open(path, error) || !reader.Read(snapshot, error)) {
        d["error"] = error;
        return d;
    }
    const SCountersHeader& h = snapshot.header;
    d["pid"] = h.pid;
    d["name"] = Text(h.name, sizeof h.name);
    d["device"] = Text(h.device, sizeof h.device);
    const bool alive = reader.WriterHoldsLock();
    d["alive"] = alive;
    // As vorn-stat names it: a file whose writer died without marking it ended is stale.
    const uint64_t state = h.startup.run_state;
    d["state"] = state == COUNTERS_ENDED || state == COUNTERS_START_FAILED || alive
                     ? std::string(RunStateText(state))
                     : "stale (process " + std::to_string(h.pid) + " is gone)";
    d["consistent"] = snapshot.consistent;
    d["startup"] = Startup(h.startup);
    py::dict values;
    for (const SCounterInfo& counter : kCounterInfos) values[counter.name] = h.values.*counter.member;
    values["last_frame_tsc"] = h.values.last_frame_tsc;
    d["counters"] = values;
    d["last_frame_realtime_ns"] = TicksToRealtimeNs(h, h.values.last_frame_tsc);
    d["latency"] = Latency(h);
    py::list instruments;
    for (const SInstrumentCounters& i : snapshot.instruments) {
        py::dict one;
        one["instrument_id"] = Text(i.instrument_id, sizeof i.instrument_id);
        one["inst_id"] = i.inst_id;
        one["updates"] = i.updates;
        one["last_update_ms"] = i.last_update_ms;
        one["last_trust"] = i.last_trust;
        instruments.append(one);
    }
    d["instruments"] = instruments;
    return d;
}

} // namespace

py::list Counters(const std::string& dir) {
    py::list connectors;
    for (const std::string& path : FindCountersFiles(dir)) connectors.append(OneConnector(path));
    return connectors;
}

} // namespace vorn_python
