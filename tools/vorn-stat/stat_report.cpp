#include "stat_report.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "counter_names.h"

namespace vorn_stat {

using namespace Vorn_R10;

namespace {

// The latency histograms by slot: their names here, not the file's text, make metric names.
struct SpanInfo {
    EHistogramSlot slot;
    const char* name;
    const char* help;
};

const SpanInfo kSpans[] = {
    {HISTOGRAM_RECV_TO_CALLBACK, "recv_to_callback",
     "Library time per frame, from the receive call's return to the last callback's return"},
    {HISTOGRAM_WIRE_TO_CALLBACK, kWireToCallbackName,
     "Time per frame from the network card's receive timestamp to the last callback's return"},
    {HISTOGRAM_WIRE_TO_CALLBACK, kKernelToCallbackName,
     "Time per datagram from the kernel's software receive time to the last callback's return"},
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

const char* TransportText(uint64_t transport) {
    return transport == TRANSPORT_CARD ? "card" : transport == TRANSPORT_SOCKET ? "socket" : "unknown";
}

// Whether a connector's slot is this span: slot 1 is named for where its times come from, and
// is wire_to_callback unless named kernel_to_callback.
bool SpanOf(const SpanInfo& span, const SCountersHeader& h) {
    if (span.slot != HISTOGRAM_WIRE_TO_CALLBACK) return true;
    const SLatencyHistogram& hist = h.histograms[span.slot];
    return (strncmp(hist.name, kKernelToCallbackName, sizeof hist.name) == 0) ==
           (strcmp(span.name, kKernelToCallbackName) == 0);
}

// Whether the text view shows a span: the library's own always, the others once they count.
bool ShowSpan(const SpanInfo& span, const SCountersHeader& h) {
    const SLatencyHistogram& hist = h.histograms[span.slot];
    return SpanOf(span, h) &&
           (span.slot == HISTOGRAM_RECV_TO_CALLBACK || hist.count || hist.name[0] || h.values.wire_clock_unsynced);
}

// Socket receive errors by errno, in the order first seen: the errno's name and the count.
std::vector<std::pair<std::string, uint64_t>> SocketErrors(const SCounterValues& v) {
    std::vector<std::pair<std::string, uint64_t>> errors;
    for (unsigned i = 0; i < kSocketErrnoSlots && v.socket_error_errno[i]; ++i) {
        const char* name = strerrorname_np(static_cast<int>(v.socket_error_errno[i]));
        errors.emplace_back(name ? name : std::to_string(v.socket_error_errno[i]), v.socket_error_count[i]);
    }
    return errors;
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
    return "program=\"" + LabelValue(ConnectorName(c)) + "\",device=\"" +
           LabelValue(Text(c.snapshot.header.device, sizeof c.snapshot.header.device)) + "\"";
}

// Prometheus sample values: integers exactly, others with enough digits, NaN spelled its way.
std::string Seconds(double seconds) { return seconds != seconds ? "NaN" : Printf("%.9g", seconds); }

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
    std::string out = Printf("%-20s %-16s %-8s %-28s %-14s %s\n", "NAME", "DEVICE", "PID", "STATE", "MODE", "FILE");
    for (const Connector& c : connectors) {
        const SCountersHeader& h = c.snapshot.header;
        out += Printf("%-20s %-16s %-8" PRId64 " %-28s %-14s %s\n", ConnectorName(c).c_str(),
                      Text(h.device, sizeof h.device).c_str(), h.pid, StateText(c).c_str(),
                      WorkModeText(h.startup.work_mode), c.path.c_str());
    }
    return out;
}

std::string FormatText(const Connector& now, const Connector* before, double seconds) {
    const SCountersHeader& h = now.snapshot.header;
    const SStartupState& s = h.startup;
    const SCounterValues& v = h.values;
    std::string out =
        Printf("vorn_r10 %s on %s (pid %" PRId64 ", started %s): %s, %s, %s transport\n", ConnectorName(now).c_str(),
               Text(h.device, sizeof h.device).c_str(), h.pid, WallClockText(h.anchor_realtime_ns).c_str(),
               StateText(now).c_str(), WorkModeText(s.work_mode), TransportText(s.transport));
    out +=
        Printf("  start-up: configuration %s, snapshot %s (trade date %" PRId64 "), card %s, firmware 0x%08" PRIx64
               " (verdict %" PRIu64 "), software %s\n",
               s.steps & STARTUP_CONFIG_READ ? "read" : "not read",
               s.steps & STARTUP_SNAPSHOT_LOADED ? Text(s.snapshot_file, sizeof s.snapshot_file).c_str() : "not loaded",
               s.trade_date, s.steps & STARTUP_CARD_OPENED ? "opened" : "not opened", s.firmware_version,
               s.version_check, Text(s.software_version, sizeof s.software_version).c_str());
    if (s.transport == TRANSPORT_SOCKET) {
        out += Printf("  sockets: receive buffer %" PRIu64 " bytes", s.socket_rcvbuf);
        const char* lead = ", receive errors ";
        for (const auto& error : SocketErrors(v)) {
            out += lead + error.first + " " + std::to_string(error.second);
            lead = ", ";
        }
        out += "\n";
    }
    out += "  last frame: " + WallClockText(TicksToRealtimeNs(h, v.last_frame_tsc)) + "\n\n";
    out += Printf("  %-22s %14s%s\n", "", "total", before ? "          per s" : "");
    for (const SCounterInfo& info : kCounterInfos) {
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
    for (const SpanInfo& span : kSpans) {
        if (!ShowSpan(span, h)) continue;
        const SLatencyHistogram& hist = h.histograms[span.slot];
        out += std::string("  latency ") + span.name + ": ";
        if (!hist.count) {
            out += "no samples yet\n";
            continue;
        }
        out += "p50 " + Micros(h, HistogramPercentile(hist, 0.5)) + ", p99 " +
               Micros(h, HistogramPercentile(hist, 0.99)) + ", p99.9 " + Micros(h, HistogramPercentile(hist, 0.999)) +
               ", max " + Micros(h, hist.max_ticks) +
               Printf(" (%" PRIu64 " samples, 1 frame in %" PRIu64 ")\n", hist.count, hist.sample_every);
    }
    if (v.wire_clock_unsynced)
        out += Printf("  wire clock             %" PRIu64
                      " sampled frames had a wire time far from the host's clock: the card's clock is not "
                      "synchronised to the host (a real card needs its clock synchronised for wire_to_callback)\n",
                      v.wire_clock_unsynced);
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
    std::string out = "{\"path\":" + JsonString(c.path) + ",\"name\":" + JsonString(ConnectorName(c)) +
                      Printf(",\"pid\":%" PRId64 ",\"start_time_realtime_ns\":%" PRId64, h.pid, h.anchor_realtime_ns) +
                      ",\"device\":" + JsonString(Text(h.device, sizeof h.device)) +
                      ",\"transport\":" + JsonString(TransportText(s.transport)) +
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
           ",\"software_version\":" + JsonString(Text(s.software_version, sizeof s.software_version)) +
           Printf(",\"socket_rcvbuf\":%" PRIu64 "}", s.socket_rcvbuf);
    out += ",\"counters\":{";
    for (const SCounterInfo& info : kCounterInfos)
        out += Printf("%s\"%s\":%" PRIu64, &info == kCounterInfos ? "" : ",", info.name, v.*info.member);
    out += "},\"socket_errors_by_errno\":{";
    for (const auto& error : SocketErrors(v))
        out += (out.back() == '{' ? "" : ",") + JsonString(error.first) + ":" + std::to_string(error.second);
    out += "}";
    out += Printf(",\"last_frame_realtime_ns\":%" PRId64, TicksToRealtimeNs(h, v.last_frame_tsc));
    const double trusted = TrustedPercent(v);
    out += trusted < 0 ? ",\"trusted_share\":null" : Printf(",\"trusted_share\":%.6f", trusted / 100.0);
    out += ",\"latency\":[";
    bool first = true;
    for (const SpanInfo& span : kSpans) {
        if (!SpanOf(span, h)) continue;
        const SLatencyHistogram& hist = h.histograms[span.slot];
        out += (first ? "{\"name\":" : ",{\"name\":") + JsonString(span.name);
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
    // One sample per connector of a metric: `value` gives it.
    const auto each = [&](const std::string& name, const char* help, const char* type, const auto& value) {
        MetricHead(out, name, help, type);
        for (const Connector& c : connectors) out += name + "{" + Labels(c) + "} " + value(c) + "\n";
    };
    each("vorn_r10_up", "1 while the connector's process runs and has not ended", "gauge",
         [](const Connector& c) { return std::string(IsLive(c) ? "1" : "0"); });
    MetricHead(out, "vorn_r10_info", "The connector's process and set-up; always 1", "gauge");
    for (const Connector& c : connectors) {
        const SCountersHeader& h = c.snapshot.header;
        const SStartupState& s = h.startup;
        out += "vorn_r10_info{" + Labels(c) + ",pid=\"" + std::to_string(h.pid) + "\",version=\"" +
               LabelValue(Text(s.software_version, sizeof s.software_version)) + "\",transport=\"" +
               TransportText(s.transport) + "\",work_mode=\"" +
               (s.work_mode == 1   ? "software"
                : s.work_mode == 2 ? "hardware"
                                   : "none") +
               "\"} 1\n";
    }
    each("vorn_r10_start_time_seconds", "Start time of the connector since the epoch", "gauge", [](const Connector& c) {
        return Printf("%.3f", static_cast<double>(c.snapshot.header.anchor_realtime_ns) / 1e9);
    });
    for (const SCounterInfo& info : kCounterInfos)
        each(std::string("vorn_r10_") + info.name + (info.gauge ? "" : "_total"), info.help,
             info.gauge ? "gauge" : "counter",
             [&](const Connector& c) { return std::to_string(c.snapshot.header.values.*info.member); });
    each("vorn_r10_last_frame_timestamp_seconds", "Wall-clock time of a recent frame since the epoch, 0 before any",
         "gauge", [](const Connector& c) {
             const SCountersHeader& h = c.snapshot.header;
             return Printf("%.3f", static_cast<double>(TicksToRealtimeNs(h, h.values.last_frame_tsc)) / 1e9);
         });
    const auto any = [&](const auto& test) { return std::any_of(connectors.begin(), connectors.end(), test); };
    const auto ofSockets = [](const Connector& c) { return c.snapshot.header.startup.transport == TRANSPORT_SOCKET; };
    if (any(ofSockets)) {
        MetricHead(out, "vorn_r10_socket_receive_buffer_bytes", "Smallest receive buffer a socket was granted",
                   "gauge");
        for (const Connector& c : connectors)
            if (ofSockets(c))
                out += "vorn_r10_socket_receive_buffer_bytes{" + Labels(c) + "} " +
                       std::to_string(c.snapshot.header.startup.socket_rcvbuf) + "\n";
    }
    if (any([](const Connector& c) { return c.snapshot.header.values.socket_errors != 0; })) {
        MetricHead(out, "vorn_r10_socket_errors_by_errno_total", "Socket receive calls that failed, by errno",
                   "counter");
        for (const Connector& c : connectors)
            for (const auto& error : SocketErrors(c.snapshot.header.values))
                out += "vorn_r10_socket_errors_by_errno_total{" + Labels(c) + ",errno=\"" + error.first + "\"} " +
                       std::to_string(error.second) + "\n";
    }
    for (const SpanInfo& span : kSpans) {
        if (!any([&](const Connector& c) { return SpanOf(span, c.snapshot.header); })) continue;
        const std::string name = std::string("vorn_r10_") + span.name + "_seconds";
        MetricHead(out, name, span.help, "summary");
        for (const Connector& c : connectors) {
            const SCountersHeader& h = c.snapshot.header;
            if (!SpanOf(span, h)) continue;
            const SLatencyHistogram& hist = h.histograms[span.slot];
            const std::string labels = Labels(c);
            for (size_t q = 0; q < 3; ++q) {
                const double value = hist.count ? TicksToNs(h, HistogramPercentile(hist, kQuantiles[q])) / 1e9 : NAN;
                out += name + "{" + labels + ",quantile=\"" + kQuantileNames[q] + "\"} " + Seconds(value) + "\n";
            }
            out += name + "_sum{" + labels + "} " + Seconds(TicksToNs(h, hist.sum_ticks) / 1e9) + "\n";
            out += name + "_count{" + labels + "} " + std::to_string(hist.count) + "\n";
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
