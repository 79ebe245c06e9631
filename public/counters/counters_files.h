// Where counters files live and whose they are.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Vorn_R10 {

// `folder`/vorn_r10.<pid>.<device>.counters; a '/' in the device name becomes '_'.
std::string CountersFilePath(const std::string& folder, pid_t pid, const std::string& device);

// Paths of the counters files in `folder`, sorted; empty when there are none or the folder
// cannot be read.
std::vector<std::string> FindCountersFiles(const std::string& folder);

// Start time of a process in clock ticks since boot (field 22 of /proc/PID/stat); 0 when the
// process does not exist.
uint64_t ProcessStartTime(int64_t pid);

// True when process `pid` exists and started at `startTime` (so it is the same process, not
// a later one that was given the same number).
bool ProcessIsAlive(int64_t pid, uint64_t startTime);

} // namespace Vorn_R10
