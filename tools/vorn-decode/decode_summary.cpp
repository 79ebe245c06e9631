#include "decode_summary.h"

#include <cstdio>
#include <ctime>

namespace vorn_decode {
namespace {

using ull = unsigned long long;

void Figure(const char* name, bool available, uint64_t value) {
    if (available)
        fprintf(stderr, "  %-24s %llu\n", name, static_cast<ull>(value));
    else
        fprintf(stderr, "  %-24s n/a\n", name);
}

// YYYYMMDD of a capture time in local time.
int32_t LocalDate(uint64_t ns) {
    const time_t seconds = static_cast<time_t>(ns / 1000000000ULL);
    struct tm local {};
    localtime_r(&seconds, &local);
    return (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
}

} // namespace

void PrintSummary(const RunFacts& run, const CaptureTally& tally, const LibraryFigures& library) {
    fprintf(stderr, "vorn-decode: %s (%s)%s\n", run.capture.c_str(), run.link_type.c_str(),
            run.interrupted ? ", interrupted" : "");
    Figure("frames read", true, tally.frames_read);
    // The library's own view where its counters are readable, else the tool's classification.
    Figure("frames of the feed", true, library.available ? library.feed_frames : tally.feed_frames);
    Figure("frames of other sources", true, library.available ? library.other_frames : tally.other_frames);
    const std::vector<std::string> top = tally.TopOtherSources(3);
    for (const std::string& source : top) fprintf(stderr, "    %s\n", source.c_str());
    fprintf(stderr, "  %-24s %llu truncated by the capture's snaplen, %llu not Ethernet/IPv4/UDP, %llu too long\n",
            "frames skipped", static_cast<ull>(tally.truncated), static_cast<ull>(tally.not_udp),
            static_cast<ull>(tally.too_long));
    Figure("packets stale", library.available, library.packets_stale);
    if (library.available)
        fprintf(stderr, "  %-24s %llu detected, %llu filled, %llu given up\n", "gaps",
                static_cast<ull>(library.gaps_detected), static_cast<ull>(library.gaps_filled),
                static_cast<ull>(library.gaps_given_up));
    else
        fprintf(stderr, "  %-24s n/a\n", "gaps");
    fprintf(stderr, "  %-24s %llu to %s\n", "updates written", static_cast<ull>(run.rows_written), run.output.c_str());
    fprintf(stderr, "  %-24s %s\n", "library output", run.library_output.c_str());
    fprintf(stderr, "  %-24s %.3f s, %.0f frames/s\n", "time", run.seconds,
            run.seconds > 0 ? static_cast<double>(tally.frames_read) / run.seconds : 0.0);
}

std::string TruncationWarning(const RunFacts& run, const CaptureTally& tally) {
    if (!tally.truncated) return "";
    return std::to_string(tally.truncated) + " frames were cut by the capture's snaplen and skipped" +
           (run.allow_truncated ? "" : " (--allow-truncated accepts that)");
}

int PrintWarnings(const RunFacts& run, const CaptureTally& tally, const SnapshotFacts& snapshot) {
    int warnings = 0;
    auto warn = [&warnings](const std::string& text) {
        fprintf(stderr, "warning: %s\n", text.c_str());
        ++warnings;
    };
    if (tally.truncated) warn(TruncationWarning(run, tally));
    if (tally.have_first_seqno && static_cast<uint32_t>(snapshot.last_seqno) >= tally.first_seqno)
        warn("the snapshot's last sequence number " + std::to_string(snapshot.last_seqno) +
             " is at or beyond the capture's first packet " + std::to_string(tally.first_seqno) +
             ": packets up to it are skipped as already known");
    if (tally.frames_read && LocalDate(tally.first_ns) != snapshot.trade_date)
        warn("the snapshot's trade date " + std::to_string(snapshot.trade_date) + " differs from the capture's date " +
             std::to_string(LocalDate(tally.first_ns)));
    // Last, so that it can point at the reasons given above.
    if (run.rows_written == 0) {
        if (tally.feed_frames == 0)
            warn("nothing was written: no frame of the capture comes from a channel of the snapshot");
        else
            warn(std::string("nothing was written: ") + (warnings ? "see the warnings above, " : "see ") +
                 "--insts and the library output");
    }
    return warnings;
}

} // namespace vorn_decode
