// Reading a counters file from any process of the same user, while its writer runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "counters_files.h"
#include "counters_layout.h"

namespace Vorn_R10 {

// A copy of one counters file. `header.startup` and `header.values` are a consistent cut
// (taken between two frames of the writer) when `consistent` is true; histograms and
// instruments are copied word by word.
struct SCountersSnapshot {
    SCountersHeader header;
    std::vector<SInstrumentCounters> instruments;
    bool consistent = false;
};

class CCountersReader {
public:
    CCountersReader() = default;
    ~CCountersReader();
    CCountersReader(const CCountersReader&) = delete;
    CCountersReader& operator=(const CCountersReader&) = delete;

    // Maps the counters file at `path` read-only. False, with a message for the user in
    // `error`, when the file cannot be opened, is not a counters file, or has a layout
    // version this reader does not know (then nothing is mapped).
    bool Open(const std::string& path, std::string& error);
    // Copies the counters into `out`. It retries while the writer is in the middle of a
    // frame, up to about 10 ms; a writer that never pauses that long yields a word-by-word
    // copy with `out.consistent` false. False, with `error`, when the file shrank or is closed.
    bool Read(SCountersSnapshot& out, std::string& error);
    void Close();
    const std::string& Path() const { return path_; }
    // True while the file's writer lives: it holds the file's lock (from any PID namespace).
    bool WriterHoldsLock() const;

private:
    bool MapAll(std::string& error);

    std::string path_;
    int fd_ = -1;
    const SCountersHeader* header_ = nullptr;
    uint64_t mappedBytes_ = 0;
};

// --- what the numbers mean ---

// Nanoseconds of `ticks` of the file's clock.
double TicksToNs(const SCountersHeader& header, uint64_t ticks);
// CLOCK_REALTIME nanoseconds since the epoch of a tick value of the file's clock (0 stays 0).
int64_t TicksToRealtimeNs(const SCountersHeader& header, uint64_t ticks);
// The value in ticks below which a share `q` (0..1) of the samples lie: the middle of the
// bucket holding that sample, the exact maximum for the last one; 0 without samples.
uint64_t HistogramPercentile(const SLatencyHistogram& histogram, double q);

// --- files as tools see them ---

// One counters file as read, with whether its writer still runs (holds the file's lock).
struct SCountersFile {
    std::string path;
    SCountersSnapshot snapshot;
    bool alive = false;
};

// Reads the counters file at `path` once. False, with `error`, as CCountersReader::Open/Read.
bool ReadCountersFile(const std::string& path, SCountersFile& out, std::string& error);
// Every counters file in `folder`, sorted by path; each file that cannot be read is skipped
// and adds one message to `errors` (when given).
std::vector<SCountersFile> ReadCountersFolder(const std::string& folder, std::vector<std::string>* errors = nullptr);
// True while the connector runs: its process is alive and it is starting or running.
bool IsLive(const SCountersFile& file);
// The connector's name as the file name has it: the header's name, with ".<pid>" when the
// file name carries the process id; for a file without a name (an older writer), the part of
// the file name between "vorn_r10." and ".counters".
std::string ConnectorName(const SCountersFile& file);

} // namespace Vorn_R10
