// Where counters files live, what they are called and whose they are.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Vorn_R10 {

// True when `name` can be a counters name: 1 to kCountersNameMax characters of letters, digits,
// '_', '-' and '.', not starting with '.'.
bool IsValidCountersName(const std::string& name);
// The program's name as a counters name: the process's short name with every character a
// counters name cannot hold replaced by '_', cut to kCountersNameMax; "vorn_r10" when empty.
std::string ProgramCountersName();

// vorn_r10.<name>.<device>.counters, or with `pid` non-zero vorn_r10.<name>.<device>.<pid>.counters.
// Characters of the device that a file name should not hold ('/', blanks, control
// characters...) become '_'.
std::string CountersFileName(const std::string& name, const std::string& device, pid_t pid = 0);
// That name in `folder`.
std::string CountersFilePath(const std::string& folder, const std::string& name, const std::string& device,
                             pid_t pid = 0);

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
