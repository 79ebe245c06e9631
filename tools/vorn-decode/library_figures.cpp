#include "library_figures.h"

#include "counters_files.h"
#include "counters_reader.h"

namespace vorn_decode {

LibraryFigures ReadLibraryFigures(const std::string& countersDir, uint64_t framesPut, std::string& error) {
    LibraryFigures figures;
    const std::vector<std::string> files = Vorn_R10::FindCountersFiles(countersDir);
    if (files.size() != 1) {
        error = "no counters file of the connector in " + countersDir;
        return figures;
    }
    Vorn_R10::CCountersReader reader;
    Vorn_R10::SCountersSnapshot snapshot;
    if (!reader.Open(files.front(), error) || !reader.Read(snapshot, error)) return figures;
    const Vorn_R10::SCounterValues& values = snapshot.header.values;
    // A library that counts no frame of those put publishes its counters but does not keep them.
    if (framesPut && !values.frames_received) {
        error = "the library's counters count no frame";
        return figures;
    }
    figures.available = true;
    figures.feed_frames = values.frames_feed;
    figures.other_frames = values.dropped_foreign;
    figures.packets_stale = values.packets_stale;
    figures.gaps_detected = values.gaps_detected;
    figures.gaps_filled = values.gaps_filled;
    figures.gaps_given_up = values.gaps_given_up;
    figures.updates_v1 = values.updates_v1;
    figures.updates_v2 = values.updates_v2;
    return figures;
}

} // namespace vorn_decode
