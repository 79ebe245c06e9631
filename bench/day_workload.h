// The two workloads of the day benchmarks and counts: 28 futures updated in turn, and a
// realistic day of 1,408 instruments (the 28 futures and 1,380 index options) whose activity
// follows a Zipf law over the instruments in shuffled order, with snapshot keys also given in
// shuffled order. Each packet is a typical one (update time, best, last match, bid 2-3) of the
// drawn instrument, numbered in sequence; the frames are generated once, before anything is
// measured.
#pragma once

#include <cstdint>
#include <vector>

#include "synthetic_session.h"

namespace vorn_bench {

enum class Workload { Futures, Day };

// The session configuration (instruments and keys) of a workload.
vorn_sim::SessionConfig WorkloadConfig(Workload workload);

// `count` frames of the session's instruments, sequence numbers first_seqno, first_seqno + 1, ...
// The instrument of frame i: futures in turn, or a Zipf draw (exponent 1, seeded) for the day.
std::vector<std::vector<uint8_t>> WorkloadFrames(const vorn_sim::SyntheticSession& session, Workload workload,
                                                 size_t count, bool encrypted);

} // namespace vorn_bench
