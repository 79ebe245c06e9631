#include "stat_report.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace vorn_stat {

using namespace Vorn_R10;

namespace {

struct CounterInfo {
    const char* name; // also the metric's name stem
    const char* help;
    uint64_t SCounterValues::*member;
    bool gauge;
};

const CounterInfo kCounters[] = {
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
    {"parse_errors", "Payloads cut short or inconsistent", &SCounterValues::parse_errors, false},
    {"hw_records", "Hardware mode: decoded records received", &SCounterValues::hw_records, false},
    {"hw_loss_events", "Hardware mode: lost-message events received", &SCounterValues::hw_loss_events, false},
};

const char* const kQuantileNames[] = {"0.5", "0.99", "0.999"};
const double kQuantiles[] = {0.5, 0.99, 0.999};

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

std::string Text(const char* chars, size_t capacity) {
    size_t n = 0;
    while (n < capacity && chars[n]) ++n;
    return std::string(chars, n);
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\')
            out += {'\\', static_cast<char>(c)};
        else if (c < 0x20)
            out += Printf("\\u%04x", c);
        else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

std::string LabelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += {'\\', c};
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

const char* WorkModeText(uint64_t mode) {
    return mode == 1 ? "software mode" : mode == 2 ? "hardware mode" : "work mode not chosen";
}

// Share of delivered updates that were trusted, in percent; -1 without updates.
double TrustedPercent(const SCounterValues& v) {
    if (!v.updates) return -1;
    return 100.0 * static_cast<double>(v.updates - v.updates_untrusted) / static_cast<double>(v.updates);
}

std::string MsOfDayText(uint64_t ms) {
    if (ms >= 86400000u) return "--:--:--.---";
    return Printf("%02u:%02u:%02u.%03u", static_cast<unsigned>(ms / 3600000), static_cast<unsigned>(ms / 60000 % 60),
                  static_cast<unsigned>(ms / 1000 % 60), static_cast<unsigned>(ms % 1000));
}

std::string WallClockText(int64_t ns) {
    if (ns <= 0) return "never";
    const time_t seconds = static_cast<time_t>(ns / 1000000000);
    struct tm local {};
    localtime_r(&seconds, &local);
    char text[64];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return Printf("%s.%03d", text, static_cast<int>(ns / 1000000 % 1000));
}

std::string Micros(const SCountersHeader& h, uint64_t ticks) { return Printf("%.2f us", TicksToNs(h, ticks) / 1000.0); }

std::string Labels(const Connector& c) {
    return "pid=\"" + std::to_string(c.snapshot.header.pid) + "\",device=\"" +
           LabelValue(Text(c.snapshot.header.device, sizeof c.snapshot.header.device)) + "\"";
}

void MetricHead(std::string& out, const std::string& name, const char* help, const char* type) {
    out += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

} // namespace

std::string StateText(const Connector& c) {
    const SStartupState& s = c.snapshot.header.startup;
    if (s.run_state == COUNTERS_ENDED) return "ended";
    if (s.run_state == COUNTERS_START_FAILED) return "start failed";
    if (!c.alive) return "stale (process " + std::to_string(c.snapshot.header.pid) + " is gone)";
    return s.run_state == COUNTERS_RUNNING ? "running" : "starting";
}

std::string FormatList(const std::vector<Connector>& connectors) {
    std::string out = Printf("%-8s %-16s %-28s %-14s %s\n", "PID", "DEVICE", "STATE", "MODE", "FILE");
    for (const Connector& c : connectors) {
        const SCountersHeader& h = c.snapshot.header;
        out += Printf("%-8" PRId64 " %-16s %-28s %-14s %s\n", h.pid, Text(h.device, sizeof h.device).c_str(),
                      StateText(c).c_str(), WorkModeText(h.startup.work_mode), c.path.c_str());
    }
    return out;
}

std::string FormatText(const Connector& now, const Connector* before, double seconds) {
    const SCountersHeader& h = now.snapshot.header;
    const SStartupState& s = h.startup;
    const SCounterValues& v = h.values;
    std::string out =
        Printf("vorn_r10 pid %" PRId64 ", device %s: %s, %s\n", h.pid, Text(h.device, sizeof h.device).c_str(),
               StateText(now).c_str(), WorkModeText(s.work_mode));
    out +=
        Printf("  start-up: configuration %s, snapshot %s (trade date %" PRId64 "), card %s, firmware 0x%08" PRIx64
               " (verdict %" PRIu64 "), software %s\n",
               s.steps & STARTUP_CONFIG_READ ? "read" : "not read",
               s.steps & STARTUP_SNAPSHOT_LOADED ? Text(s.snapshot_file, sizeof s.snapshot_file).c_str() : "not loaded",
               s.trade_date, s.steps & STARTUP_CARD_OPENED ? "opened" : "not opened", s.firmware_version,
               s.version_check, Text(s.software_version, sizeof s.software_version).c_str());
    out += "  last frame: " + WallClockText(TicksToRealtimeNs(h, v.last_frame_tsc)) + "\n\n";
    out += Printf("  %-22s %14s%s\n", "", "total", before ? "          per s" : "");
    for (const CounterInfo& info : kCounters) {
        out += Printf("  %-22s %14" PRIu64, info.name, v.*info.member);
        if (before && !info.gauge && seconds > 0) {
            const uint64_t then = before->snapshot.header.values.*info.member;
            const double rate = static_cast<double>(v.*info.member - then) / seconds;
            out += Printf(" %14.0f", rate);
        }
        out += "\n";
    }
    const double trusted = TrustedPercent(v);
    out += trusted < 0 ? "  trusted share          no updates yet\n"
                       : Printf("  trusted share          %13.2f %%\n", trusted);
    out += Printf("  gaps                   detected %" PRIu64 ", filled %" PRIu64 ", given up %" PRIu64
                  "; reorder list %" PRIu64 " now, %" PRIu64 " at most\n",
                  v.gaps_detected, v.gaps_filled, v.gaps_given_up, v.reorder_depth, v.reorder_high_water);
    for (const SLatencyHistogram& hist : h.histograms) {
        if (!hist.name[0]) continue;
        out += "  latency " + Text(hist.name, sizeof hist.name) + ": ";
        if (!hist.count) {
            out += "no samples yet\n";
            continue;
        }
        out += "p50 " + Micros(h, HistogramPercentile(hist, 0.5)) + ", p99 " +
               Micros(h, HistogramPercentile(hist, 0.99)) + ", p99.9 " + Micros(h, HistogramPercentile(hist, 0.999)) +
               ", max " + Micros(h, hist.max_ticks) +
               Printf(" (%" PRIu64 " samples, 1 frame in %" PRIu64 ")\n", hist.count, hist.sample_every);
    }
    const std::vector<SInstrumentCounters>& instruments = now.snapshot.instruments;
    out += Printf("  instruments selected   %zu\n", instruments.size());
    for (const SInstrumentCounters& i : instruments) {
        if (!i.updates) continue;
        out += Printf("    %-16s %12" PRIu64 " updates, last %s%s\n",
                      Text(i.instrument_id, sizeof i.instrument_id).c_str(), i.updates,
                      MsOfDayText(i.last_update_ms).c_str(), i.last_trust == 1 ? "" : ", untrusted");
    }
    if (!now.snapshot.consistent) out += "  (the writer never paused: values copied one by one)\n";
    return out;
}

std::string FormatJson(const Connector& c) {
    const SCountersHeader& h = c.snapshot.header;
    const SStartupState& s = h.startup;
    const SCounterValues& v = h.values;
    std::string out = "{\"path\":" + JsonString(c.path) + Printf(",\"pid\":%" PRId64, h.pid) +
                      ",\"device\":" + JsonString(Text(h.device, sizeof h.device)) +
                      ",\"state\":" + JsonString(StateText(c)) + ",\"alive\":" + (c.alive ? "true" : "false") +
                      ",\"consistent\":" + (c.snapshot.consistent ? "true" : "false");
    out +=
        Printf(",\"startup\":{\"configuration_read\":%s,\"snapshot_loaded\":%s,\"card_opened\":%s,"
               "\"version_checked\":%s,\"fpga_ready\":%s,\"work_mode\":%" PRIu64 ",\"trade_date\":%" PRId64
               ",\"firmware_version\":%" PRIu64 ",\"version_check\":%" PRIu64,
               s.steps & STARTUP_CONFIG_READ ? "true" : "false", s.steps & STARTUP_SNAPSHOT_LOADED ? "true" : "false",
               s.steps & STARTUP_CARD_OPENED ? "true" : "false", s.steps & STARTUP_VERSION_CHECKED ? "true" : "false",
               s.steps & STARTUP_FPGA_READY ? "true" : "false", s.work_mode, s.trade_date, s.firmware_version,
               s.version_check);
    out += ",\"snapshot_file\":" + JsonString(Text(s.snapshot_file, sizeof s.snapshot_file)) +
           ",\"software_version\":" + JsonString(Text(s.software_version, sizeof s.software_version)) + "}";
    out += ",\"counters\":{";
    for (const CounterInfo& info : kCounters)
        out += Printf("%s\"%s\":%" PRIu64, &info == kCounters ? "" : ",", info.name, v.*info.member);
    out += Printf("},\"last_frame_realtime_ns\":%" PRId64, TicksToRealtimeNs(h, v.last_frame_tsc));
    const double trusted = TrustedPercent(v);
    out += trusted < 0 ? ",\"trusted_share\":null" : Printf(",\"trusted_share\":%.6f", trusted / 100.0);
    out += ",\"latency\":[";
    bool first = true;
    for (const SLatencyHistogram& hist : h.histograms) {
        if (!hist.name[0]) continue;
        out += (first ? "{\"name\":" : ",{\"name\":") + JsonString(Text(hist.name, sizeof hist.name));
        first = false;
        out += Printf(",\"sample_every\":%" PRIu64 ",\"samples\":%" PRIu64 ",\"p50_ns\":%.0f,\"p99_ns\":%.0f,"
                      "\"p999_ns\":%.0f,\"max_ns\":%.0f}",
                      hist.sample_every, hist.count, TicksToNs(h, HistogramPercentile(hist, 0.5)),
                      TicksToNs(h, HistogramPercentile(hist, 0.99)), TicksToNs(h, HistogramPercentile(hist, 0.999)),
                      TicksToNs(h, hist.max_ticks));
    }
    out += "],\"instruments\":[";
    for (const SInstrumentCounters& i : c.snapshot.instruments) {
        out += (&i == c.snapshot.instruments.data() ? "{\"instrument_id\":" : ",{\"instrument_id\":") +
               JsonString(Text(i.instrument_id, sizeof i.instrument_id));
        out += Printf(",\"inst_id\":%" PRId64 ",\"updates\":%" PRIu64 ",\"last_update\":\"%s\",\"last_trust\":%" PRIu64
                      "}",
                      i.inst_id, i.updates, MsOfDayText(i.last_update_ms).c_str(), i.last_trust);
    }
    return out + "]}\n";
}

std::string FormatPrometheus(const std::vector<Connector>& connectors) {
    std::string out;
    MetricHead(out, "vorn_r10_up", "1 while the connector's process runs and has not ended", "gauge");
    for (const Connector& c : connectors)
        out += "vorn_r10_up{" + Labels(c) + "} " +
               (c.alive && c.snapshot.header.startup.run_state == COUNTERS_RUNNING ? "1" : "0") + "\n";
    for (const CounterInfo& info : kCounters) {
        const std::string name = std::string("vorn_r10_") + info.name + (info.gauge ? "" : "_total");
        MetricHead(out, name, info.help, info.gauge ? "gauge" : "counter");
        for (const Connector& c : connectors)
            out += name + "{" + Labels(c) + "} " + std::to_string(c.snapshot.header.values.*info.member) + "\n";
    }
    MetricHead(out, "vorn_r10_last_frame_timestamp_seconds", "Wall-clock time of a recent frame", "gauge");
    for (const Connector& c : connectors)
        out +=
            "vorn_r10_last_frame_timestamp_seconds{" + Labels(c) + "} " +
            Printf("%.3f",
                   static_cast<double>(TicksToRealtimeNs(c.snapshot.header, c.snapshot.header.values.last_frame_tsc)) /
                       1e9) +
            "\n";
    MetricHead(out, "vorn_r10_latency_seconds", "Library time per frame, receive return to last callback return",
               "summary");
    for (const Connector& c : connectors) {
        const SCountersHeader& h = c.snapshot.header;
        for (const SLatencyHistogram& hist : h.histograms) {
            if (!hist.name[0]) continue;
            const std::string labels = Labels(c) + ",span=\"" + LabelValue(Text(hist.name, sizeof hist.name)) + "\"";
            for (size_t q = 0; q < 3; ++q)
                out += "vorn_r10_latency_seconds{" + labels + ",quantile=\"" + kQuantileNames[q] + "\"} " +
                       Printf("%.9f", TicksToNs(h, HistogramPercentile(hist, kQuantiles[q])) / 1e9) + "\n";
            out += "vorn_r10_latency_seconds_sum{" + labels + "} " +
                   Printf("%.9f", TicksToNs(h, hist.sum_ticks) / 1e9) + "\n";
            out += "vorn_r10_latency_seconds_count{" + labels + "} " + std::to_string(hist.count) + "\n";
        }
    }
    MetricHead(out, "vorn_r10_instrument_updates_total", "Updates delivered per selected instrument", "counter");
    for (const Connector& c : connectors)
        for (const SInstrumentCounters& i : c.snapshot.instruments)
            out += "vorn_r10_instrument_updates_total{" + Labels(c) + ",instrument=\"" +
                   LabelValue(Text(i.instrument_id, sizeof i.instrument_id)) + "\"} " + std::to_string(i.updates) +
                   "\n";
    return out;
}

} // namespace vorn_stat
