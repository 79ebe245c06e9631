// The summary vorn-decode prints at the end of a run (on standard error, as the updates may go
// to standard output) and the warnings about a run that went wrong without failing.
#pragma once

#include <cstdint>
#include <string>

#include "capture_tally.h"
#include "library_figures.h"
#include "snapshot_facts.h"

namespace vorn_decode {

struct RunFacts {
    std::string capture;
    std::string link_type;
    std::string snapshot;
    std::string output;         // "standard output" or the file
    std::string library_output; // the file, or "discarded"
    uint64_t rows_written = 0;
    double seconds = 0;
    bool interrupted = false;
    bool allow_truncated = false;
};

// Prints the summary; the library's figures where the counters gave them, else "n/a".
void PrintSummary(const RunFacts& run, const CaptureTally& tally, const LibraryFigures& library);
// The warning about frames cut by the snaplen; empty when there were none.
std::string TruncationWarning(const RunFacts& run, const CaptureTally& tally);
// Prints one "warning: " line per problem found; the number of warnings.
int PrintWarnings(const RunFacts& run, const CaptureTally& tally, const SnapshotFacts& snapshot);

} // namespace vorn_decode
